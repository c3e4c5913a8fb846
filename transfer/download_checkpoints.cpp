#include "transfer/download_checkpoints.h"

#include <algorithm>
#include <vector>

namespace {
// How often the thread looks at the clock and whether it has been asked to stop.
constexpr std::uint32_t kCheckpointPollMs = 25;
}  // namespace

CheckpointTimer::CheckpointTimer(DownloadState& state, platform::File& file,
                                 DownloadCheckpoint* checkpoint)
    : state_(state), file_(file), checkpoint_(checkpoint) {}

CheckpointTimer::~CheckpointTimer() {
    stopThread();
}

void CheckpointTimer::start() {
    if (checkpoint_ == nullptr || thread_.isValid()) {
        return;
    }
    thread_ = platform::Thread::createSuspended(run, this);
    if (thread_.isValid() && !thread_.resume()) {
        thread_.close();
    }
}

void CheckpointTimer::finish() {
    stopThread();
    if (checkpoint_ != nullptr) {
        save();
    }
}

void CheckpointTimer::forget() {
    if (checkpoint_ != nullptr) {
        checkpoint_->onCheckpoint(state_.totalSize, sourceVersions(), ByteRanges());
    }
}

std::vector<SourceVersion> CheckpointTimer::sourceVersions() {
    std::vector<SourceVersion> versions;
    if (state_.sources == nullptr) {
        versions.push_back({state_.url, state_.version});
        return versions;
    }
    for (std::size_t i = 0; i < state_.sources->size(); ++i) {
        versions.push_back({state_.sources->url(i), state_.sources->version(i)});
    }
    return versions;
}

void CheckpointTimer::stopThread() {
    if (!thread_.isValid()) {
        return;
    }
    stopping_ = true;
    platform::Thread::waitForAll({&thread_});
    thread_.close();
}

std::uint32_t CheckpointTimer::run(void* self) {
    CheckpointTimer& timer = *static_cast<CheckpointTimer*>(self);
    std::uint32_t last = platform::tickCount();
    std::uint32_t interval = kCheckpointIntervalMs;
    while (!timer.stopping_) {
        platform::sleepMilliseconds(kCheckpointPollMs);
        const std::uint32_t started = platform::tickCount();
        if (started - last >= interval) {
            timer.save();
            last = platform::tickCount();
            // Flushes must not take most of a slow disk's time.
            interval = std::min(kCheckpointLongestIntervalMs,
                                std::max(kCheckpointIntervalMs, 4 * (last - started)));
        }
    }
    return 0;
}

void CheckpointTimer::save() {
    std::uint64_t generation = 0;
    const ByteRanges written = state_.writtenRanges(&generation);
    if (saved_ && generation == savedGeneration_) {
        return;
    }
    // Only what the flush has put on the disk may be named: a power cut must never leave a
    // record that claims bytes the file lacks.
    if (!file_.syncData()) {
        return;
    }
    checkpoint_->onCheckpoint(state_.totalSize, sourceVersions(), written);
    saved_ = true;
    savedGeneration_ = generation;
}
