// host-probe: plays the downloader's part towards a host window through the platform layer
// itself, so that the host's tests check the same code the downloader posts with.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/text_conversion.h"
#include "tests/hosts/decimal_argument.h"
#include "tests/hosts/program_entry.h"

namespace {

const char kUsage[] =
    "usage: host-probe [--find CLASS TITLE] [--wait-ms N] [--retry] [--exit N]\n"
    "                  [--post MSG WPARAM LPARAM]... [--series COUNT MSG]... [/HWND:H]\n"
    "Posts the messages in order to the window /HWND:H or the one found by class and title\n"
    "(both: they must agree), then exits N. --series posts MSG with wParam COUNT and\n"
    "lParam i for i = 1..COUNT, as progress does. --retry repeats a refused post for 5 s.\n"
    "Exit codes: 2 usage, 4 a post failed, 5 no window, 6 /HWND and the found window differ.\n";

constexpr std::uint32_t kRetryLimitMs = 5000;

struct ProbeMessage {
    std::uint32_t number;
    std::uint32_t wParam;
    std::uint32_t lParam;
};

struct ProbeOptions {
    bool find = false;
    platform::WideString windowClass;
    platform::WideString title;
    std::uint32_t waitMs = 0;
    bool retry = false;
    std::uint32_t exitCode = 0;
    platform::WindowHandle hwnd = 0;
    std::vector<ProbeMessage> messages;
};

bool parse(const std::vector<platform::WideString>& arguments, ProbeOptions& options) {
    const std::size_t count = arguments.size();
    for (std::size_t i = 1; i < count; ++i) {
        const platform::WideString& argument = arguments[i];
        const std::size_t left = count - i - 1;
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        std::uint32_t c = 0;
        if (argument == u"--find" && left >= 2) {
            options.find = true;
            options.windowClass = arguments[++i];
            options.title = arguments[++i];
        } else if (argument == u"--wait-ms" && left >= 1) {
            if (!parseDecimalArgument(arguments[++i], options.waitMs)) {
                return false;
            }
        } else if (argument == u"--exit" && left >= 1) {
            if (!parseDecimalArgument(arguments[++i], options.exitCode)) {
                return false;
            }
        } else if (argument == u"--retry") {
            options.retry = true;
        } else if (argument == u"--post" && left >= 3) {
            if (!parseDecimalArgument(arguments[i + 1], a) ||
                !parseDecimalArgument(arguments[i + 2], b) ||
                !parseDecimalArgument(arguments[i + 3], c)) {
                return false;
            }
            i += 3;
            options.messages.push_back({a, b, c});
        } else if (argument == u"--series" && left >= 2) {
            if (!parseDecimalArgument(arguments[i + 1], a) ||
                !parseDecimalArgument(arguments[i + 2], b)) {
                return false;
            }
            i += 2;
            for (std::uint32_t n = 1; n <= a; ++n) {
                options.messages.push_back({b, a, n});
            }
        } else if (argument.compare(0, 6, u"/HWND:") == 0) {
            if (!parseDecimalArgument(argument.substr(6), options.hwnd) || options.hwnd == 0) {
                return false;
            }
        } else {
            return false;
        }
    }
    return options.find || options.hwnd != 0;
}

platform::WindowHandle findWithin(const ProbeOptions& options) {
    const std::uint32_t start = platform::tickCount();
    while (true) {
        const platform::WindowHandle found =
            platform::findWindow(options.windowClass, options.title);
        if (found != 0 || platform::tickCount() - start >= options.waitMs) {
            return found;
        }
        platform::sleepMilliseconds(10);
    }
}

bool post(platform::WindowHandle window, const ProbeMessage& message, bool retry) {
    const std::uint32_t start = platform::tickCount();
    while (!platform::postMessage(window, message.number, message.wParam, message.lParam)) {
        if (!retry || platform::tickCount() - start >= kRetryLimitMs) {
            return false;
        }
        platform::sleepMilliseconds(1);
    }
    return true;
}

}  // namespace

int programMain(const std::vector<platform::WideString>& arguments) {
    ProbeOptions options;
    if (!parse(arguments, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    platform::WindowHandle window = options.hwnd;
    if (options.find) {
        const platform::WindowHandle found = findWithin(options);
        if (found == 0) {
            std::fprintf(stderr, "host-probe: no window of class \"%s\" titled \"%s\"\n",
                         toUtf8(options.windowClass).c_str(), toUtf8(options.title).c_str());
            return 5;
        }
        if (window != 0 && found != window) {
            std::fprintf(stderr, "host-probe: found window %lu, /HWND gave %lu\n",
                         static_cast<unsigned long>(found), static_cast<unsigned long>(window));
            return 6;
        }
        window = found;
    }
    for (const ProbeMessage& message : options.messages) {
        if (!post(window, message, options.retry)) {
            std::fprintf(stderr, "host-probe: posting %lu %lu %lu failed\n",
                         static_cast<unsigned long>(message.number),
                         static_cast<unsigned long>(message.wParam),
                         static_cast<unsigned long>(message.lParam));
            return 4;
        }
    }
    return static_cast<int>(options.exitCode);
}
