// Everything the downloader needs from the operating system, behind one seam.
// There are exactly two implementations: platform_win32.cpp and platform_posix.cpp.
// Wide strings are UTF-16 on both platforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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
    // name cannot lead the writes to another file, and it must belong to this account, so that
    // what is written there is never readable through a file that someone else made. POSIX:
    // opened with O_NOFOLLOW, then checked with fstat (owner: the effective user). Windows:
    // opened with FILE_FLAG_OPEN_REPARSE_POINT, then checked with GetFileInformationByHandle
    // (owner: SYSTEM, the Administrators or this user).
    static File openExclusiveRegular(const WideString& path, bool* heldElsewhere = nullptr);

    bool isOpen() const { return native_ >= 0; }
    // Writes all of the bytes at the offset; false when the write fails or is short. Uses no
    // shared file position (POSIX pwrite; Windows WriteFile with an offset), so several threads
    // may write at different offsets at once without a lock. On a failure `*diskFull` (if
    // given) tells whether the volume had no room (POSIX ENOSPC; Windows ERROR_DISK_FULL or
    // ERROR_HANDLE_DISK_FULL).
    bool writeAt(std::uint64_t offset, const void* data, std::size_t size,
                 bool* diskFull = nullptr);
    // Reads up to `size` bytes at the offset, without a shared file position (POSIX pread;
    // Windows ReadFile with an offset): how many were read, 0 at the end, -1 on failure.
    std::int64_t readAt(std::uint64_t offset, void* buffer, std::size_t size);
    // Seeks to the end and writes; false when the write fails or is short.
    bool append(const void* data, std::size_t size);
    // Current size in bytes, or -1 when it cannot be read.
    std::int64_t size() const;
    // Bytes that this user may still write on the volume that holds the file, or -1 when that
    // cannot be told. POSIX: fstatvfs's f_bavail blocks. Windows: the caller's available
    // allocation units (NtQueryVolumeInformationFile, looked up at run time).
    std::int64_t volumeFreeSpace() const;
    // Cuts or extends the file to exactly this size.
    bool resize(std::uint64_t newSize);
    // Waits until the bytes written so far are on the disk (POSIX fdatasync, Windows
    // FlushFileBuffers); false when that failed.
    bool syncData();
    void close();

private:
    friend class Directory;
    explicit File(std::intptr_t native) : native_(native) {}
    // POSIX: takes an opened descriptor (or -1) with the exclusive lock, or closes it.
    static File lockedExclusively(int descriptor, bool* heldElsewhere);
    std::intptr_t native_ = -1;
};

// Deletes a file (never a directory). False when it did not exist or could not be deleted.
bool removeFile(const WideString& path);

class Directory;
struct CodeSigner;

// A file opened for reading that nobody can change, rename or delete while it is held, so that
// what was read from it is what a program started from it runs (Process::start takes it).
// Opened only through a held Directory (Directory::openHeld). Windows: the handle shares reading
// only, which still lets CreateProcessW map the file. POSIX: a read-only descriptor of a regular
// file inside a folder that only this account may enter; the program is started from the
// descriptor itself, never again by its name.
class HeldFile {
public:
    HeldFile() = default;
    ~HeldFile();
    HeldFile(HeldFile&& other) noexcept;
    HeldFile& operator=(HeldFile&& other) noexcept;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool isOpen() const { return native_ != -1; }
    // Reads the next bytes: how many were read, 0 at the end of the file, -1 on failure.
    std::int64_t read(void* buffer, std::size_t size);
    void close();

private:
    friend class Directory;
    friend class Process;
    friend std::optional<CodeSigner> trustedCodeSigner(HeldFile& file, const WideString& path);
    std::intptr_t native_ = -1;
};

// How Directory::openFile treats a file that is, or is not, already there.
enum class FileOpening {
    CreateNew,     // fails when anything already has the name
    OpenOrCreate,  // creates it when missing
    OpenExisting,  // fails when it is missing
};

