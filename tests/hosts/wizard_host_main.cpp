// wizard-host: stands in for the installer wizard that starts the downloader and watches its
// messages, so that the downloader can be tested without the real host.
#include <cstdio>
#include <string>

#include "tests/hosts/host_options.h"
#include "tests/hosts/host_session.h"
#include "tests/hosts/message_sink.h"
#include "tests/hosts/program_entry.h"

int programMain(const std::vector<platform::WideString>& arguments) {
    HostOptions options;
    std::string error;
    const std::vector<platform::WideString> rest(
        arguments.empty() ? arguments.end() : arguments.begin() + 1, arguments.end());
    if (!parseHostOptions(rest, options, error)) {
        std::fprintf(stderr, "wizard-host: %s\n%s", error.c_str(), kHostUsage);
        return 2;
    }

    RecordFile record;
    if (!options.recordPath.empty()) {
        record = openRecordFile(options.recordPath);
        if (!record) {
            std::fprintf(stderr, "wizard-host: cannot write %s\n",
                         platform::pathToNative(options.recordPath).c_str());
            return kExitCannotSetUp;
        }
    }

    MessageSink sink(record.get(), options.quiet ? nullptr : stderr, options.userMessage);
    const int exitCode = runHostSession(options, sink);
    if (!sink.finish()) {
        std::fprintf(stderr, "wizard-host: writing %s failed\n",
                     platform::pathToNative(options.recordPath).c_str());
        return kExitCannotSetUp;
    }
    return exitCode;
}
