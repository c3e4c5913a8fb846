#include "support/run_trace.h"

#include <atomic>
#include <vector>

#include "support/path_join.h"
#include "support/platform.h"

namespace {

constexpr std::size_t kCopyBlockBytes = 64 * 1024;

// Lines are written whole under this mutex; it is never held while anything else is taken.
platform::Mutex sinkMutex;
platform::File sinkFile;
std::atomic<bool> sinkOpen{false};
std::uint32_t startTick = 0;
std::uint64_t sinkSize = 0;
std::uint64_t sinkLimit = 0;
bool budgetSpent = false;
std::vector<std::uint32_t> threadIds;  // index: the thread's number in the trace

// Copies the trace into the old trace and empties it; an old trace that cannot be used (a
// link, another account's file) is not written, and the trace is emptied all the same, so that
// the bound holds whatever lies in the directory.
void rotate(platform::File& trace, const std::u16string& oldPath) {
    platform::File old = platform::File::openExclusiveRegular(oldPath);
    if (old.isOpen() && old.resize(0)) {
        std::vector<char> block(kCopyBlockBytes);
        std::uint64_t offset = 0;
        std::int64_t got = 0;
        while ((got = trace.readAt(offset, block.data(), block.size())) > 0 &&
               old.writeAt(offset, block.data(), static_cast<std::size_t>(got))) {
            offset += static_cast<std::uint64_t>(got);
        }
    }
    trace.resize(0);
}

std::uint32_t threadNumber() {
    const std::uint32_t id = platform::currentThreadId();
    for (std::size_t i = 0; i < threadIds.size(); ++i) {
        if (threadIds[i] == id) {
            return static_cast<std::uint32_t>(i);
        }
    }
    threadIds.push_back(id);
    return static_cast<std::uint32_t>(threadIds.size() - 1);
}

// Under the mutex.
bool writeLocked(const std::string& line) {
    if (!sinkFile.writeAt(sinkSize, line.data(), line.size())) {
        return false;
    }
    sinkSize += line.size();
    return true;
}

}  // namespace

std::u16string tracePathIn(const std::u16string& temporaryDirectory) {
    return joinPath(temporaryDirectory, u"downloader_trace.txt");
}

std::u16string oldTracePathIn(const std::u16string& temporaryDirectory) {
    return joinPath(temporaryDirectory, u"downloader_trace.old.txt");
}

RunTrace::RunTrace() {
    const std::u16string directory = platform::temporaryDirectory();
    if (directory.empty() || !sinkMutex.isValid()) {
        return;
    }
    platform::File trace = platform::File::openExclusiveRegular(tracePathIn(directory));
    if (!trace.isOpen()) {
        return;
    }
    std::int64_t size = trace.size();
    if (size > static_cast<std::int64_t>(kTraceRotateAboveBytes)) {
        rotate(trace, oldTracePathIn(directory));
        size = trace.size();
    }
    if (size < 0) {
        return;
    }
    platform::MutexLock lock(&sinkMutex);
    sinkFile = std::move(trace);
    sinkSize = static_cast<std::uint64_t>(size);
    sinkLimit = sinkSize + kTraceRunBudgetBytes;
    budgetSpent = false;
    threadIds.assign(1, platform::currentThreadId());
    startTick = platform::tickCount();
    sinkOpen = true;
}

RunTrace::~RunTrace() {
    if (!sinkOpen) {
        return;
    }
    platform::MutexLock lock(&sinkMutex);
    sinkOpen = false;
    sinkFile.close();
}

bool tracing() {
    return sinkOpen;
}

TraceLine::TraceLine(const char* event) : on_(sinkOpen) {
    if (on_) {
        line_ = event;
        line_ += ':';
    }
}

TraceLine& TraceLine::text(const char* name, const std::string& value) {
    if (on_) {
        const bool quoted = value.empty() || value.find(' ') != std::string::npos;
        line_ += ' ';
        line_ += name;
        line_ += quoted ? "=\"" : "=";
        line_ += value;
        line_ += quoted ? "\"" : "";
    }
    return *this;
}

TraceLine& TraceLine::number(const char* name, long long value) {
    return on_ ? text(name, std::to_string(value)) : *this;
}

TraceLine& TraceLine::flag(const char* name, bool value) {
    return on_ ? text(name, value ? "yes" : "no") : *this;
}

TraceLine::~TraceLine() {
    if (!on_) {
        return;
    }
    for (char& c : line_) {
        const unsigned char byte = static_cast<unsigned char>(c);
        c = byte < 0x20 || byte == 0x7f ? '?' : c;
    }
    platform::MutexLock lock(&sinkMutex);
    if (!sinkOpen || budgetSpent) {
        return;
    }
    const std::string elapsed = std::to_string(platform::tickCount() - startTick);
    std::string head(elapsed.size() < 7 ? 7 - elapsed.size() : 0, ' ');
    head += elapsed + " ms t" + std::to_string(threadNumber()) + ' ';
    const std::string whole = head + line_ + '\n';
    if (sinkSize + whole.size() > sinkLimit) {
        budgetSpent = true;
        writeLocked(head +
                    "trace: this run's share of the trace is used up, its later lines are "
                    "left out\n");
        return;
    }
    writeLocked(whole);
}
