// The installer download through the download cache.
#include "job/installer_job.h"
#include "support/run_trace.h"

namespace {

std::uint64_t bytesIn(const ByteRanges& ranges) {
    std::uint64_t bytes = 0;
    for (const ByteRange& range : ranges) {
        bytes += range.size();
    }
    return bytes;
}

}  // namespace

int InstallerJob::downloadInstaller(DownloadCache& cache, platform::Directory& folder,
                                    const std::u16string& name,
                                    const std::vector<std::string>& sources,
                                    const std::string& digest, platform::File& file,
                                    bool& resumed) {
    resumed = false;
    if (!cache.isOpen()) {
        TraceLine("cache").text(
            "decision", "not used: its folder is missing, not private or not this account's");
    } else {
        CacheEntry entry(cache.folder(), digest, sources.front());
        const ResumePoint* resume = entry.isOpen() ? entry.resumePoint() : nullptr;
        TraceLine("cache")
            .text("decision",
                  !entry.isOpen()
                      ? "entry not used: in use by another run or not this account's file"
                  : resume != nullptr ? "an earlier run left bytes of this installer"
                                      : "nothing to resume")
            .number("bytes_present",
                    resume != nullptr ? static_cast<long long>(bytesIn(resume->present)) : 0);
        if (entry.isOpen()) {
            DownloadPlan plan;
            plan.sources = sources;
            plan.segmentCount = kInstallerSegments;
            plan.resume = entry.resumePoint();
            plan.checkpoint = &entry;
            const int result = download(plan, entry.file());
            // Told by the download itself: a checkpoint may never have been saved.
            resumed = resumedLatest();
            if (result != kDownloadOk) {
                entry.keepForLater();
                TraceLine("cache").text("decision",
                                        entry.isOpen()
                                            ? "download failed: kept for a later run to go on from"
                                            : "download failed: removed, nothing a later run "
                                              "could go on from");
                return result;
            }
            if (entry.moveInto(folder, name)) {
                file = std::move(entry.file());
                return kDownloadOk;
            }
            // Not where it can run from: fetched again into the folder.
            TraceLine("cache").text(
                "decision", "the finished file could not be moved out of the cache: fetched again");
            entry.discard();
            resumed = false;
        }
    }
    file = folder.openFile(name, platform::FileOpening::CreateNew);
    if (!file.isOpen()) {
        return kDownloadCannotOpen;
    }
    return download(sources, file, kInstallerSegments);
}
