#include "job/installer_job.h"

#include "job/abandoned_runs.h"
#include "job/download_cache.h"
#include "job/installer_command_line.h"
#include "job/installer_file_name.h"
#include "job/job_trace.h"
#include "job/working_folder.h"
#include "support/diagnostic_log.h"
#include "support/path_join.h"
#include "support/text_conversion.h"

const char16_t kHostWindowClass[] = u"TWizardForm";
const char16_t kHostWindowTitle[] = u"Setup - Velmora Free 11";

namespace {
constexpr int kNoInstallerPath = -1;
}  // namespace

InstallerJob::InstallerJob(const RunOptions& options) : options_(options) {
    if (options_.hostWindow == 0) {
        options_.hostWindow = platform::findWindow(kHostWindowClass, kHostWindowTitle);
    }
}

void InstallerJob::post(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    if (options_.hostWindow != 0) {
        platform::postMessage(options_.hostWindow, message, wParam, lParam);
    }
}

void InstallerJob::onProgress(std::uint32_t totalSize, std::uint32_t bytesDone) {
    if (!wholeFileShown_ && progress_.shouldPost(totalSize, bytesDone, platform::tickCount())) {
        post(static_cast<std::uint32_t>(options_.userMessage), totalSize, bytesDone);
        wholeFileShown_ = bytesDone >= totalSize;
    }
}

void InstallerJob::notifyDownloaded() {
    post(static_cast<std::uint32_t>(options_.userMessage) + 1, kDownloadCompleteWParam, 0);
}

void InstallerJob::waitWithHeartbeat(platform::Process& installer) {
    std::int32_t heartbeats = 0;
    std::uint32_t lastHeartbeat = platform::tickCount();
    platform::WaitResult waited;
    do {
        waited = installer.wait(kInstallerPollMs);
        const std::uint32_t now = platform::tickCount();
        // Unsigned difference: the tick counter's wrap-around does no harm.
        if (now - lastHeartbeat >= kHeartbeatIntervalMs) {
            ++heartbeats;
            lastHeartbeat = now;
            post(static_cast<std::uint32_t>(options_.userMessage) + 1, kHeartbeatWParam,
                 static_cast<std::uint32_t>(heartbeats));
        }
    } while (waited == platform::WaitResult::TimedOut);
    installer.wait(platform::kWaitForever);
}

bool InstallerJob::InstallerChecks::pass(platform::HeldFile& held) const {
    // The digest first: it costs no more than reading the file.
    return (digest == nullptr || fileHasDigest(held, *digest)) &&
           (publisher == nullptr || publisher->accepts(held, path));
}

bool InstallerJob::downloadFromOneSourceAtATime(const std::vector<std::string>& sources,
                                                platform::Directory& folder,
                                                const std::u16string& name,
                                                const InstallerChecks& checks,
                                                platform::HeldFile& held) {
    // Neither a source that serves another length nor one that failed without serving a byte.
    const std::vector<bool> worth = sourcesWorthAskingAgain();
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (!worth[i]) {
            continue;
        }
        platform::File file = folder.openFile(name, platform::FileOpening::OpenOrCreate);
        if (!file.isOpen() || download(std::vector<std::string>{sources[i]}, file,
                                       kInstallerSegments) != kDownloadOk) {
            continue;
        }
        held = folder.openHeld(name, &file);
        if (held.isOpen() && checks.pass(held)) {
            return true;
        }
        held.close();
    }
    return false;
}

int InstallerJob::run(const std::u16string& address, const InstallerDigestRule& digest,
                      const std::vector<std::string>& mirrors, InstallerPublisherRule* publisher) {
    const std::u16string directory = platform::temporaryDirectory();
    const std::optional<std::u16string> name = installerFileName(address);
    if (directory.empty() || !name) {
        traceJobEnd(kNoInstallerPath,
                    name ? "no temporary directory" : "the address ends in no usable file name");
        return kNoInstallerPath;
    }
    // Decided before anything is downloaded: a malformed entry matches no file, and a build
    // that trusts manifest keys runs nothing unchecked.
    Sha256Digest expected{};
    const bool checked = digest.expected.has_value();
    const bool rejected = checked ? !parseSha256Hex(*digest.expected, expected) : digest.required;
    if (rejected) {
        traceJobEnd(kInstallerRejected,
                    checked ? "the manifest's SHA-256 entry is malformed"
                            : "this build needs a SHA-256 entry and the manifest has none");
        return kInstallerRejected;
    }
    // Nothing that others may have placed in the temporary directory is opened, replaced or
    // deleted, and the installer does not load libraries planted beside it. The folder is held
    // until it is removed and every file in it is opened through it, so that renaming or
    // replacing the folder redirects nothing.
    WorkingFolder working(directory);
    if (!working.isCreated()) {
        traceJobEnd(kNoInstallerPath, "the private working folder could not be created");
        return kNoInstallerPath;
    }
    platform::Directory& folder = working.folder();
    const std::u16string installerPath = joinPath(working.path(), *name);
    const InstallerChecks checks{checked ? &expected : nullptr, publisher, installerPath};
    // What earlier runs left behind goes first; a run going on beside this one holds its own.
    removeAbandonedWorkingFolders(directory);
    DownloadCache cache(directory);
    cache.removeStaleEntries(platform::secondsSinceEpoch());

    std::vector<std::string> sources{toUtf8(address)};
    sources.insert(sources.end(), mirrors.begin(), mirrors.end());
    platform::File file;
    bool resumed = false;
    int result = downloadInstaller(cache, folder, *name, sources,
                                   checked ? sha256Hex(expected) : std::string(), file, resumed);
    // Held, in every build, from the end of the download until the installer has ended: the
    // digest and the signature are checked through this handle and the installer started from
    // it, so that what runs is what was checked and nobody can change it meanwhile.
    platform::HeldFile held;
    if (result == kDownloadOk) {
        held = folder.openHeld(*name, &file);
    }
    // A file that could not be held passes only when nothing is checked, and then fails to
    // start, as it always did.
    bool passed = result == kDownloadOk && checks.pass(held);
    if (result == kDownloadOk && resumed && !passed) {
        // The earlier run's bytes and this one's do not make the installer: once more, from
        // nothing and without the cache.
        traceResumedFileRejected();
        held.close();
        folder.removeFile(*name);
        file = folder.openFile(*name, platform::FileOpening::CreateNew);
        result = file.isOpen() ? download(sources, file, kInstallerSegments) : kDownloadCannotOpen;
        if (result == kDownloadOk) {
            held = folder.openHeld(*name, &file);
            passed = checks.pass(held);
        }
    }
    if (result != kDownloadOk) {
        file.close();
        folder.removeFile(*name);  // whatever is in the folder is this run's own
        return result;
    }
    if (!passed) {
        held.close();
        // Bytes of several sources: one of them may serve another file of the same length.
        const bool mixed = sourcesThatServed() > 1;
        if (!mixed || !downloadFromOneSourceAtATime(sources, folder, *name, checks, held)) {
            folder.removeFile(*name);
            return kInstallerRejected;
        }
    }
    notifyDownloaded();

    const std::uint32_t startedAt = platform::tickCount();
    platform::Process installer = platform::Process::start(
        held, installerPath, installerCommandLine(installerPath, options_));
    traceInstallerStart(installer);
    if (installer.isValid()) {
        waitWithHeartbeat(installer);
        traceInstallerEnd(installer, startedAt);
        installer.close();
    } else {
        writeLog("Failed to start the setup file.\n");
    }
    held.close();
    folder.removeFile(*name);
    return 0;
}
