#include "release/progress_bar.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace {

constexpr int kBarWidth = 30;
// Redrawing more often than this only costs time on a slow terminal.
constexpr std::uint64_t kRedrawMs = 100;

std::uint64_t nowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

TerminalProgress::TerminalProgress() : enabled_(::isatty(STDERR_FILENO) == 1) {}

void TerminalProgress::started(const std::string& name, std::uint64_t length) {
    name_ = name;
    length_ = length;
    lastDrawMs_ = 0;
    if (enabled_) {
        draw(1, 0);
    }
}

void TerminalProgress::progress(std::uint32_t total, std::uint32_t done) {
    if (!enabled_) {
        return;
    }
    const std::uint64_t now = nowMs();
    if (now - lastDrawMs_ < kRedrawMs && done < total) {
        return;
    }
    lastDrawMs_ = now;
    draw(total, done);
}

void TerminalProgress::finished() {
    if (enabled_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

void TerminalProgress::draw(std::uint32_t total, std::uint32_t done) {
    const double fraction = total == 0 ? 0.0 : static_cast<double>(done) / total;
    const int filled = static_cast<int>(fraction * kBarWidth);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r\033[Kdownloading %s [%s] %3d%% of %.1f MiB", name_.c_str(), bar,
                 static_cast<int>(fraction * 100.0), static_cast<double>(length_) / 1048576.0);
    std::fflush(stderr);
}
