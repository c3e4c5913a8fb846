#include "release/file_io.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/sha256.h"

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting what close reports (a delayed write error shows up here).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Writes, flushes and closes; errno tells why on false.
bool finishFile(Descriptor& file, const std::string& bytes) {
    return writeAll(file.get(), bytes) && ::fsync(file.get()) == 0 && file.close();
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Hands every block of the file to `take` until its end; errno's text in `error` on false.
template <typename Take>
bool readToEnd(int fd, std::string& error, Take take) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (got == 0) {
            return true;
        }
        take(buffer.data(), static_cast<std::size_t>(got));
    }
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

}  // namespace

bool readWholeFile(const std::string& path, std::string& bytes, std::string& error) {
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) == 0 && S_ISDIR(status.st_mode)) {
        error = std::strerror(EISDIR);
        return false;
    }
    std::string contents;
    if (!readToEnd(file.get(), error,
                   [&](const char* data, std::size_t size) { contents.append(data, size); })) {
        return false;
    }
    bytes.swap(contents);
    return true;
}

bool sha256OfFile(const std::string& path, std::string& hex, std::string& error) {
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        error = std::strerror(errno);
        return false;
    }
    Sha256Hasher hasher;
    if (!readToEnd(file.get(), error,
                   [&](const char* data, std::size_t size) { hasher.update(data, size); })) {
        return false;
    }
    hex = sha256Hex(hasher.finish());
    return true;
}

bool createNewFile(const std::string& path, const std::string& bytes, mode_t mode,
                   std::string& error) {
    Descriptor file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.get() < 0) {
        error = std::strerror(errno);
        return false;
    }
    // The umask may only take rights away; make sure nothing else was granted either.
    if (::fchmod(file.get(), mode) != 0 || !finishFile(file, bytes)) {
        error = std::strerror(errno);
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

bool replaceFileAtomically(const std::string& path, const std::string& bytes, std::string& error) {
    struct stat original {};
    if (::stat(path.c_str(), &original) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const std::string directory = directoryOf(path);
    std::string pattern = directory + "/." + baseNameOf(path) + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    Descriptor file(::mkstemp(name.data()));
    if (file.get() < 0) {
        error = std::string("cannot create a temporary file in ") + directory + ": " +
                std::strerror(errno);
        return false;
    }
    const std::string temporary(name.data());
    if (::fchmod(file.get(), original.st_mode & 07777) != 0 || !finishFile(file, bytes) ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself is durable only once the directory is flushed too.
    Descriptor parent(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() >= 0) {
        ::fsync(parent.get());
    }
    return true;
}

PrivateDirectory::PrivateDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/release-tool-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) != nullptr) {
        path_ = name.data();
    }
}

PrivateDirectory::~PrivateDirectory() {
    if (!path_.empty()) {
        ::nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}
