// Everything the downloader needs from the operating system, behind one seam.
// There are exactly two implementations: platform_win32.cpp and platform_posix.cpp.
// Wide strings are UTF-16 on both platforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using WideString = std::u16string;

// ---------------------------------------------------------------------------------------------
// Paths

// The user's temporary directory with its trailing separator, or empty when none can be
// obtained. Windows: GetTempPathW offered 259 characters of a 260-character buffer.
// POSIX: $TMPDIR (else /tmp) with a trailing '/'.
WideString temporaryDirectory();

// '\\' on Windows, '/' on POSIX.
char16_t pathSeparator();

// The platform's native rendering of a path for messages and tests (UTF-8).
std::string pathToNative(const WideString& path);

// ---------------------------------------------------------------------------------------------
// Files

// An open file descriptor, closed when the object goes away.
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Read-write, created when missing, never truncated, and exclusive: while it is open no
    // other open of the file succeeds (Windows share mode deny-read-write; POSIX an advisory
    // exclusive lock taken right after the open, failing the open when it cannot be taken).
    // When the open fails only because another open holds the file, `*heldElsewhere` (if
    // given) is set to true (Windows: ERROR_SHARING_VIOLATION in _doserrno; POSIX: the lock
    // is taken), so that callers can retry that case and not the others.
    static File openExclusive(const WideString& path, bool* heldElsewhere = nullptr);

    // Like openExclusive, for a file in a directory that others may write to: the last
    // component of the path must be an ordinary file with a single name, never a symbolic
    // link, a reparse point, a second hard link, a directory or a device, so that a planted
    // name cannot lead the writes to another file. POSIX: opened with O_NOFOLLOW, then checked
    // with fstat. Windows: opened with FILE_FLAG_OPEN_REPARSE_POINT, then checked with
    // GetFileInformationByHandle.
    static File openExclusiveRegular(const WideString& path, bool* heldElsewhere = nullptr);

    bool isOpen() const { return native_ >= 0; }
    // Writes all of the bytes at the offset; false when the write fails or is short. Uses no
    // shared file position (POSIX pwrite; Windows WriteFile with an offset), so several threads
    // may write at different offsets at once without a lock.
    bool writeAt(std::uint64_t offset, const void* data, std::size_t size);
    // Seeks to the end and writes; false when the write fails or is short.
    bool append(const void* data, std::size_t size);
    // Current size in bytes, or -1 when it cannot be read.
    std::int64_t size() const;
    // Cuts or extends the file to exactly this size.
    bool resize(std::uint64_t newSize);
    // Waits until the bytes written so far are on the disk (POSIX fdatasync, Windows
    // FlushFileBuffers); false when that failed.
    bool syncData();
    void close();

private:
    explicit File(std::intptr_t native) : native_(native) {}
    std::intptr_t native_ = -1;
};

// Deletes a file (never a directory). False when it did not exist or could not be deleted.
bool removeFile(const WideString& path);

// A file opened for reading that nobody can change, rename or delete while it is held, so that
// what was read from it is what a program started from it runs. Windows: the handle shares
// reading only, which still lets CreateProcessW map the file. POSIX: a plain read-only
// descriptor (without following a symbolic link); the private folder the file lies in keeps
// other users away from it.
class HeldFile {
public:
    HeldFile() = default;
    ~HeldFile();
    HeldFile(HeldFile&& other) noexcept;
    HeldFile& operator=(HeldFile&& other) noexcept;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    static HeldFile open(const WideString& path);

    bool isOpen() const { return native_ != -1; }
    // Reads the next bytes: how many were read, 0 at the end of the file, -1 on failure.
    std::int64_t read(void* buffer, std::size_t size);
    void close();

private:
    std::intptr_t native_ = -1;
};

// Creates a directory that only the current user (and, on Windows, the Administrators and
// SYSTEM) may enter or change. Fails when anything at all already exists at the path, a
// symbolic link or a reparse point included. POSIX: mkdir with mode 0700. Windows:
// CreateDirectoryW with a protected DACL, inherited by what is created inside.
bool createPrivateDirectory(const WideString& path);

// Removes an empty directory. False when it is not empty or could not be removed.
bool removeDirectory(const WideString& path);