// A folder held open from its creation (or opening) until its removal, so that it can be
// neither renamed nor replaced while it is used, and every file in it is opened relative to the
// held folder, never again by a path that someone else could redirect. Made for the working
// folder of a run and for any folder a later run comes back to.
// - Windows: a handle without delete sharing (a folder held so cannot be renamed, moved or
//   deleted), opened with backup semantics and without following a reparse point. Files are
//   opened relative to the handle (NtCreateFile, looked up at run time, with the handle as its
//   root directory).
// - POSIX: an O_DIRECTORY | O_NOFOLLOW descriptor; files are opened with openat and O_NOFOLLOW.
//   Another user may still rename the folder's name away in a temporary directory without the
//   sticky bit, but what this object opens stays inside the folder it made or checked.
// Every file it opens must be a regular file with a single name, owned by this account; names
// are single path components (no separator, not "." or "..", on Windows no ':').
class Directory {
public:
    Directory() = default;
    ~Directory();  // closes the folder, without removing it
    Directory(Directory&& other) noexcept;
    Directory& operator=(Directory&& other) noexcept;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // Creates a folder and holds it; fails when anything at all already has the name (a
    // symbolic link, a junction or a reparse point included).
    // Windows: created and opened in one call. For an administrator's token (an elevated run)
    // it is then owned by SYSTEM and grants the Administrators, SYSTEM among them (below it
    // SYSTEM by name too); where ownership cannot be given away, or the folder would then shut
    // this process out, it is owned by the Administrators and grants SYSTEM and the
    // Administrators. For any other token (Windows XP ignores requireAdministrator) it grants
    // the user too. Protected: nothing is inherited from the parent, and what is created
    // inside inherits the same list.
    // POSIX: mkdirat with mode 0700, then opened without following links and checked: a
    // directory owned by this account that nobody else may enter.
    static Directory createPrivate(const WideString& path);
    // Opens and holds a folder that already exists, for a run that comes back to it. It must be
    // a real directory (not a symbolic link, junction or reparse point) owned by this account:
    // POSIX the effective user, with no access for group or others; Windows SYSTEM, the
    // Administrators or the user.
    static Directory openExistingPrivate(const WideString& path);

    bool isOpen() const { return native_ != -1; }
    // The path it was created or opened at, without a trailing separator.
    const WideString& path() const { return path_; }

    // Opens a regular file of the folder for reading and writing, exclusively (as
    // File::openExclusive: no other open of it succeeds while it is open; `*heldElsewhere` says
    // when only that failed). A symbolic link, reparse point, FIFO, device, directory, a file
    // with a second hard link or a file of another owner is refused.
    File openFile(const WideString& name, FileOpening how, bool* heldElsewhere = nullptr);
    // Holds a regular file of the folder for reading (see HeldFile), with the same checks as
    // openFile. When `written` is given it is the File this folder opened for the same name; it
    // is closed (POSIX: after the read-only descriptor is open, so that the file is never
    // without a holder; Windows, where the exclusive handle admits no other open, right before:
    // meanwhile the folder's access list keeps everyone but SYSTEM and the Administrators out).
    HeldFile openHeld(const WideString& name, File* written = nullptr);
    // Deletes a file of the folder (never a folder). False when it is missing or in use.
    bool removeFile(const WideString& name);
    // Removes the folder itself, which must be empty, and closes it. Windows: through the held
    // handle. POSIX: only while the folder's name still leads to the held folder; one that was
    // renamed away is left where it is.
    bool removeSelf();
    void close();

    // Like createPrivate and openExistingPrivate, for a folder that several runs hold at once
    // (the download cache). Windows: held without DELETE access, so that one holder keeps no
    // other run out, while nobody can rename or delete the folder as long as any run holds it.
    // POSIX: the same as the others.
    static Directory createShared(const WideString& path);
    static Directory openExistingShared(const WideString& path);

    // Marks the folder as this run's for as long as it is held, so that other runs leave it
    // alone (see isHeldByAnotherRun). False when another run holds it, or when it lost its
    // name before the mark was made (then it is no longer a folder that others can find).
    // POSIX: flock on the folder's descriptor. Windows: the held handle, which keeps every
    // other open that could delete the folder out, is the mark: true while the folder is open.
    bool markInUse();

    // Moves the regular file `name` of this folder, open as `file`, into `target` (which may be
    // this folder) as `newName`, replacing a file of that name; `file` stays open and keeps
    // leading to the moved file. POSIX: renameat between the two held folders, then checked
    // against the open file. Windows: NtSetInformationFile(FileRenameInformation) on the
    // file's own handle, relative to the target's handle.
    bool moveFile(File& file, const WideString& name, Directory& target, const WideString& newName);

private:
    // Windows: opens and holds an existing folder, alone (with DELETE access, which keeps every
    // other hold out) or shared with other runs.
    static Directory holdExisting(const WideString& path, bool shared);
    // POSIX: what createPrivate (`create`) and openExistingPrivate share.
    static Directory holdPrivate(const WideString& path, bool create);

    std::intptr_t native_ = -1;
    std::intptr_t parent_ = -1;  // POSIX: the parent folder, for removeSelf
    WideString name_;
    WideString path_;
};

// One name in a folder, as listFolder sees it, without following it.
struct FolderEntry {
    enum class Kind { File, Folder, Other };  // Other: a link, reparse point, junction, device...
    WideString name;
    Kind kind = Kind::Other;
    std::int64_t modified = 0;  // last change of its contents, seconds since 1970 (UTC)
};

