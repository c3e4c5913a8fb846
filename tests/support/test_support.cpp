#include "tests/support/test_support.h"

#include <curl/curl.h>
#include <sodium.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/platform.h"
#include "support/text_conversion.h"
#include "tests/support/test_environment.h"
#include "transfer/curl_easy.h"

namespace testing_support {

namespace fs = std::filesystem;

namespace {

fs::path toPath(const std::u16string& path) {
    return fs::u8path(platform::pathToNative(path));
}

std::u16string uniqueDirectoryName() {
    static std::atomic<unsigned> counter{0};
    char name[64];
    // Random per process: test processes started in the same millisecond get other names.
    static const std::uint32_t processTag = randombytes_random();
    std::snprintf(name, sizeof name, "dltest-%u-%u-%08x", platform::tickCount(),
                  static_cast<unsigned>(counter++), static_cast<unsigned>(processTag));
    return widen(name);
}

}  // namespace

std::u16string widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

ScopedTemporaryDirectory::ScopedTemporaryDirectory() {
    hadPrevious_ = readTemporaryDirectoryVariable(previous_);
    std::u16string base = platform::temporaryDirectory();
    path_ = base + uniqueDirectoryName() + platform::pathSeparator();
    fs::create_directories(toPath(path_));
    setTemporaryDirectoryVariable(path_);
}

ScopedTemporaryDirectory::~ScopedTemporaryDirectory() {
    if (hadPrevious_) {
        setTemporaryDirectoryVariable(previous_);
    } else {
        clearTemporaryDirectoryVariable();
    }
    std::error_code ignored;
    fs::remove_all(toPath(path_), ignored);
}

std::string readFileBytes(const std::u16string& path) {
    std::ifstream in(toPath(path), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool fileExists(const std::u16string& path) {
    std::error_code ignored;
    return fs::exists(toPath(path), ignored);
}

bool plant(const std::u16string& path, Planted kind, const std::u16string& target) {
    std::error_code error;
    switch (kind) {
        case Planted::Directory:
        case Planted::SharedDirectory:
            fs::create_directory(toPath(path), error);
            // Where permissions are only a read-only flag, a shared folder cannot be told apart.
            if (!error && kind == Planted::SharedDirectory) {
                fs::permissions(toPath(path),
                                fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec,
                                error);
                return !error && platform::pathSeparator() == u'/';
            }
            return !error;
        case Planted::SymbolicLink:
            fs::create_symlink(toPath(target), toPath(path), error);
            return !error;
        case Planted::HardLink:
            fs::create_hard_link(toPath(target), toPath(path), error);
            return !error;
        case Planted::Fifo:
            return makeFifoForTest(path);
    }
    return false;
}

bool renamePath(const std::u16string& from, const std::u16string& to) {
    std::error_code error;
    fs::rename(toPath(from), toPath(to), error);
    return !error;
}

void writeFileBytes(const std::u16string& path, const std::string& bytes) {
    std::ofstream out(toPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string patternBytes(std::uint64_t offset, std::uint64_t length) {
    constexpr std::uint64_t kPeriod = 65521;
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(length));
    for (std::uint64_t i = offset; i < offset + length; ++i) {
        const std::uint32_t j = static_cast<std::uint32_t>(i % kPeriod);
        bytes.push_back(static_cast<char>(static_cast<std::uint32_t>(j * 2654435761u) >> 24));
    }
    return bytes;
}

const TestServers& testServers() {
    static const TestServers servers = [] {
        TestServers loaded;
        const std::string file = environmentVariable("DOWNLOADER_TEST_SERVERS");
        if (file.empty()) {
            return loaded;
        }
        std::ifstream in(fs::u8path(file));
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t equals = line.find('=');
            if (equals == std::string::npos) {
                continue;
            }
            const std::string name = line.substr(0, equals);
            const std::string value = line.substr(equals + 1);
            if (name == "FAULT_PORT") {
                loaded.faultPort = std::atoi(value.c_str());
            } else if (name == "HTTP_PORT") {
                loaded.httpPort = std::atoi(value.c_str());
            } else if (name == "HTTPS_PORT") {
                loaded.httpsPort = std::atoi(value.c_str());
            } else if (name == "FILES_DIR") {
                // Wine shows the Linux root as drive Z:.
                const bool windows = platform::pathSeparator() == u'\\';
                loaded.filesDirectory =
                    windows && !value.empty() && value[0] == '/' ? "Z:" + value : value;
            }
        }
        loaded.available = loaded.faultPort != 0 && loaded.httpPort != 0;
        return loaded;
    }();
    return servers;
}

std::string TestServers::faultUrl(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(faultPort) + pathAndQuery;
}

std::string TestServers::nginxUrl(const std::string& path, bool https) const {
    return (https ? "https://127.0.0.1:" + std::to_string(httpsPort)
                  : "http://127.0.0.1:" + std::to_string(httpPort)) +
           path;
}

namespace {

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// The string value of `"name": "..."` at or after pos, or "" for null.
std::string jsonField(const std::string& json, std::size_t& pos, const std::string& name) {
    const std::string key = "\"" + name + "\": ";
    pos = json.find(key, pos);
    if (pos == std::string::npos) {
        return "";
    }
    pos += key.size();
    if (json.compare(pos, 4, "null") == 0) {
        return "";
    }
    std::string value;
    std::size_t i = pos + 1;
    for (; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) {
            ++i;  // \" and \\ stand for the character after the backslash
        }
        value.push_back(json[i]);
    }
    pos = i;
    return value;
}

}  // namespace

namespace {

std::string requestLogJson(const std::string& pathPrefix) {
    std::string json;
    CurlEasy easy = makeCurlEasy();
    const std::string url = testServers().faultUrl("/_requests?path=" + pathPrefix);
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &json);
    curl_easy_perform(easy.get());
    return json;
}

// The number of `"name": 123` at or after pos.
std::uint64_t jsonNumber(const std::string& json, std::size_t& pos, const std::string& name) {
    const std::string key = "\"" + name + "\": ";
    pos = json.find(key, pos);
    if (pos == std::string::npos) {
        return 0;
    }
    pos += key.size();
    return std::strtoull(json.c_str() + pos, nullptr, 10);
}

}  // namespace

std::vector<LoggedRequest> loggedRequestDetails(const std::string& pathPrefix) {
    const std::string json = requestLogJson(pathPrefix);
    std::vector<LoggedRequest> requests;
    std::size_t pos = 0;
    while (true) {
        LoggedRequest request;
        request.method = jsonField(json, pos, "method");
        if (pos == std::string::npos) {
            break;
        }
        request.range = jsonField(json, pos, "range");
        request.ifRange = jsonField(json, pos, "if_range");
        request.open = jsonNumber(json, pos, "open");
        request.sent = jsonNumber(json, pos, "sent");
        if (pos == std::string::npos) {
            break;
        }
        const std::size_t equals = request.range.find('=');
        if (equals != std::string::npos) {
            request.first = std::strtoull(request.range.c_str() + equals + 1, nullptr, 10);
        }
        requests.push_back(request);
    }
    return requests;
}

std::vector<std::string> loggedRequests(const std::string& pathPrefix) {
    std::vector<std::string> requests;
    for (const LoggedRequest& request : loggedRequestDetails(pathPrefix)) {
        requests.push_back(request.range.empty() ? request.method
                                                 : request.method + " " + request.range);
    }
    return requests;
}

int deadLoopbackPort() {
    return 1;
}

}  // namespace testing_support
