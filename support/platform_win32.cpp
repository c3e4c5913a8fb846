// The Win32 side of the platform seam. Every call here must exist on Windows XP SP3: the
// import test (tests/windows/check_imports.sh) rejects anything newer.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>

#include "support/platform.h"

namespace platform {
namespace {

// wchar_t is a 16-bit UTF-16 unit on Windows, so the two views of a string coincide.
const wchar_t* wide(const WideString& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

HANDLE handleOf(void* native) {
    return static_cast<HANDLE>(native);
}

// Writes the whole buffer at the descriptor's current position. _write takes an unsigned count
// but reports through an int, so no single call is asked for more than INT_MAX bytes; a call
// that writes nothing would never finish the loop, so it counts as a failure.
bool writeAll(int descriptor, const void* data, std::size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const unsigned int chunk = static_cast<unsigned int>(std::min<std::size_t>(size, INT_MAX));
        const int written = _write(descriptor, next, chunk);
        if (written <= 0) {
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

struct ThreadStart {
    ThreadEntry entry;
    void* argument;
};

// ThreadEntry has the C calling convention and CreateThread wants WINAPI: this adapts them and
// frees the record that carried the entry across.
DWORD WINAPI threadTrampoline(LPVOID raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    return start.entry(start.argument);
}

// Both handles of a started process, kept until close().
struct ProcessHandles {
    HANDLE process;
    HANDLE thread;
};

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

// Looked up afresh on every isWow64 call: XP before SP2 has no such export.
IsWow64ProcessFunction isWow64ProcessEntry = nullptr;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Paths

WideString temporaryDirectory() {
    // A failing call leaves the buffer zeroed, which reads as the empty string.
    wchar_t buffer[MAX_PATH] = {};
    GetTempPathW(MAX_PATH - 1, buffer);
    return WideString(reinterpret_cast<const char16_t*>(buffer));
}

char16_t pathSeparator() {
    return u'\\';
}

std::string pathToNative(const WideString& path) {
    if (path.empty()) {
        return std::string();
    }
    const int units = static_cast<int>(path.size());
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide(path), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return std::string();
    }
    std::string result(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide(path), units, &result[0], bytes, nullptr, nullptr);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Files

File File::openExclusive(const WideString& path, bool* heldElsewhere) {
    // _wsopen rather than _wsopen_s: Windows XP's msvcrt.dll has none of the _s functions.
    const int descriptor =
        _wsopen(wide(path), _O_RDWR | _O_CREAT | _O_BINARY, _SH_DENYRW, _S_IREAD | _S_IWRITE);
    if (heldElsewhere != nullptr) {
        // errno says only EACCES for a share conflict, a read-only file and a directory alike.
        *heldElsewhere = descriptor < 0 && _doserrno == ERROR_SHARING_VIOLATION;
    }
    return File(descriptor);
}

bool File::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    if (!isOpen() || offset > static_cast<std::uint64_t>(LLONG_MAX)) {
        return false;
    }
    // WriteFile with an offset in an OVERLAPPED record on the synchronous handle: no shared
    // file position is read or set first, so writes of different threads at different offsets
    // cannot end up at each other's position.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(native_)));
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, next, chunk, &written, &at) || written == 0) {
            return false;
        }
        next += written;
        offset += written;
        size -= written;
    }
    return true;
}

bool File::append(const void* data, std::size_t size) {
    if (!isOpen()) {
        return false;
    }
    const int descriptor = static_cast<int>(native_);
    if (_lseeki64(descriptor, 0, SEEK_END) < 0) {
        return false;
    }
    return writeAll(descriptor, data, size);
}

std::int64_t File::size() const {
    if (!isOpen()) {
        return -1;
    }
    return _filelengthi64(static_cast<int>(native_));
}

bool File::resize(std::uint64_t newSize) {
    if (!isOpen() || newSize > static_cast<std::uint64_t>(LLONG_MAX)) {
        return false;
    }
    // _chsize takes a 32-bit length and _chsize_s is missing on XP; the handle calls are
    // neither.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(native_)));
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(newSize);
    return SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

void File::close() {
    if (isOpen()) {
        _close(static_cast<int>(native_));
        native_ = -1;
    }
}

bool removeFile(const WideString& path) {
    return _wremove(wide(path)) == 0;
}

// ---------------------------------------------------------------------------------------------
// Threads and the mutex

Thread Thread::createSuspended(ThreadEntry entry, void* argument) {
    std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart{entry, argument});
    Thread thread;
    if (!start) {
        return thread;
    }
    const HANDLE handle =
        CreateThread(nullptr, 0, threadTrampoline, start.get(), CREATE_SUSPENDED, nullptr);
    if (handle != nullptr) {
        start.release();  // the new thread frees it
        thread.native_ = handle;
    }
    return thread;
}

bool Thread::resume() {
    return isValid() && ResumeThread(handleOf(native_)) != (DWORD)-1;
}

void Thread::close() {
    if (isValid()) {
        CloseHandle(handleOf(native_));
        native_ = nullptr;
    }
}

void Thread::waitForAll(const std::vector<Thread*>& threads) {
    std::vector<HANDLE> handles;
    for (const Thread* thread : threads) {
        if (thread != nullptr && thread->isValid()) {
            handles.push_back(handleOf(thread->native_));
        }
    }
    // One call waits for at most MAXIMUM_WAIT_OBJECTS handles; waiting for every handle of
    // each chunk in turn still returns only when all have ended.
    for (std::size_t first = 0; first < handles.size(); first += MAXIMUM_WAIT_OBJECTS) {
        const std::size_t count =
            std::min<std::size_t>(handles.size() - first, MAXIMUM_WAIT_OBJECTS);
        WaitForMultipleObjects(static_cast<DWORD>(count), &handles[first], TRUE, INFINITE);
    }
}

Mutex::Mutex() : native_(CreateMutexA(nullptr, FALSE, nullptr)) {}

Mutex::~Mutex() {
    if (isValid()) {
        CloseHandle(handleOf(native_));
    }
}

void Mutex::lock() {
    WaitForSingleObject(handleOf(native_), INFINITE);
}

void Mutex::unlock() {
    ReleaseMutex(handleOf(native_));
}

// ---------------------------------------------------------------------------------------------
// Processes and time

Process Process::start(const WideString& program, const WideString& commandLine) {
    Process result;
    // CreateProcessW may write into the command line, so it gets a private copy.
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information;
    ZeroMemory(&information, sizeof information);
    if (!CreateProcessW(wide(program), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &information)) {
        return result;
    }
    ProcessHandles* handles =
        new (std::nothrow) ProcessHandles{information.hProcess, information.hThread};
    if (handles == nullptr) {
        CloseHandle(information.hThread);
        CloseHandle(information.hProcess);
        return result;
    }
    result.native_ = handles;
    return result;
}

WaitResult Process::wait(std::uint32_t milliseconds) {
    if (!isValid()) {
        return WaitResult::Failed;
    }
    switch (WaitForSingleObject(static_cast<ProcessHandles*>(native_)->process, milliseconds)) {
        case WAIT_OBJECT_0:
            return WaitResult::Ended;
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            return WaitResult::Failed;
    }
}

void Process::close() {
    if (isValid()) {
        std::unique_ptr<ProcessHandles> handles(static_cast<ProcessHandles*>(native_));
        native_ = nullptr;
        CloseHandle(handles->thread);
        CloseHandle(handles->process);
    }
}

std::uint32_t tickCount() {
    return GetTickCount();
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

// ---------------------------------------------------------------------------------------------
// Host windows

WindowHandle findWindow(const WideString& windowClass, const WideString& title) {
    const HWND window = FindWindowW(wide(windowClass), wide(title));
    // Window handles are 32-bit values even for 64-bit processes, so the low half is the whole.
    return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(window));
}

bool postMessage(WindowHandle window, std::uint32_t message, std::uint32_t wParam,
                 std::uint32_t lParam) {
    const HWND target = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
    return PostMessageW(target, message, static_cast<WPARAM>(wParam),
                        static_cast<LPARAM>(lParam)) != FALSE;
}

// ---------------------------------------------------------------------------------------------
// Machine probes

bool isWow64() {
    BOOL result = FALSE;
    // Through void(*)() because GCC warns about a direct cast between unrelated function types.
    isWow64ProcessEntry = reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "IsWow64Process")));
    if (isWow64ProcessEntry != nullptr) {
        isWow64ProcessEntry(GetCurrentProcess(), &result);
    }
    return result != FALSE;
}

int isNt6OrLater() {
    // The basic record, not OSVERSIONINFOEXA: its size is what the version query is told.
    static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA has the Win32 layout");
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    return version.dwMajorVersion >= 6 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Process start-up

std::vector<WideString> commandLineArguments(int, char**) {
    std::vector<WideString> arguments;
    // The runtime fills the wide vector only for a wide entry point (wWinMain, wmain); a
    // narrow one, such as a test runner's main, leaves it null.
    if (__wargv == nullptr) {
        return arguments;
    }
    for (int index = 0; index < __argc; ++index) {
        arguments.emplace_back(reinterpret_cast<const char16_t*>(__wargv[index]));
    }
    return arguments;
}

}  // namespace platform
