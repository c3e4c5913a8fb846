// The POSIX side of the platform seam (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

#include "support/platform.h"
#include "support/platform_posix_window.h"
#include "support/text_conversion.h"
#include "support/windows_command_line.h"

extern char** environ;

namespace platform {

namespace {

// Paths are UTF-8 on disk: surrogate pairs become one four-byte sequence (a lone surrogate
// keeps its three-byte form), so that every name that came from UTF-8 maps back to itself.
std::string nativeText(const WideString& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        const bool pairFollows = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
                                 text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (!pairFollows) {
            out += toUtf8(WideString(1, unit));
            continue;
        }
        const std::uint32_t code = 0x10000 + ((unit - 0xD800u) << 10) + (text[i + 1] - 0xDC00u);
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        ++i;
    }
    return out;
}

// Bytes that are not UTF-8 are taken one unit each, so no argument is ever lost.
WideString wideFromNative(const std::string& text) {
    WideString wide;
    if (fromUtf8(text, wide)) {
        return wide;
    }
    for (unsigned char byte : text) {
        wide.push_back(static_cast<char16_t>(byte));
    }
    return wide;
}

// A file larger than RLIMIT_FSIZE must fail its write, not kill the process.
void ignoreFileSizeSignal() {
    static const bool ignored = [] {
        signal(SIGXFSZ, SIG_IGN);
        return true;
    }();
    (void)ignored;
}

bool writeAll(int fd, const char* data, std::size_t size, off_t offset, bool positional,
              bool* diskFull = nullptr) {
    while (size > 0) {
        const ssize_t written = positional ? pwrite(fd, data, size, offset) : write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (diskFull != nullptr) {
                *diskFull = written < 0 && errno == ENOSPC;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

// The advisory lock that makes an open exclusive; `heldElsewhere` tells whether another open
// holds it.
bool lockExclusively(int fd, bool* heldElsewhere) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (heldElsewhere != nullptr) {
        *heldElsewhere = errno == EWOULDBLOCK;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Paths

WideString temporaryDirectory() {
    const char* fromEnvironment = std::getenv("TMPDIR");
    std::string directory =
        (fromEnvironment != nullptr && fromEnvironment[0] != '\0') ? fromEnvironment : "/tmp";
    if (directory.back() != '/') {
        directory.push_back('/');
    }
    return wideFromNative(directory);
}

char16_t pathSeparator() {
    return u'/';
}

std::string pathToNative(const WideString& path) {
    return nativeText(path);
}

// ---------------------------------------------------------------------------------------------
// Files

File File::lockedExclusively(int descriptor, bool* heldElsewhere) {
    File file(descriptor);
    if (descriptor < 0 || !lockExclusively(descriptor, heldElsewhere)) {
        return File();  // `file` closes the descriptor
    }
    return file;
}

File File::openExclusive(const WideString& path, bool* heldElsewhere) {
    ignoreFileSizeSignal();
    if (heldElsewhere != nullptr) {
        *heldElsewhere = false;
    }
    const std::string native = nativeText(path);
    const int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    return lockedExclusively(fd, heldElsewhere);
}

File File::openExclusiveRegular(const WideString& path, bool* heldElsewhere) {
    ignoreFileSizeSignal();
    if (heldElsewhere != nullptr) {
        *heldElsewhere = false;
    }
    const std::string native = nativeText(path);
    // O_NONBLOCK: a FIFO or a device planted at the name must not block the open.
    const int fd =
        ::open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
        return File();
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
        status.st_uid != geteuid()) {
        ::close(fd);
        return File();
    }
    return lockedExclusively(fd, heldElsewhere);
}

bool File::writeAt(std::uint64_t offset, const void* data, std::size_t size, bool* diskFull) {
    if (diskFull != nullptr) {
        *diskFull = false;
    }
    return isOpen() && writeAll(static_cast<int>(native_), static_cast<const char*>(data), size,
                                static_cast<off_t>(offset), true, diskFull);
}

std::int64_t File::readAt(std::uint64_t offset, void* buffer, std::size_t size) {
    if (!isOpen()) {
        return -1;
    }
    ssize_t got;
    do {
        got = pread(static_cast<int>(native_), buffer, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

bool File::append(const void* data, std::size_t size) {
    if (!isOpen() || lseek(static_cast<int>(native_), 0, SEEK_END) < 0) {
        return false;
    }
    return writeAll(static_cast<int>(native_), static_cast<const char*>(data), size, 0, false);
}

std::int64_t File::size() const {
    struct stat status;
    if (!isOpen() || fstat(static_cast<int>(native_), &status) != 0) {
        return -1;
    }
    return status.st_size;
}

bool File::resize(std::uint64_t newSize) {
    return isOpen() && ftruncate(static_cast<int>(native_), static_cast<off_t>(newSize)) == 0;
}

bool File::syncData() {
    return isOpen() && fdatasync(static_cast<int>(native_)) == 0;
}

void File::close() {
    if (native_ >= 0) {
        ::close(static_cast<int>(native_));  // also drops the lock
        native_ = -1;
    }
}

std::int64_t File::volumeFreeSpace() const {
    struct statvfs volume;
    if (!isOpen() || fstatvfs(static_cast<int>(native_), &volume) != 0) {
        return -1;
    }
    const unsigned long long bytes =
        static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize;
    return bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX
                                                              : static_cast<std::int64_t>(bytes);
}

bool removeFile(const WideString& path) {
    const std::string native = nativeText(path);
    struct stat status;
    if (lstat(native.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
        return false;
    }
    return unlink(native.c_str()) == 0;
}

std::int64_t HeldFile::read(void* buffer, std::size_t size) {
    if (!isOpen()) {
        return -1;
    }
    while (true) {
        const ssize_t got = ::read(static_cast<int>(native_), buffer, size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got;
    }
}

void HeldFile::close() {
    if (isOpen()) {
        ::close(static_cast<int>(native_));
        native_ = -1;
    }
}

namespace {

// A name that stays inside the folder: one path component.
bool isPlainName(const WideString& name) {
    return !name.empty() && name != u"." && name != u".." &&
           name.find_first_of(WideString(u"/\0", 2)) == WideString::npos;
}

// A directory or file that this account owns, that has no other name and that nobody else may
// change (`privateMode`: nor enter or read).
bool isOwnRegularFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_uid == geteuid();
}

bool isOwnPrivateDirectory(const struct stat& status) {
    return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

int openDirectoryAt(int parent, const char* name) {
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Splits a path into its folder (opened, without following a link in its last component) and
// its last component.
bool openParent(const WideString& path, int& parent, std::string& name) {
    WideString trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == u'/') {
        trimmed.pop_back();
    }
    const std::size_t slash = trimmed.rfind(u'/');
    const WideString folder = slash == WideString::npos ? WideString(u".")
                              : slash == 0              ? WideString(u"/")
                                                        : trimmed.substr(0, slash);
    const WideString last = slash == WideString::npos ? trimmed : trimmed.substr(slash + 1);
    if (!isPlainName(last)) {
        return false;
    }
    parent = ::open(nativeText(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    name = nativeText(last);
    return parent >= 0;
}

// Opens a file of the held folder `folder` and checks it, closing it when it is not what it
// must be.
int openInFolder(int folder, const WideString& name, int flags) {
    if (folder < 0 || !isPlainName(name)) {
        return -1;
    }
    // O_NONBLOCK: a FIFO or a device at the name must not block the open.
    const int fd = ::openat(folder, nativeText(name).c_str(),
                            flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat status;
    if (fd >= 0 && (fstat(fd, &status) != 0 || !isOwnRegularFile(status))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Directory Directory::holdPrivate(const WideString& path, bool create) {
    Directory directory;
    int parent = -1;
    std::string name;
    const bool split = openParent(path, parent, name);
    directory.parent_ = parent;  // closed with the object from here on
    if (!split || (create && mkdirat(parent, name.c_str(), 0700) != 0)) {
        return Directory();
    }
    // Between the two calls another user who may write to the parent can rename a new folder
    // away and put something of its own there: only a directory of this account that nobody
    // else may enter is taken.
    const int fd = openDirectoryAt(parent, name.c_str());
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0 || !isOwnPrivateDirectory(status)) {
        if (fd >= 0) {
            ::close(fd);
        }
        return Directory();
    }
    directory.native_ = fd;
    directory.name_ = wideFromNative(name);
    directory.path_ = path;
    return directory;
}

Directory Directory::createPrivate(const WideString& path) {
    return holdPrivate(path, true);
}

Directory Directory::openExistingPrivate(const WideString& path) {
    return holdPrivate(path, false);
}

File Directory::openFile(const WideString& name, FileOpening how, bool* heldElsewhere) {
    ignoreFileSizeSignal();
    if (heldElsewhere != nullptr) {
        *heldElsewhere = false;
    }
    const int creation = how == FileOpening::CreateNew      ? O_CREAT | O_EXCL
                         : how == FileOpening::OpenOrCreate ? O_CREAT
                                                            : 0;
    const int fd = openInFolder(static_cast<int>(native_), name, O_RDWR | creation);
    return File::lockedExclusively(fd, heldElsewhere);
}

HeldFile Directory::openHeld(const WideString& name, File* written) {
    HeldFile held;
    const int fd = openInFolder(static_cast<int>(native_), name, O_RDONLY);
    if (fd < 0) {
        if (written != nullptr) {
            written->close();
        }
        return held;
    }
    held.native_ = fd;
    if (written != nullptr) {
        struct stat mine;
        struct stat theirs;
        const bool same =
            written->isOpen() && fstat(static_cast<int>(written->native_), &theirs) == 0 &&
            fstat(fd, &mine) == 0 && mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
        written->close();
        if (!same) {
            held.close();
        }
    }
    return held;
}

bool Directory::removeFile(const WideString& name) {
    return isOpen() && isPlainName(name) &&
           unlinkat(static_cast<int>(native_), nativeText(name).c_str(), 0) == 0;
}

bool Directory::removeSelf() {
    if (!isOpen()) {
        return false;
    }
    struct stat held;
    struct stat named;
    const std::string name = nativeText(name_);
    const bool stillNamed =
        fstat(static_cast<int>(native_), &held) == 0 &&
        fstatat(static_cast<int>(parent_), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    const bool removed =
        stillNamed && unlinkat(static_cast<int>(parent_), name.c_str(), AT_REMOVEDIR) == 0;
    close();
    return removed;
}

void Directory::close() {
    if (native_ >= 0) {
        ::close(static_cast<int>(native_));
        native_ = -1;
    }
    if (parent_ >= 0) {
        ::close(static_cast<int>(parent_));
        parent_ = -1;
    }
    name_.clear();
    path_.clear();
}

Directory Directory::createShared(const WideString& path) {
    return createPrivate(path);
}

Directory Directory::openExistingShared(const WideString& path) {
    return openExistingPrivate(path);
}

bool Directory::markInUse() {
    struct stat status;
    return isOpen() && flock(static_cast<int>(native_), LOCK_EX | LOCK_NB) == 0 &&
           fstat(static_cast<int>(native_), &status) == 0 && status.st_nlink > 0;
}

bool Directory::moveFile(File& file, const WideString& name, Directory& target,
                         const WideString& newName) {
    if (!isOpen() || !target.isOpen() || !file.isOpen() || !isPlainName(name) ||
        !isPlainName(newName)) {
        return false;
    }
    const std::string to = nativeText(newName);
    if (renameat(static_cast<int>(native_), nativeText(name).c_str(),
                 static_cast<int>(target.native_), to.c_str()) != 0) {
        return false;
    }
    struct stat open;
    struct stat moved;
    return fstat(static_cast<int>(file.native_), &open) == 0 &&
           fstatat(static_cast<int>(target.native_), to.c_str(), &moved, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           open.st_dev == moved.st_dev && open.st_ino == moved.st_ino;
}

std::vector<FolderEntry> listFolder(const WideString& path) {
    std::vector<FolderEntry> entries;
    DIR* folder = opendir(nativeText(path).c_str());
    if (folder == nullptr) {
        return entries;
    }
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        struct stat status;
        if (name == "." || name == ".." ||
            fstatat(dirfd(folder), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        FolderEntry found;
        found.name = wideFromNative(name);
        found.kind = S_ISREG(status.st_mode)   ? FolderEntry::Kind::File
                     : S_ISDIR(status.st_mode) ? FolderEntry::Kind::Folder
                                               : FolderEntry::Kind::Other;
        found.modified = status.st_mtime;
        entries.push_back(found);
    }
    closedir(folder);
    return entries;
}

std::int64_t secondsSinceEpoch() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// ---------------------------------------------------------------------------------------------
// Threads

namespace {

// Shared by the Thread object and the running thread, so that either may go first.
struct ThreadState {
    ThreadEntry entry;
    void* argument;
    pthread_t id{};
    pthread_mutex_t gate = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t resumed = PTHREAD_COND_INITIALIZER;
    bool go = false;
    bool cancelled = false;  // closed before it was ever resumed: never runs the entry
    bool joined = false;
};
using SharedThreadState = std::shared_ptr<ThreadState>;

void* threadTrampoline(void* raw) {
    std::unique_ptr<SharedThreadState> holder(static_cast<SharedThreadState*>(raw));
    ThreadState& state = **holder;
    pthread_mutex_lock(&state.gate);
    while (!state.go) {
        pthread_cond_wait(&state.resumed, &state.gate);
    }
    const bool cancelled = state.cancelled;
    pthread_mutex_unlock(&state.gate);
    if (!cancelled) {
        state.entry(state.argument);
    }
    return nullptr;
}

SharedThreadState& stateOf(void* native) {
    return *static_cast<SharedThreadState*>(native);
}

void release(ThreadState& state, bool cancel) {
    pthread_mutex_lock(&state.gate);
    if (!state.go) {
        state.cancelled = cancel;
        state.go = true;
        pthread_cond_signal(&state.resumed);
    }
    pthread_mutex_unlock(&state.gate);
}

}  // namespace

Thread Thread::createSuspended(ThreadEntry entry, void* argument) {
    auto state = std::make_shared<ThreadState>();
    state->entry = entry;
    state->argument = argument;
    auto* forThread = new SharedThreadState(state);
    if (pthread_create(&state->id, nullptr, threadTrampoline, forThread) != 0) {
        delete forThread;
        return Thread();
    }
    Thread thread;
    thread.native_ = new SharedThreadState(state);
    return thread;
}

bool Thread::resume() {
    if (native_ == nullptr) {
        return false;
    }
    release(*stateOf(native_), false);
    return true;
}

void Thread::close() {
    if (native_ == nullptr) {
        return;
    }
    ThreadState& state = *stateOf(native_);
    if (!state.joined) {
        release(state, true);
        pthread_detach(state.id);
    }
    delete static_cast<SharedThreadState*>(native_);
    native_ = nullptr;
}

void Thread::waitForAll(const std::vector<Thread*>& threads) {
    for (Thread* thread : threads) {
        if (thread == nullptr || thread->native_ == nullptr) {
            continue;
        }
        ThreadState& state = *stateOf(thread->native_);
        if (!state.joined) {
            pthread_join(state.id, nullptr);
            state.joined = true;
        }
    }
}

Mutex::Mutex() {
    auto* mutex = new pthread_mutex_t;
    if (pthread_mutex_init(mutex, nullptr) != 0) {
        delete mutex;
        return;
    }
    native_ = mutex;
}

Mutex::~Mutex() {
    if (native_ != nullptr) {
        pthread_mutex_destroy(static_cast<pthread_mutex_t*>(native_));
        delete static_cast<pthread_mutex_t*>(native_);
    }
}

void Mutex::lock() {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(native_));
}

void Mutex::unlock() {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(native_));
}

// ---------------------------------------------------------------------------------------------
// Processes and time

namespace {

struct ChildProcess {
    pid_t pid;
    bool reaped;
    std::uint32_t exitCode = 0;
};

// A child that has been reaped counts as ended for every later wait.
bool reapIfEnded(ChildProcess& child, bool block, bool& failed) {
    if (child.reaped) {
        return true;
    }
    int status = 0;
    pid_t result;
    do {
        result = waitpid(child.pid, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        failed = true;
        return false;
    }
    if (result == child.pid) {
        child.reaped = true;
        child.exitCode = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status))
                                           : 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    }
    return child.reaped;
}

}  // namespace

Process Process::start(HeldFile& program, const WideString& path, const WideString& commandLine) {
    const int fd = static_cast<int>(program.native_);
    struct stat status;
    if (!program.isOpen() || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return Process();
    }
    // A download arrives without the execute bit that a Windows program does not need. Set
    // through the descriptor: the name may lead elsewhere by now.
    if (fchmod(fd, (status.st_mode & 07777) | S_IXUSR) != 0) {
        return Process();
    }

    std::vector<std::string> arguments;
    for (const WideString& argument : splitWindowsCommandLine(commandLine)) {
        arguments.push_back(nativeText(argument));
    }
    if (arguments.empty()) {
        arguments.push_back(nativeText(path));
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    // The child reports a failed exec through a pipe that a successful one closes.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return Process();
    }
    const pid_t pid = fork();
    if (pid == 0) {
        fexecve(fd, argv.data(), environ);
        const int error = errno;
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (pid < 0) {
        return Process();
    }
    Process process;
    process.native_ = new ChildProcess{pid, false};
    if (got != 0) {
        process.wait(kWaitForever);  // reaps the child that could not exec
        return Process();
    }
    return process;
}

WaitResult Process::wait(std::uint32_t milliseconds) {
    if (native_ == nullptr) {
        return WaitResult::Failed;
    }
    auto& child = *static_cast<ChildProcess*>(native_);
    bool failed = false;
    if (milliseconds == kWaitForever) {
        return reapIfEnded(child, true, failed) ? WaitResult::Ended : WaitResult::Failed;
    }
    const std::uint32_t start = tickCount();
    constexpr std::uint32_t kPollMs = 2;
    while (true) {
        if (reapIfEnded(child, false, failed)) {
            return WaitResult::Ended;
        }
        if (failed) {
            return WaitResult::Failed;
        }
        const std::uint32_t elapsed = tickCount() - start;
        if (elapsed >= milliseconds) {
            return WaitResult::TimedOut;
        }
        sleepMilliseconds(std::min(kPollMs, milliseconds - elapsed));
    }
}

bool Process::exitCode(std::uint32_t& code) const {
    if (native_ == nullptr || !static_cast<const ChildProcess*>(native_)->reaped) {
        return false;
    }
    code = static_cast<const ChildProcess*>(native_)->exitCode;
    return true;
}

void Process::close() {
    if (native_ == nullptr) {
        return;
    }
    auto* child = static_cast<ChildProcess*>(native_);
    if (!child->reaped) {
        // Not waited for: let it go on without leaving a zombie behind when it ends.
        bool failed = false;
        reapIfEnded(*child, false, failed);
    }
    delete child;
    native_ = nullptr;
}

std::uint32_t tickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    timespec duration{static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&duration, &duration) != 0 && errno == EINTR) {
    }
}

std::uint32_t currentThreadId() {
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

std::string systemDescription() {
    utsname names{};
    if (uname(&names) != 0) {
        return "unknown system";
    }
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

// ---------------------------------------------------------------------------------------------
// Host windows

namespace posix {

namespace {

std::string hex(std::uint64_t value, int digits) {
    char buffer[24] = {};
    std::snprintf(buffer, sizeof buffer, "%0*llx", digits, static_cast<unsigned long long>(value));
    return buffer;
}

std::uint64_t fnv1a(std::uint64_t hash, const std::u16string& text) {
    for (char16_t unit : text) {
        for (int shift = 0; shift < 16; shift += 8) {
            hash ^= static_cast<unsigned char>(unit >> shift);
            hash *= 0x100000001b3ull;
        }
    }
    return hash;
}

}  // namespace

std::string windowSocketName(std::uint32_t handle) {
    return "velmora-hwnd/" + hex(handle, 8);
}

std::string windowFinderPrefix(const std::u16string& windowClass, const std::u16string& title) {
    std::uint64_t hash = fnv1a(0xcbf29ce484222325ull, windowClass);
    hash = fnv1a(hash, std::u16string(1, u'\0'));
    hash = fnv1a(hash, title);
    return "velmora-wndclass/" + hex(hash, 16) + "/";
}

std::string windowFinderName(const std::u16string& windowClass, const std::u16string& title,
                             std::uint32_t handle) {
    return windowFinderPrefix(windowClass, title) + hex(handle, 8);
}

}  // namespace posix

WindowHandle findWindow(const WideString& windowClass, const WideString& title) {
    // Bound abstract sockets are listed with an '@' in place of their leading NUL byte.
    const std::string wanted = "@" + posix::windowFinderPrefix(windowClass, title);
    std::ifstream table("/proc/net/unix");
    std::string line;
    while (std::getline(table, line)) {
        const std::size_t at = line.find(wanted);
        if (at == std::string::npos) {
            continue;
        }
        const std::string digits = line.substr(at + wanted.size(), 8);
        char* end = nullptr;
        const unsigned long handle = std::strtoul(digits.c_str(), &end, 16);
        if (end == digits.c_str() + 8 && handle != 0) {
            return static_cast<WindowHandle>(handle);
        }
    }
    return 0;
}

namespace {

// A full receive queue (Linux holds only net.unix.max_dgram_qlen datagrams, often 10) is given
// a few milliseconds to drain, so that a live host keeps up with bursts of progress messages.
// A receiver that stays full is treated as stuck: later messages are not retried until one
// gets through again, so a stuck host never slows the download by more than one grace period.
constexpr std::uint32_t kFullQueueGraceMs = 20;
std::atomic<bool> receiverStuck{false};

bool sendDatagram(int sender, const sockaddr_un& address, socklen_t length,
                  const unsigned char* datagram) {
    const std::uint32_t start = tickCount();
    while (true) {
        const ssize_t sent =
            sendto(sender, datagram, posix::kMessageDatagramSize, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&address), length);
        if (sent == static_cast<ssize_t>(posix::kMessageDatagramSize)) {
            receiverStuck = false;
            return true;
        }
        const bool full = sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (!full || receiverStuck || tickCount() - start >= kFullQueueGraceMs) {
            if (full) {
                receiverStuck = true;
            }
            return false;
        }
        sched_yield();
    }
}

}  // namespace

bool postMessage(WindowHandle window, std::uint32_t message, std::uint32_t wParam,
                 std::uint32_t lParam) {
    static const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0 || window == 0) {
        return false;
    }
    unsigned char datagram[posix::kMessageDatagramSize];
    const std::uint32_t values[3] = {message, wParam, lParam};
    for (int v = 0; v < 3; ++v) {
        for (int b = 0; b < 4; ++b) {
            datagram[v * 4 + b] = static_cast<unsigned char>(values[v] >> (8 * b));
        }
    }
    const std::string name = posix::windowSocketName(window);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    // A missing receiver loses the message at once, as a failed post does.
    return sendDatagram(sender, address, length, datagram);
}

// ---------------------------------------------------------------------------------------------
// Machine probes

bool isWow64() {
    utsname names{};
    if (uname(&names) != 0) {
        return sizeof(void*) == 8;
    }
    const std::string machine = names.machine;
    return machine.find("64") != std::string::npos || machine == "s390x";
}

int isNt6OrLater() {
    return 1;
}

NativeMachine nativeMachine() {
    return NativeMachine::Unknown;
}

Answer canRunX64Programs() {
    return Answer::Unknown;
}

// ---------------------------------------------------------------------------------------------
// Proxies

ProxyChoice proxyFor(const std::string& url) {
    ProxyChoice choice;
    choice.fromEnvironment = true;
    choice.origin = "environment";
    // libcurl's order: the scheme's own variable (http_proxy only in lower case), then
    // all_proxy.
    const std::string scheme = url.substr(0, url.find(':'));
    const std::string own = scheme + "_proxy";
    std::string upper = own;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const std::string names[] = {own, scheme == "http" ? own : upper, "all_proxy", "ALL_PROXY"};
    for (const std::string& name : names) {
        const char* value = std::getenv(name.c_str());
        if (value != nullptr && *value != '\0') {
            choice.environmentProxy = name + "=" + value;
            break;
        }
    }
    return choice;
}

// ---------------------------------------------------------------------------------------------
// Process start-up

std::vector<WideString> commandLineArguments(int argc, char** argv) {
    std::vector<WideString> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(wideFromNative(argv[i]));
    }
    return arguments;
}

// ---------------------------------------------------------------------------------------------
// Code signatures: POSIX programs carry none.

std::optional<CodeSigner> trustedCodeSigner(HeldFile&, const WideString&) {
    return std::nullopt;
}

std::optional<CodeSigner> trustedSignerOfThisProgram() {
    return std::nullopt;
}

}  // namespace platform
