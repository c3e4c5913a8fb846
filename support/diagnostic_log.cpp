#include "support/diagnostic_log.h"

#include <cstdio>
#include <cstring>

#include "support/path_join.h"
#include "support/platform.h"

namespace {
// A concurrent writer holds the log only for one seek, one write and one close.
constexpr int kOpenAttempts = 20;
constexpr std::uint32_t kRetryPauseMs = 50;
constexpr std::size_t kMessageBufferSize = 260;
}  // namespace

std::u16string logPathIn(const std::u16string& temporaryDirectory) {
    return joinPath(temporaryDirectory, u"downloader_log.txt");
}

void writeLog(const char* message) {
    const std::u16string directory = platform::temporaryDirectory();
    if (directory.empty()) {
        return;
    }
    const std::u16string path = logPathIn(directory);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (attempt > 0) {
            platform::sleepMilliseconds(kRetryPauseMs);
        }
        bool heldElsewhere = false;
        platform::File log = platform::File::openExclusiveRegular(path, &heldElsewhere);
        if (log.isOpen()) {
            log.append(message, std::strlen(message));
            return;
        }
        if (!heldElsewhere) {
            return;  // a missing directory or denied access will not change by waiting
        }
    }
}

void writeLogFormatted(const char* format, int number) {
    char buffer[kMessageBufferSize] = {};
    std::snprintf(buffer, sizeof buffer, format, number);
    writeLog(buffer);
}
