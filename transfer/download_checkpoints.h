// Tells a download's checkpoint, while the transfers run and once at the end, which bytes are
// on disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "support/platform.h"
#include "transfer/download_plan.h"
#include "transfer/download_state.h"

class CheckpointTimer {
public:
    // Does nothing at all when `checkpoint` is null.
    CheckpointTimer(DownloadState& state, platform::File& file, DownloadCheckpoint* checkpoint);
    // Ends the thread if finish() was not called.
    ~CheckpointTimer();
    CheckpointTimer(const CheckpointTimer&) = delete;
    CheckpointTimer& operator=(const CheckpointTimer&) = delete;

    // Starts a thread that saves the written bytes while they grow: every kCheckpointIntervalMs,
    // or four times as long as the last save took, up to kCheckpointLongestIntervalMs.
    // Without it (no thread could be made) only finish() saves them.
    void start();
    // Ends the thread and saves once more; the transfers must have ended.
    void finish();
    // Before anything is written: tells the checkpoint that no earlier byte belongs to this
    // download.
    void forget();

private:
    static std::uint32_t run(void* self);
    void stopThread();
    // Flushes the file, then hands the bytes written before the flush to the checkpoint.
    void save();
    // What each address of the download names the resource, as far as it is known yet.
    std::vector<SourceVersion> sourceVersions();

    DownloadState& state_;
    platform::File& file_;
    DownloadCheckpoint* checkpoint_;
    platform::Thread thread_;
    std::atomic<bool> stopping_{false};
    bool saved_ = false;
    std::uint64_t savedGeneration_ = 0;
};
