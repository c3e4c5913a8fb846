#include "transfer/http_downloader.h"

#include <algorithm>
#include <memory>

#include "transfer/segment_transfer.h"
#include "transfer/single_requests.h"

unsigned progressShift(std::uint64_t totalSize) {
    unsigned shift = 0;
    while ((totalSize >> shift) > 0xFFFFFFFFull) {
        ++shift;
    }
    return shift;
}

void HttpDownloader::onProgress(std::uint32_t, std::uint32_t) {}

void HttpDownloader::reportProgress() {
    const unsigned shift = progressShift(totalSize);
    onProgress(static_cast<std::uint32_t>(totalSize >> shift),
               static_cast<std::uint32_t>(bytesDone >> shift));
}

int HttpDownloader::download(const std::string& url, const std::u16string& path, int segmentCount) {
    platform::File file = platform::File::openExclusive(path);
    if (!file.isOpen()) {
        return kDownloadCannotOpen;
    }
    const std::uint64_t length = getFileSize(url);
    if (length == 0) {
        file.close();
        return kDownloadNoLength;
    }
    totalSize = length;
    bytesDone = 0;
    rangesIgnored = false;
    failed = false;
    // An older, longer file at the path must not leave its tail behind the new resource.
    const std::int64_t existing = file.size();
    if (existing < 0 || (static_cast<std::uint64_t>(existing) > length && !file.resize(length))) {
        failed = true;
    }

    // Never more ranges than bytes: every range holds at least one byte.
    const std::uint64_t count = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(std::clamp(segmentCount, 1, kMaxSegments)), length);
    const std::uint64_t rangeSize = length / count;

    segments.clear();
    platform::Mutex mutex;
    // Without a mutex the ranges cannot share the file safely: they all run on this thread.
    platform::Mutex* shared = mutex.isValid() ? &mutex : nullptr;
    std::vector<std::unique_ptr<SegmentTask>> tasks;
    std::vector<platform::Thread*> started;
    for (std::uint64_t i = 0; i < count; ++i) {
        auto task = std::make_unique<SegmentTask>();
        task->owner = this;
        task->url = url;
        task->mutex = shared;
        task->file = &file;
        task->rangeStart = i * rangeSize;
        task->rangeEnd = (i == count - 1) ? length - 1 : task->rangeStart + rangeSize - 1;
        segments.push_back(task.get());
        if (shared != nullptr && !failed) {
            task->thread = platform::Thread::createSuspended(segmentWorker, task.get());
            if (task->thread.isValid()) {
                if (task->thread.resume()) {
                    started.push_back(&task->thread);
                } else {
                    task->thread.close();  // never ran: its range is run below
                }
            }
        }
        tasks.push_back(std::move(task));
    }
    platform::Thread::waitForAll(started);

    // Second pass on this thread: every range still unfinished resumes at its first missing
    // byte (and ranges whose worker could not be started run here whole).
    for (SegmentTask* task : segments) {
        task->thread.close();
        if (!task->finished() && !failed && !rangesIgnored) {
            segmentWorker(task);
        }
    }
    if (rangesIgnored && !failed && bytesDone < totalSize) {
        transferWholeResource(*this, url, shared, &file);
    }

    segments.clear();
    tasks.clear();
    file.close();
    return (!failed && bytesDone == totalSize) ? kDownloadOk : kDownloadIncomplete;
}
