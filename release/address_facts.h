// What the network says about one installer address, found out once however many kinds of
// machine read it: the length query, a small ranged request and, when asked for, the whole file
// downloaded with the downloader's own engine.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "release/http_probe.h"

// The installer job's segment count.
constexpr int kCheckSegments = 3;

// Told about the downloads as they run, for a progress display.
class DownloadObserver {
public:
    virtual ~DownloadObserver() = default;
    virtual void started(const std::string& name, std::uint64_t length) = 0;
    virtual void progress(std::uint32_t total, std::uint32_t done) = 0;
    virtual void finished() = 0;
};

struct AddressFacts {
    ProbeAnswer head;
    std::uint64_t engineLength = 0;  // getFileSize: the length the downloader would use
    bool lengthUsable = false;       // a successful answer with a length
    std::string engineLog;           // what getFileSize logged meanwhile
    std::uint64_t rangeFirst = 0;
    std::uint64_t rangeLast = 0;
    ProbeAnswer range;  // only with a usable length
    int downloadResult = 0;
    std::string downloadSha256;
    std::string downloadError;  // the download could not be made or read
};

class AddressProber {
public:
    // Downloads go into subdirectories of `workDirectory`, which must also be the temporary
    // directory the engine logs into; each is removed once hashed.
    AddressProber(std::string workDirectory, bool download, DownloadObserver& observer);

    const AddressFacts& factsFor(const std::string& address, const std::u16string& fileName);

private:
    void downloadInto(const std::string& address, const std::u16string& fileName,
                      AddressFacts& facts);

    std::string workDirectory_;
    bool download_;
    DownloadObserver& observer_;
    std::map<std::string, AddressFacts> facts_;
    int downloads_ = 0;
};
