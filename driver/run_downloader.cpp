#include "driver/run_downloader.h"

#include "driver/installer_address.h"
#include "driver/installer_publisher_setting.h"
#include "driver/manifest_keys.h"
#include "driver/manifest_trust.h"
#include "driver/run_options_parser.h"
#include "driver/run_trace_facts.h"
#include "job/installer_job.h"
#include "support/diagnostic_log.h"
#include "support/run_trace.h"
#include "support/text_conversion.h"
#include "transfer/curl_handles.h"

int runDownloader(const std::vector<std::u16string>& arguments) {
    const RunTrace trace;
    const InstallerPublisherSetting publisherSetting = installerPublisherSetting();
    traceBuildAndSystem(*manifestKeysPem() != '\0', publisherRuleText(publisherSetting));
    RunOptions options = parseRunOptions(arguments);
    const bool valid = hasValidRunOptions(options);
    traceOptions(options, valid);
    if (!valid) {
        writeLog("Invalid parameters.\n");
        traceRunResult(0, "invalid command line");
        return 0;
    }
    // Started first: the check of the downloader's own signature runs beside the requests.
    InstallerPublisherRule publisher(publisherSetting);
    const CurlGlobal curl;
    InstallerJob job(options);

    const ManifestTrust trust = manifestTrustFromPem(manifestKeysPem());
    const InstallerAddresses addresses = fetchInstallerAddresses(toUtf8(options.address), trust);
    const ChosenInstaller chosen = installerForThisMachine(addresses);
    if (chosen.address.empty()) {
        traceRunResult(0, "no installer address for this machine in the setup manifest");
        return 0;
    }
    // The address comes from the server: malformed UTF-8 and control characters are reported
    // like a missing address.
    if (!fromUtf8(chosen.address, options.address) || holdsControlCharacter(options.address)) {
        writeLog("Failed to get the url of setup.");
        traceRunResult(0, "the installer address is not UTF-8 or holds a control character");
        return 0;
    }
    const int result =
        job.run(options.address, InstallerDigestRule{chosen.digest, trust.signatureRequired},
                usableMirrors(chosen.address, chosen.mirrors), &publisher);
    if (result != 0) {
        writeLogFormatted("Failed to call getFileSize():%d\n", result);
    }
    traceRunResult(result, jobResultText(result));
    return 0;
}
