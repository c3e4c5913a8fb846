// The installer download through the download cache.
#include "job/installer_job.h"

int InstallerJob::downloadInstaller(DownloadCache& cache, platform::Directory& folder,
                                    const std::u16string& name,
                                    const std::vector<std::string>& sources,
                                    const std::string& digest, platform::File& file,
                                    bool& resumed) {
    resumed = false;
    if (cache.isOpen()) {
        CacheEntry entry(cache.folder(), digest, sources.front());
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
                return result;
            }
            if (entry.moveInto(folder, name)) {
                file = std::move(entry.file());
                return kDownloadOk;
            }
            // Not where it can run from: fetched again into the folder.
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
