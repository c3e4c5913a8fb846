#include "driver/run_downloader.h"

#include "driver/installer_address.h"
#include "driver/installer_publisher_setting.h"
#include "driver/manifest_keys.h"
#include "driver/manifest_trust.h"
#include "driver/run_options_parser.h"
#include "job/installer_job.h"
#include "support/diagnostic_log.h"
#include "support/text_conversion.h"
#include "transfer/curl_handles.h"

int runDownloader(const std::vector<std::u16string>& arguments) {
    RunOptions options = parseRunOptions(arguments);
    if (!hasValidRunOptions(options)) {
        writeLog("Invalid parameters.\n");
        return 0;
    }
    // Started first: the check of the downloader's own signature runs beside the requests.
    InstallerPublisherRule publisher(installerPublisherSetting());
    const CurlGlobal curl;
    InstallerJob job(options);

    const ManifestTrust trust = manifestTrustFromPem(manifestKeysPem());
    const InstallerAddresses addresses = fetchInstallerAddresses(toUtf8(options.address), trust);
    const ChosenInstaller chosen = installerForThisMachine(addresses);
    if (chosen.address.empty()) {
        return 0;
    }
    // The address comes from the server: malformed UTF-8 and control characters are reported
    // like a missing address.
    if (!fromUtf8(chosen.address, options.address) || holdsControlCharacter(options.address)) {
        writeLog("Failed to get the url of setup.");
        return 0;
    }
    const int result =
        job.run(options.address, InstallerDigestRule{chosen.digest, trust.signatureRequired},
                usableMirrors(chosen.address, chosen.mirrors), &publisher);
    if (result != 0) {
        writeLogFormatted("Failed to call getFileSize():%d\n", result);
    }
    return 0;
}
