#include "tests/hosts/host_options.h"

#include "support/text_conversion.h"
#include "tests/hosts/decimal_argument.h"

const char kHostUsage[] =
    "usage: wizard-host [--class C] [--title T] [--no-hwnd] [--record FILE] [--quiet]\n"
    "                   [--usermsg U] [--cancel-at PERCENT] -- DOWNLOADER [ARGS...]\n"
    "Creates a host window, runs DOWNLOADER with ARGS and /HWND:<handle>, records every\n"
    "message as 'MSG WPARAM LPARAM' and exits with DOWNLOADER's exit code (127 when it\n"
    "cannot be started, 126 when the window or the record cannot be set up, 2 on bad usage).\n"
    "--cancel-at ends DOWNLOADER's process once its progress reaches PERCENT (1-100) of the\n"
    "total, as the wizard's Cancel does; the exit code is then 125.\n";

bool parseHostOptions(const std::vector<platform::WideString>& arguments, HostOptions& options,
                      std::string& error) {
    std::size_t i = 0;
    // Every option but the flags takes the next argument as its value.
    auto value = [&](platform::WideString& out) {
        if (i + 1 >= arguments.size()) {
            error = "missing value after " + toUtf8(arguments[i]);
            return false;
        }
        out = arguments[++i];
        return true;
    };
    for (; i < arguments.size(); ++i) {
        const platform::WideString& argument = arguments[i];
        if (argument == u"--") {
            options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                   arguments.end());
            if (options.command.empty()) {
                error = "no downloader after --";
                return false;
            }
            return true;
        }
        if (argument == u"--class") {
            if (!value(options.windowClass)) {
                return false;
            }
        } else if (argument == u"--title") {
            if (!value(options.title)) {
                return false;
            }
        } else if (argument == u"--record") {
            if (!value(options.recordPath)) {
                return false;
            }
            if (options.recordPath.empty()) {
                error = "empty --record path";
                return false;
            }
        } else if (argument == u"--usermsg") {
            platform::WideString text;
            if (!value(text)) {
                return false;
            }
            if (!parseDecimalArgument(text, options.userMessage)) {
                error = "--usermsg needs a decimal number";
                return false;
            }
        } else if (argument == u"--cancel-at") {
            platform::WideString text;
            if (!value(text)) {
                return false;
            }
            if (!parseDecimalArgument(text, options.cancelAtPercent) ||
                options.cancelAtPercent == 0 || options.cancelAtPercent > 100) {
                error = "--cancel-at needs a percentage from 1 to 100";
                return false;
            }
        } else if (argument == u"--no-hwnd") {
            options.appendHwnd = false;
        } else if (argument == u"--quiet") {
            options.quiet = true;
        } else {
            error = "unknown option " + toUtf8(argument);
            return false;
        }
    }
    error = "missing -- DOWNLOADER";
    return false;
}
