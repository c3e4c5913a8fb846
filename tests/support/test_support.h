// Helpers shared by the C++ tests: private temporary directories, files, the test servers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory that the process uses as its temporary directory while the object lives
// (TMPDIR on POSIX, TMP on Windows); removed with its contents afterwards.
class ScopedTemporaryDirectory {
public:
    ScopedTemporaryDirectory();
    ~ScopedTemporaryDirectory();
    ScopedTemporaryDirectory(const ScopedTemporaryDirectory&) = delete;
    ScopedTemporaryDirectory& operator=(const ScopedTemporaryDirectory&) = delete;

    // With its trailing separator, as the platform reports temporary directories.
    const std::u16string& path() const { return path_; }
    std::u16string file(const std::u16string& name) const { return path_ + name; }

private:
    std::u16string path_;
    std::u16string previous_;
    bool hadPrevious_ = false;
};

std::string readFileBytes(const std::u16string& path);
bool fileExists(const std::u16string& path);
void writeFileBytes(const std::u16string& path, const std::string& bytes);
std::u16string widen(const std::string& ascii);

// What tests put at a name, and how they move it; each is false when refused (or, for links,
// where the platform's test build cannot make them).
enum class Planted { Directory, SharedDirectory, SymbolicLink, HardLink, Fifo };
bool plant(const std::u16string& path, Planted kind, const std::u16string& target = u"");
bool renamePath(const std::u16string& from, const std::u16string& to);

// The generated resource the fault server serves under /res/<size>/...:
// byte i = block[i % 65521], block[j] = ((j * 2654435761) mod 2^32) >> 24.
std::string patternBytes(std::uint64_t offset, std::uint64_t length);

// Ports of the servers that the test fixture started (from the file named by the
// DOWNLOADER_TEST_SERVERS environment variable). `available` is false without them.
struct TestServers {
    bool available = false;
    int faultPort = 0;
    int httpPort = 0;
    int httpsPort = 0;
    std::string filesDirectory;  // as the platform names it

    std::string faultUrl(const std::string& pathAndQuery) const;
    std::string nginxUrl(const std::string& path, bool https = false) const;
};
const TestServers& testServers();

// The Range header values (or "" for none) of the requests the fault server logged for paths
// starting with `pathPrefix`, in arrival order, with their methods ("GET bytes=0-999").
std::vector<std::string> loggedRequests(const std::string& pathPrefix);

// One request as the fault server logged it.
struct LoggedRequest {
    std::string method;
    std::string range;        // the Range header's value, "" for none
    std::string ifRange;      // the If-Range header's value, "" for none
    std::uint64_t first = 0;  // the range's first byte (0 without a range)
    std::uint64_t open = 0;   // the path's connections open at its arrival, itself included
    std::uint64_t sent = 0;   // body bytes the server sent
};
std::vector<LoggedRequest> loggedRequestDetails(const std::string& pathPrefix);

// A loopback port with nothing listening.
int deadLoopbackPort();

}  // namespace testing_support