// The names in a folder (not "." and ".."), in no particular order; empty when it cannot be
// read. POSIX: readdir and fstatat without following links. Windows: FindFirstFileW, a reparse
// point counting as Other whatever it points to.
std::vector<FolderEntry> listFolder(const WideString& path);

// The current time, seconds since 1970 (UTC).
std::int64_t secondsSinceEpoch();

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

    // Starts the held program file with the whole `commandLine` (Windows quoting rules),
    // inheriting the environment and current directory and no handles. `path` is where the file
    // was held, the path the program is told it was started from.
    // Windows: CreateProcessW on `path`, which the held file and its held folder keep leading
    // to the file that was read. POSIX: the line is split by the Windows argument rules, the
    // file gets its owner's execute bit through the descriptor (fchmod), and the child started
    // with fork runs the descriptor itself (fexecve); a program that cannot be executed gives an
    // invalid Process.
    static Process start(HeldFile& program, const WideString& path, const WideString& commandLine);

    bool isValid() const { return native_ != nullptr; }
    WaitResult wait(std::uint32_t milliseconds);
    // The program's exit code once a wait has seen it end; false before that. Windows:
    // GetExitCodeProcess. POSIX: the exit status, or 128 plus the signal that ended it.
    bool exitCode(std::uint32_t& code) const;
    void close();

private:
    void* native_ = nullptr;
};

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
std::uint32_t tickCount();
void sleepMilliseconds(std::uint32_t milliseconds);

// The calling thread's identifier, unique among the threads running at the same time
// (Windows GetCurrentThreadId, POSIX gettid).
std::uint32_t currentThreadId();

// The system's name, version and processor in one line of ASCII, for support: Windows the
// GetVersionExA record ("Windows 6.1 build 7601 Service Pack 1"), POSIX uname.
std::string systemDescription();

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

// The processor the system itself runs on, whatever this process is compiled for.
enum class NativeMachine { Unknown, X86, Amd64, Arm64, Other };
// Windows: the native machine that IsWow64Process2 reports (looked up at run time: Windows 10
// 1511 and later have it), Unknown without it or when it fails. POSIX: Unknown, so that the
// native build chooses as on Windows without the probe.
NativeMachine nativeMachine();

enum class Answer { Yes, No, Unknown };
// Whether x64 programs run in user mode here. Windows: GetMachineTypeAttributes for AMD64
// (looked up at run time: Windows 11 and later have it), Unknown without it or when it fails.
// POSIX: Unknown.
Answer canRunX64Programs();

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
    // Where the choice came from, for support: "environment", "automatic detection",
    // "configuration script", "Internet Options proxy", or, for a direct route, "automatic
    // detection found none" or "no proxy configured".
    const char* origin = "no proxy configured";
    // With fromEnvironment: the variable libcurl takes for the address ("https_proxy=..."),
    // as it is, credentials included; empty when none is set.
    std::string environmentProxy;
};

// Windows: the current user's Internet Options as WinHTTP reads them (automatic detection,
// then the configuration script, then the fixed proxy with its bypass list, else direct).
// POSIX: fromEnvironment. May take seconds (automatic detection on a network without it):
// callers ask once per address and run, and never concurrently.
ProxyChoice proxyFor(const std::string& url);

// ---------------------------------------------------------------------------------------------
// Code signatures

// Who signed a program: the values of the signing certificate's subject, in their order there.
struct CodeSigner {
    std::vector<WideString> organizations;  // O (2.5.4.10)
    std::vector<WideString> commonNames;    // CN (2.5.4.3)
};

// The signer of the held program file, when its Authenticode signature is valid: the image's
// digest matches, the signer's chain ends at a root this machine trusts with no error in any
// certificate (revocation judged only from what the machine already has: a certificate known
// to be revoked fails, one whose status is unknown does not; Windows XP, which cannot be kept
// off the network, checks none), and the signing certificate is
// for code signing. Otherwise (unsigned, changed, untrusted, not for code signing) nothing.
// Windows: WinVerifyTrust through the held handle (`path`, where the file is held, only names
// it), without UI and without fetching anything, then the signer chain's own error status.
// POSIX: there are no such signatures; always nothing.
std::optional<CodeSigner> trustedCodeSigner(HeldFile& file, const WideString& path);

// The same for this program's own file. May take a second or more the first time (Windows
// loads and initialises its trust providers): callers ask on a thread of their own.
std::optional<CodeSigner> trustedSignerOfThisProgram();

// ---------------------------------------------------------------------------------------------
// Process start-up

// The program's argument vector as UTF-16, element 0 being the program path.
// Windows: the runtime's already split wide vector. POSIX: the vector given to main.
std::vector<WideString> commandLineArguments(int argc, char** argv);

}  // namespace platform
