#include "driver/run_trace_facts.h"

#include "driver/build_commit.h"
#include "job/installer_job.h"
#include "support/platform.h"
#include "support/run_trace.h"
#include "support/text_conversion.h"
#include "support/trace_text.h"
#include "transfer/http_downloader.h"

namespace {

const char* nativeMachineText(platform::NativeMachine machine) {
    switch (machine) {
        case platform::NativeMachine::X86:
            return "x86";
        case platform::NativeMachine::Amd64:
            return "amd64";
        case platform::NativeMachine::Arm64:
            return "arm64";
        case platform::NativeMachine::Other:
            return "other";
        default:
            return "unknown";
    }
}

const char* answerText(platform::Answer answer) {
    return answer == platform::Answer::Yes  ? "yes"
           : answer == platform::Answer::No ? "no"
                                            : "unknown";
}

}  // namespace

void traceBuildAndSystem(bool keyed, const char* publisherRule) {
    TraceLine("run start")
        .text("commit", buildCommit())
        .text("build", keyed ? "keyed (manifests must be signed)" : "plain (manifests unsigned)")
        .text("publisher_rule", publisherRule);
    TraceLine("system")
        .text("version", platform::systemDescription())
        .flag("wow64", platform::isWow64())
        .flag("nt6_or_later", platform::isNt6OrLater() != 0)
        .text("native_machine", nativeMachineText(platform::nativeMachine()))
        .text("x64_programs", answerText(platform::canRunX64Programs()));
}

void traceOptions(const RunOptions& options, bool valid) {
    if (!tracing()) {
        return;
    }
    TraceLine("options")
        .flag("valid", valid)
        .number("host_window", options.hostWindow)
        .number("user_message", options.userMessage)
        .text("address", addressForTrace(toUtf8(options.address)))
        .text("directory", toUtf8(options.targetDirectory))
        .text("language", toUtf8(options.language))
        .flag("silent", options.silent != 0)
        .flag("very_silent", options.verySilent != 0);
}

void traceMachine(const char* key) {
    TraceLine("machine").text("key", key);
}

void traceRunResult(int result, const char* cause) {
    TraceLine("run end").number("result", result).text("cause", cause);
}

const char* jobResultText(int result) {
    switch (result) {
        case kDownloadOk:
            return "installer downloaded and run";
        case kDownloadCannotOpen:
            return "no installer file: no usable file name, temporary directory or folder";
        case kDownloadNoLength:
            return "no usable length from any source";
        case kDownloadIncomplete:
            return "download incomplete";
        case kInstallerRejected:
            return "installer rejected: digest or signature check failed";
        case kDownloadNoSpace:
            return "not enough free space";
        default:
            return "unknown result";
    }
}

void traceManifest(const char* fact, const char* value) {
    TraceLine("manifest").text(fact, value);
}
