#include <cstdio>
#include <cstdlib>

#include "release/check_report.h"
#include "release/commands.h"
#include "release/deployment_check.h"
#include "release/file_io.h"
#include "release/http_probe.h"
#include "release/key_files.h"
#include "release/manifest_entries.h"
#include "release/progress_bar.h"
#include "transfer/curl_handles.h"
#include "transfer/single_requests.h"

namespace {

const char kUsage[] =
    "usage: release-tool check MANIFEST-URL [--keys PUBLIC] [--no-download] [--json]\n";

struct CheckRequest {
    std::string manifestUrl;
    std::string keysPath;
    bool download = true;
    bool json = false;
};

std::string parseCheckArguments(const std::vector<std::string>& arguments, CheckRequest& request) {
    for (std::size_t i = 0; i < arguments.size();) {
        std::string value;
        bool missing = false;
        if (takeOption(arguments, i, "--keys", value, missing)) {
            if (missing) {
                return "--keys needs the public key file";
            }
            request.keysPath = value;
        } else if (arguments[i] == "--no-download") {
            request.download = false;
            ++i;
        } else if (arguments[i] == "--json") {
            request.json = true;
            ++i;
        } else if (!arguments[i].empty() && arguments[i][0] == '-') {
            return "unknown option \"" + arguments[i] + "\"";
        } else {
            if (!request.manifestUrl.empty()) {
                return "only one manifest address may be checked at a time";
            }
            request.manifestUrl = arguments[i++];
        }
    }
    if (request.manifestUrl.empty()) {
        return "no manifest address given";
    }
    return std::string();
}

}  // namespace

int checkCommand(const std::vector<std::string>& arguments) {
    CheckRequest request;
    const std::string usage = parseCheckArguments(arguments, request);
    if (!usage.empty()) {
        return usageError(usage, kUsage);
    }
    CheckSettings settings;
    settings.download = request.download;
    if (!request.keysPath.empty()) {
        std::string error;
        if (!readPublicKeysFile(request.keysPath, settings.keys, error)) {
            return fail(error);
        }
        settings.keysGiven = true;
        settings.keysPath = request.keysPath;
    }
    const PrivateDirectory work;
    if (!work.isValid()) {
        return fail("cannot create a private temporary directory");
    }
    settings.workDirectory = work.path();
    // The engine's diagnostic log goes to the temporary directory: keep it in the private one,
    // so that the check leaves nothing behind.
    ::setenv("TMPDIR", work.path().c_str(), 1);

    const CurlGlobal curl;
    if (!curl.isValid()) {
        return fail("libcurl could not be initialised");
    }
    std::string manifest;
    if (!getData(request.manifestUrl, manifest)) {
        const ProbeAnswer answer = probeHead(request.manifestUrl);
        const std::string reason = !answer.error.empty() ? answer.error
                                   : answer.answered
                                       ? "the server answered " + std::to_string(answer.status)
                                       : "the transfer failed";
        return fail("cannot fetch the manifest " + request.manifestUrl + ": " + reason);
    }
    const std::string encoding = manifestEncodingProblem(manifest);
    if (!encoding.empty()) {
        return fail("the manifest at " + request.manifestUrl + " " + encoding);
    }
    TerminalProgress progress;
    const DeploymentReport report =
        checkDeployment(request.manifestUrl, manifest, settings, progress);
    const std::string text = request.json ? reportJson(report) : reportTable(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return report.allInstall() && report.allAlternatesSound() ? kExitOk : kExitFailure;
}
