// Where wizard-host puts the messages it receives: a record file with one line per message, and
// a status line on the terminal that reads the downloader's protocol.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/hosts/host_message.h"

class MessageSink {
public:
    // Either stream may be null. Neither is owned.
    MessageSink(std::FILE* record, std::FILE* terminal, std::uint32_t userMessage);
    MessageSink(const MessageSink&) = delete;
    MessageSink& operator=(const MessageSink&) = delete;

    // Records the message, whatever its number, and updates the status line.
    void receive(const HostMessage& message);
    // Redraws a status line that changed since it was last drawn, if drawing is due.
    void tick();
    // True once a progress message has reached `percent` of its total (never for 0).
    bool progressReached(std::uint32_t percent) const {
        return percent != 0 && totalBytes_ != 0 &&
               static_cast<std::uint64_t>(doneBytes_) * 100 >=
                   static_cast<std::uint64_t>(totalBytes_) * percent;
    }
    // Draws the last state and flushes the record; false when the record could not be written.
    bool finish();

private:
    enum class Phase { Waiting, Downloading, Complete, Installing };

    void draw();
    std::string statusLine() const;

    std::FILE* record_;
    std::FILE* terminal_;
    std::uint32_t userMessage_;
    bool recordFailed_ = false;

    Phase phase_ = Phase::Waiting;
    std::uint32_t totalBytes_ = 0;
    std::uint32_t doneBytes_ = 0;
    std::uint32_t heartbeat_ = 0;

    bool dirty_ = false;
    std::size_t drawnWidth_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};
