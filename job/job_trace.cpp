#include "job/job_trace.h"

#include "support/run_trace.h"

void traceJobEnd(int result, const char* cause) {
    TraceLine("job").number("result", result).text("cause", cause);
}

void traceResumedFileRejected() {
    TraceLine("cache").text(
        "decision", "resumed file does not match the digest: downloaded again from nothing");
}

void traceInstallerStart(const platform::Process& installer) {
    TraceLine("installer")
        .text("verdict", installer.isValid() ? "started" : "could not be started");
}

void traceInstallerEnd(const platform::Process& installer, std::uint32_t startedAt) {
    std::uint32_t code = 0;
    TraceLine line("installer");
    line.text("verdict", "ended");
    if (installer.exitCode(code)) {
        line.number("exit_code", code);
    } else {
        line.text("exit_code", "unknown");
    }
    line.number("ran_ms", platform::tickCount() - startedAt);
}
