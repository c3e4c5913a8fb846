#include "tests/hosts/message_sink.h"

namespace {

// About twenty redraws a second: progress messages come far faster than a terminal can show.
constexpr std::chrono::milliseconds kRedrawInterval{50};
constexpr std::uint32_t kCompleteCode = 100;
constexpr std::uint32_t kHeartbeatCode = 40;
constexpr int kBarWidth = 30;

}  // namespace

MessageSink::MessageSink(std::FILE* record, std::FILE* terminal, std::uint32_t userMessage)
    : record_(record), terminal_(terminal), userMessage_(userMessage) {}

void MessageSink::receive(const HostMessage& message) {
    if (record_ &&
        std::fprintf(record_, "%lu %lu %lu\n", static_cast<unsigned long>(message.number),
                     static_cast<unsigned long>(message.wParam),
                     static_cast<unsigned long>(message.lParam)) < 0) {
        recordFailed_ = true;
    }

    Phase phase;
    if (message.number == userMessage_) {
        phase = Phase::Downloading;
    } else if (message.number == userMessage_ + 1 && message.wParam == kCompleteCode) {
        phase = Phase::Complete;
    } else if (message.number == userMessage_ + 1 && message.wParam == kHeartbeatCode) {
        phase = Phase::Installing;
    } else {
        return;
    }
    if (phase != phase_ && phase_ != Phase::Waiting) {
        // Each phase keeps its own line, so that the last progress stays on screen.
        if (dirty_) {
            draw();
        }
        if (terminal_) {
            std::fputc('\n', terminal_);
        }
        drawnWidth_ = 0;
    }
    if (phase == Phase::Downloading) {
        totalBytes_ = message.wParam;
        doneBytes_ = message.lParam;
    } else if (phase == Phase::Installing) {
        heartbeat_ = message.lParam;
    }
    const bool newPhase = phase != phase_;
    phase_ = phase;
    dirty_ = true;
    if (newPhase) {
        draw();
    } else {
        tick();
    }
}

void MessageSink::tick() {
    if (dirty_ && std::chrono::steady_clock::now() - lastDraw_ >= kRedrawInterval) {
        draw();
    }
}

bool MessageSink::finish() {
    if (dirty_) {
        draw();
    }
    if (terminal_ && phase_ != Phase::Waiting) {
        std::fputc('\n', terminal_);
        std::fflush(terminal_);
    }
    if (record_ && std::fflush(record_) != 0) {
        recordFailed_ = true;
    }
    return !recordFailed_;
}

void MessageSink::draw() {
    dirty_ = false;
    lastDraw_ = std::chrono::steady_clock::now();
    if (!terminal_) {
        return;
    }
    std::string line = statusLine();
    const std::size_t width = line.size();
    if (width < drawnWidth_) {
        line.append(drawnWidth_ - width, ' ');
    }
    drawnWidth_ = width;
    std::fprintf(terminal_, "\r%s", line.c_str());
    std::fflush(terminal_);
}

std::string MessageSink::statusLine() const {
    char text[160];
    switch (phase_) {
        case Phase::Downloading: {
            const double fraction =
                totalBytes_ == 0 ? 0.0 : static_cast<double>(doneBytes_) / totalBytes_;
            const double shown = fraction > 1.0 ? 1.0 : fraction;
            const auto filled = static_cast<std::size_t>(shown * kBarWidth);
            const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '.');
            std::snprintf(text, sizeof text, "[%s] %lu / %lu bytes %5.1f%%", bar.c_str(),
                          static_cast<unsigned long>(doneBytes_),
                          static_cast<unsigned long>(totalBytes_), fraction * 100.0);
            return text;
        }
        case Phase::Complete:
            return "download complete";
        case Phase::Installing:
            std::snprintf(text, sizeof text, "installer running (heartbeat %lu)",
                          static_cast<unsigned long>(heartbeat_));
            return text;
        case Phase::Waiting:
            break;
    }
    return std::string();
}
