// The program's one job: download the installer, tell the host, run it, delete it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/download_cache.h"
#include "job/installer_digest.h"
#include "job/installer_publisher.h"
#include "job/progress_thinning.h"
#include "job/run_options.h"
#include "support/platform.h"
#include "transfer/http_downloader.h"

// The host wizard's window, searched when the command line names none.
extern const char16_t kHostWindowClass[];
extern const char16_t kHostWindowTitle[];

// Heartbeats are posted at most this often while the installer runs.
constexpr std::uint32_t kHeartbeatIntervalMs = 500;
constexpr std::uint32_t kInstallerPollMs = 100;
constexpr std::uint32_t kDownloadCompleteWParam = 100;
constexpr std::uint32_t kHeartbeatWParam = 40;
// The result of run for an installer that its digest or publisher rule rejects.
constexpr int kInstallerRejected = -5;
// Ranged transfers of the installer download.
constexpr int kInstallerSegments = 3;

class InstallerJob : public HttpDownloader {
public:
    // Keeps a copy of the options; with no host window given, looks for the wizard's window
    // once, now.
    explicit InstallerJob(const RunOptions& options);

    // Downloads the installer at `address` into a folder of its own in the temporary
    // directory over three ranges, checks it against `digest`, runs it silently with a
    // heartbeat to the host, and deletes it and the folder. 0 when it was downloaded (whether or
    // not it could be started), the download's failure code otherwise, -1 when there is no
    // temporary directory, the folder cannot be created or the address names no acceptable
    // file, and -5 when the digest rule or `publisher` (when given) rejects the installer (which
    // then never runs). An installer that cannot be started is logged ("Failed to start the
    // setup file.\n").
    // `mirrors` are alternate UTF-8 addresses of the same file, already checked: the download
    // spreads over all of them and the address. When the file fails its digest and several of
    // them served it, it is downloaded once more from one source alone, the address first, then
    // each mirror in turn (passing over those that served another length or failed without
    // serving a byte), until one matches; -5 only when none does. A refusal by the publisher
    // rule is treated alike, and so is a file resumed from the cache that fails either rule: it
    // is downloaded once more from nothing.
    int run(const std::u16string& address, const InstallerDigestRule& digest = {},
            const std::vector<std::string>& mirrors = {},
            InstallerPublisherRule* publisher = nullptr);

    // Posts the progress message (user message, total, done) to the host window, thinned to
    // the values that can change what the host shows (see ProgressThinning); the value that
    // reaches the total is always posted, and nothing after it.
    void onProgress(std::uint32_t totalSize, std::uint32_t bytesDone) override;
    // Posts the download-complete message (user message + 1, 100, 0).
    void notifyDownloaded();

    std::uint32_t hostWindow() const { return options_.hostWindow; }

private:
    // What a downloaded installer must pass before it may run.
    struct InstallerChecks {
        const Sha256Digest* digest;         // the manifest's digest, when it gives one
        InstallerPublisherRule* publisher;  // when installers must be signed
        std::u16string path;                // where the installer is held
        bool pass(platform::HeldFile& held) const;
    };

    // Downloads the installer into `folder` as `name`, through its cache entry when the cache
    // has one for it: open in `file` afterwards. `resumed` tells whether bytes of an earlier
    // run were used.
    int downloadInstaller(DownloadCache& cache, platform::Directory& folder,
                          const std::u16string& name, const std::vector<std::string>& sources,
                          const std::string& digest, platform::File& file, bool& resumed);
    void post(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);
    void waitWithHeartbeat(platform::Process& installer);
    // After a failed check: downloads the file again from each source alone, in order, until
    // it passes; the file is held in `held` when it does.
    bool downloadFromOneSourceAtATime(const std::vector<std::string>& sources,
                                      platform::Directory& folder, const std::u16string& name,
                                      const InstallerChecks& checks, platform::HeldFile& held);

    RunOptions options_;
    ProgressThinning progress_;
    // The host has seen the whole file arrive: a download again (after a digest failure, or when
    // the file could not be moved out of the cache) posts no progress, which would fall back to
    // zero.
    bool wholeFileShown_ = false;
};