// ---------------------------------------------------------------------------------------------
// Threads and the one mutex of a download

using ThreadEntry = std::uint32_t (*)(void* argument);

// A thread that is created suspended and runs only once resumed. Destroying the object
// closes the handle; it does not wait for the thread.
class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    static Thread createSuspended(ThreadEntry entry, void* argument);

    bool isValid() const { return native_ != nullptr; }
    bool resume();
    void close();

    // Waits, without a time limit, until every valid thread in the list has ended.
    static void waitForAll(const std::vector<Thread*>& threads);

private:
    void* native_ = nullptr;
};

class Mutex {
public:
    Mutex();  // an unnamed mutex, not initially owned; check isValid()
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    bool isValid() const { return native_ != nullptr; }
    void lock();
    void unlock();

private:
    void* native_ = nullptr;
};

// Holds a mutex for one scope; a null or invalid mutex is not locked.
class MutexLock {
public:
    explicit MutexLock(Mutex* mutex) : mutex_(mutex && mutex->isValid() ? mutex : nullptr) {
        if (mutex_) {
            mutex_->lock();
        }
    }
    ~MutexLock() {
        if (mutex_) {
            mutex_->unlock();
        }
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex* mutex_;
};

// ---------------------------------------------------------------------------------------------
// Processes and time

enum class WaitResult { Ended, TimedOut, Failed };

constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

class Process {
public:
    Process() = default;
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts the program file at `program` with the whole `commandLine` (Windows quoting
    // rules), inheriting the environment and current directory and no handles.
    // Windows: CreateProcessW. POSIX: the line is split by the Windows argument rules, the
    // program file gets its owner's execute bit, and it is spawned.
    static Process start(const WideString& program, const WideString& commandLine);

    bool isValid() const { return native_ != nullptr; }
    WaitResult wait(std::uint32_t milliseconds);
    void close();

private:
    void* native_ = nullptr;
};

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
std::uint32_t tickCount();
void sleepMilliseconds(std::uint32_t milliseconds);

// ---------------------------------------------------------------------------------------------
// Host windows

// A window handle as a 32-bit value; 0 is no window.
using WindowHandle = std::uint32_t;

// FindWindowW on Windows. POSIX: a window is a Unix datagram socket in Linux's abstract
// namespace (see docs/host-messages.md).
WindowHandle findWindow(const WideString& windowClass, const WideString& title);

// Queues a message without waiting for the receiver; false when it could not be queued.
bool postMessage(WindowHandle window, std::uint32_t message, std::uint32_t wParam,
                 std::uint32_t lParam);

// ---------------------------------------------------------------------------------------------
// Machine probes

// True when this 32-bit process runs on 64-bit Windows (POSIX: on a 64-bit system).
bool isWow64();
// 1 when the Windows major version is 6 or later, else 0 (POSIX: always 1).
int isNt6OrLater();

// ---------------------------------------------------------------------------------------------
// Proxies

// One way to reach a server: through the proxy "host:port", or straight when `proxy` is empty.
struct ProxyRoute {
    std::string proxy;
    bool isDirect() const { return proxy.empty(); }
};

// How the user's system would reach one address.
struct ProxyChoice {
    // True: the transfer sets no proxy option, so that libcurl follows http_proxy, https_proxy
    // and no_proxy (with any credentials in them) as every libcurl program does.
    bool fromEnvironment = false;
    // Otherwise the routes to try in order; never empty.
    std::vector<ProxyRoute> routes;
    // A proxy's challenge is answered with the signed-in user's logon (Negotiate or NTLM),
    // never with a stored password.
    bool answerWithLogon = false;
};

// Windows: the current user's Internet Options as WinHTTP reads them (automatic detection,
// then the configuration script, then the fixed proxy with its bypass list, else direct).
// POSIX: fromEnvironment. May take seconds (automatic detection on a network without it):
// callers ask once per address and run, and never concurrently.
ProxyChoice proxyFor(const std::string& url);

// ---------------------------------------------------------------------------------------------
// Process start-up

// The program's argument vector as UTF-16, element 0 being the program path.
// Windows: the runtime's already split wide vector. POSIX: the vector given to main.
std::vector<WideString> commandLineArguments(int argc, char** argv);

}  // namespace platform
