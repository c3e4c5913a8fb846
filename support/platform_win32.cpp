// The Win32 side of the platform seam. Every call here must exist on Windows XP SP3: the
// import test (tests/windows/check_imports.sh) rejects anything newer.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which they build on.
#include <aclapi.h>
#include <winhttp.h>
#include <winternl.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "support/platform.h"
#include "support/proxy_settings.h"

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

// The Win32 handle behind a runtime descriptor, for the calls the runtime does not offer.
// The position of a read or write that uses no shared file position.
OVERLAPPED overlappedAt(std::uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

HANDLE handleOfDescriptor(std::intptr_t descriptor) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(descriptor)));
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

// Windows 10 1511 and Windows 11 additions, named here since the XP headers do not declare them.
using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
using GetMachineTypeAttributesFunction = HRESULT(WINAPI*)(USHORT, int*);
constexpr USHORT kMachineI386 = 0x014C;
constexpr USHORT kMachineAmd64 = 0x8664;
constexpr USHORT kMachineArm64 = 0xAA64;
constexpr int kMachineUserEnabled = 0x1;  // MACHINE_ATTRIBUTES: runs user-mode programs

template <typename Function>
Function kernel32Entry(const char* name) {
    // Through void(*)() because GCC warns about a direct cast between unrelated function types.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32"), name)));
}

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

namespace {

// The runtime descriptor of a handle to a regular file with a single name on a disk (and, when
// `ownerChecked`, owned by SYSTEM, the Administrators or this user); otherwise the handle is
// closed and the result is -1.
int regularFileDescriptor(HANDLE handle, bool ownerChecked);

}  // namespace

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

File File::openExclusiveRegular(const WideString& path, bool* heldElsewhere) {
    if (heldElsewhere != nullptr) {
        *heldElsewhere = false;
    }
    // No sharing at all, as _SH_DENYRW gives; a reparse point at the name is opened itself
    // instead of what it points to, and then refused below.
    const HANDLE handle =
        CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (heldElsewhere != nullptr) {
            *heldElsewhere = GetLastError() == ERROR_SHARING_VIOLATION;
        }
        return File();
    }
    return File(regularFileDescriptor(handle, true));
}

bool File::writeAt(std::uint64_t offset, const void* data, std::size_t size, bool* diskFull) {
    if (diskFull != nullptr) {
        *diskFull = false;
    }
    if (!isOpen() || offset > static_cast<std::uint64_t>(LLONG_MAX)) {
        return false;
    }
    // WriteFile with an offset in an OVERLAPPED record on the synchronous handle: no shared
    // file position is read or set first, so writes of different threads at different offsets
    // cannot end up at each other's position.
    const HANDLE handle = handleOfDescriptor(native_);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        OVERLAPPED at = overlappedAt(offset);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, next, chunk, &written, &at) || written == 0) {
            const DWORD error = GetLastError();
            if (diskFull != nullptr) {
                *diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
            }
            return false;
        }
        next += written;
        offset += written;
        size -= written;
    }
    return true;
}

std::int64_t File::readAt(std::uint64_t offset, void* buffer, std::size_t size) {
    const HANDLE handle = isOpen() ? handleOfDescriptor(native_) : INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE || offset > static_cast<std::uint64_t>(LLONG_MAX)) {
        return -1;
    }
    OVERLAPPED at = overlappedAt(offset);
    DWORD got = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &got,
                  &at)) {
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return got;
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
    const HANDLE handle = handleOfDescriptor(native_);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(newSize);
    return SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

bool File::syncData() {
    const HANDLE handle = isOpen() ? handleOfDescriptor(native_) : INVALID_HANDLE_VALUE;
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != FALSE;
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

std::int64_t HeldFile::read(void* buffer, std::size_t size) {
    if (!isOpen()) {
        return -1;
    }
    DWORD got = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!ReadFile(reinterpret_cast<HANDLE>(native_), buffer, wanted, &got, nullptr)) {
        return -1;
    }
    return got;
}

void HeldFile::close() {
    if (isOpen()) {
        CloseHandle(reinterpret_cast<HANDLE>(native_));
        native_ = -1;
    }
}

namespace {

// The security identifier of the user this process runs as, copied out of its token.
std::vector<BYTE> currentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    std::vector<BYTE> sid;
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        const BYTE* first = static_cast<const BYTE*>(user);
        sid.assign(first, first + GetLengthSid(user));
    }
    CloseHandle(token);
    return sid;
}

std::vector<BYTE> wellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
        return {};
    }
    sid.resize(size);
    return sid;
}

// True for an elevated administrator. A filtered (unelevated) token holds the Administrators
// group for denying only, which does not count.
bool isAdministrator() {
    std::vector<BYTE> administrators = wellKnownSid(WinBuiltinAdministratorsSid);
    BOOL member = FALSE;
    return !administrators.empty() &&
           CheckTokenMembership(nullptr, administrators.data(), &member) && member;
}

// One entry of an access list: full control for `sid`, inherited by everything created below,
// and (`belowOnly`) only there.
struct FullControl {
    std::vector<BYTE> sid;
    bool belowOnly = false;
};

// A privilege of this process's token, enabled while the object lives when the token holds it.
class EnabledPrivilege {
public:
    explicit EnabledPrivilege(const wchar_t* name) {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                              &token_)) {
            token_ = nullptr;
            return;
        }
        TOKEN_PRIVILEGES wanted;
        ZeroMemory(&wanted, sizeof wanted);
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = sizeof previous_;
        // Succeeds with ERROR_NOT_ALL_ASSIGNED when the token does not hold it.
        enabled_ =
            LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token_, FALSE, &wanted, sizeof previous_, &previous_, &size) &&
            GetLastError() == ERROR_SUCCESS;
    }
    ~EnabledPrivilege() {
        if (enabled_) {
            AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
        }
        if (token_ != nullptr) {
            CloseHandle(token_);
        }
    }
    EnabledPrivilege(const EnabledPrivilege&) = delete;
    EnabledPrivilege& operator=(const EnabledPrivilege&) = delete;

    bool enabled() const { return enabled_; }

private:
    HANDLE token_ = nullptr;
    TOKEN_PRIVILEGES previous_{};
    bool enabled_ = false;
};

// A protected access list of such entries with its owner (none: the creator's default), and
// its descriptor (which points into the object: keep it in place).
class PrivateSecurity {
public:
    PrivateSecurity(std::vector<FullControl> entries, std::vector<BYTE> owner)
        : entries_(std::move(entries)), owner_(std::move(owner)) {
        DWORD aclSize = sizeof(ACL);
        for (const FullControl& entry : entries_) {
            if (entry.sid.empty()) {
                return;
            }
            aclSize +=
                sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(entry.sid.size());
        }
        acl_.resize(aclSize);
        PACL acl = reinterpret_cast<PACL>(acl_.data());
        if (!InitializeAcl(acl, aclSize, ACL_REVISION)) {
            return;
        }
        for (FullControl& entry : entries_) {
            const DWORD inheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE |
                                      (entry.belowOnly ? INHERIT_ONLY_ACE : 0);
            if (!AddAccessAllowedAceEx(acl, ACL_REVISION, inheritance, FILE_ALL_ACCESS,
                                       entry.sid.data())) {
                return;
            }
        }
        // Protected: nothing is inherited from the parent's own, wider, list.
        valid_ = InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
                 SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
                 SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) &&
                 (owner_.empty() || SetSecurityDescriptorOwner(&descriptor_, owner_.data(), FALSE));
    }
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;

    PSECURITY_DESCRIPTOR descriptor() { return valid_ ? &descriptor_ : nullptr; }

    // Gives an object that this process holds open (with WRITE_DAC and WRITE_OWNER) this owner
    // and list, as they stand: nothing is inherited from the parent.
    bool applyTo(HANDLE handle) {
        const SECURITY_INFORMATION what =
            DACL_SECURITY_INFORMATION | (owner_.empty() ? 0 : OWNER_SECURITY_INFORMATION);
        return valid_ && SetKernelObjectSecurity(handle, what, &descriptor_) != FALSE;
    }

private:
    std::vector<FullControl> entries_;
    std::vector<BYTE> owner_;
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    bool valid_ = false;
};

// True when the object's owner is SYSTEM, the Administrators or this user.
bool ownedByThisAccount(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    std::vector<BYTE> trustedOwners[] = {wellKnownSid(WinLocalSystemSid),
                                         wellKnownSid(WinBuiltinAdministratorsSid),
                                         currentUserSid()};
    bool trusted = false;
    for (std::vector<BYTE>& sid : trustedOwners) {
        trusted = trusted || (owner != nullptr && !sid.empty() && EqualSid(owner, sid.data()));
    }
    LocalFree(descriptor);
    return trusted;
}

// A directory (`directory`) or a regular file with a single name, on a disk, and never a
// reparse point.
bool isPlainObject(HANDLE handle, bool directory) {
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    const bool isDirectory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return directory ? isDirectory : !isDirectory && information.nNumberOfLinks == 1;
}

int regularFileDescriptor(HANDLE handle, bool ownerChecked) {
    const int descriptor =
        isPlainObject(handle, false) && (!ownerChecked || ownedByThisAccount(handle))
            ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY)
            : -1;
    if (descriptor < 0) {
        CloseHandle(handle);
    }
    return descriptor;
}

// One path component: no separator, no stream name, not "." or "..".
bool isPlainName(const WideString& name) {
    return !name.empty() && name != u"." && name != u".." &&
           name.find_first_of(WideString(u"\\/:\0", 4)) == WideString::npos;
}

using NtCreateFileFunction = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using NtSetInformationFileFunction = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                  FILE_INFORMATION_CLASS);

constexpr LONG kStatusSharingViolation = static_cast<LONG>(0xC0000043);
constexpr LONG kStatusInvalidOwner = static_cast<LONG>(0xC000005A);
constexpr LONG kStatusUnavailable = static_cast<LONG>(0xC0000001);

// ntdll.dll is in every process; its native calls are the only way on Windows XP to create a
// folder and open it in one step, and to open a file relative to a held folder.
template <typename Function>
Function ntdllEntry(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// NtCreateFile on `name`: a native path, or a name relative to `root`. Never follows a reparse
// point; synchronous handle as CreateFileW gives.
LONG ntCreate(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share,
              ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security, HANDLE& handle) {
    static const NtCreateFileFunction create = ntdllEntry<NtCreateFileFunction>("NtCreateFile");
    handle = INVALID_HANDLE_VALUE;
    if (create == nullptr || name.empty() || name.size() > 0x7FFE / sizeof(wchar_t)) {
        return kStatusUnavailable;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, security);
    IO_STATUS_BLOCK status;
    ZeroMemory(&status, sizeof status);
    HANDLE opened = nullptr;
    const LONG result = create(
        &opened, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (result >= 0) {
        handle = opened;
    }
    return result;
}

// The native form of a path: \??\C:\... or \??\UNC\server\share\...
std::wstring nativePath(const WideString& path) {
    const DWORD size = GetFullPathNameW(wide(path), 0, nullptr, nullptr);
    if (size == 0) {
        return std::wstring();
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(wide(path), size, &full[0], nullptr);
    if (length == 0 || length >= size) {
        return std::wstring();
    }
    full.resize(length);
    if (full.compare(0, 4, L"\\\\?\\") == 0) {
        return L"\\??\\" + full.substr(4);
    }
    if (full.compare(0, 4, L"\\\\.\\") == 0) {
        return std::wstring();  // a device, never a folder of ours
    }
    if (full.compare(0, 2, L"\\\\") == 0) {
        return L"\\??\\UNC\\" + full.substr(2);
    }
    return L"\\??\\" + full;
}

// Held folders can be listed and entered but not renamed or deleted by anyone else; DELETE is
// held so that removeSelf can remove the folder through this very handle.
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | DELETE;
constexpr ULONG kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG kFolderOptions = FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT;

std::wstring wideName(const WideString& name) {
    return std::wstring(name.begin(), name.end());
}

}  // namespace

namespace {

// Creates the folder with `security` and holds it.
HANDLE createHeldFolder(const std::wstring& native, PrivateSecurity& security) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (security.descriptor() == nullptr ||
        ntCreate(nullptr, native, kFolderAccess | WRITE_DAC | WRITE_OWNER, kFolderSharing,
                 FILE_CREATE, kFolderOptions, security.descriptor(), handle) < 0) {
        return INVALID_HANDLE_VALUE;
    }
    if (!isPlainObject(handle, true)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// True when this process can create a file in the held folder (it leaves nothing behind).
bool acceptsFiles(HANDLE folder) {
    HANDLE probe = INVALID_HANDLE_VALUE;
    if (ntCreate(folder, L"~access-check", GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                 FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, nullptr, probe) < 0) {
        return false;
    }
    CloseHandle(probe);
    return true;
}

}  // namespace

Directory Directory::createPrivate(const WideString& path) {
    Directory directory;
    const std::wstring native = nativePath(path);
    if (native.empty()) {
        return directory;
    }
    const std::vector<BYTE> system = wellKnownSid(WinLocalSystemSid);
    const std::vector<BYTE> administrators = wellKnownSid(WinBuiltinAdministratorsSid);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (isAdministrator()) {
        PrivateSecurity administratorsOwn({{system, false}, {administrators, false}},
                                          administrators);
        handle = createHeldFolder(native, administratorsOwn);
        // Then owned by SYSTEM, which no user's token holds: an owner may always rewrite the
        // access list, and no process of the user, elevated or not, gets that right from the
        // folder. Giving away ownership takes the restore privilege, which every elevated
        // administrator holds. SYSTEM is itself one of the Administrators, so the one entry
        // grants both the folder; below it SYSTEM gets its own entry as well. Where access
        // lists are mapped onto the owner's permission bits instead (Wine run by a user other
        // than root), that would lock this process out, and the folder stays as it was made.
        EnabledPrivilege restore(SE_RESTORE_NAME);
        PrivateSecurity systemOwn({{administrators, false}, {system, true}}, system);
        if (handle != INVALID_HANDLE_VALUE && restore.enabled() && systemOwn.applyTo(handle) &&
            !acceptsFiles(handle)) {
            administratorsOwn.applyTo(handle);
        }
    } else {
        // Windows XP runs the program for a limited user too: the user is let in.
        PrivateSecurity security(
            {{system, false}, {administrators, false}, {currentUserSid(), false}}, {});
        handle = createHeldFolder(native, security);
    }
    if (handle != INVALID_HANDLE_VALUE) {
        directory.native_ = reinterpret_cast<std::intptr_t>(handle);
        directory.path_ = path;
    }
    return directory;
}

Directory Directory::openExistingPrivate(const WideString& path) {
    return holdExisting(path, false);
}

Directory Directory::holdExisting(const WideString& path, bool shared) {
    Directory directory;
    const std::wstring native = nativePath(path);
    // A shared hold lacks DELETE, so that several runs may hold the folder at once; as none of
    // them shares deletion, nobody can rename or delete it while any holds it.
    const ACCESS_MASK access =
        shared ? kFolderAccess & ~static_cast<ACCESS_MASK>(DELETE) : kFolderAccess;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (native.empty() || ntCreate(nullptr, native, access, kFolderSharing, FILE_OPEN,
                                   kFolderOptions, nullptr, handle) < 0) {
        return directory;
    }
    directory.native_ = reinterpret_cast<std::intptr_t>(handle);
    directory.path_ = path;
    if (!isPlainObject(handle, true) || !ownedByThisAccount(handle)) {
        directory.close();
    }
    return directory;
}

Directory Directory::createShared(const WideString& path) {
    // Made as the working folder is, then held as the other runs hold it.
    Directory made = createPrivate(path);
    if (!made.isOpen()) {
        return made;
    }
    made.close();
    return holdExisting(path, true);
}

Directory Directory::openExistingShared(const WideString& path) {
    return holdExisting(path, true);
}

bool Directory::markInUse() {
    return isOpen();  // the held handle keeps every open that could delete the folder out
}

File Directory::openFile(const WideString& name, FileOpening how, bool* heldElsewhere) {
    if (heldElsewhere != nullptr) {
        *heldElsewhere = false;
    }
    if (!isOpen() || !isPlainName(name)) {
        return File();
    }
    const ULONG disposition = how == FileOpening::CreateNew      ? FILE_CREATE
                              : how == FileOpening::OpenOrCreate ? FILE_OPEN_IF
                                                                 : FILE_OPEN;
    HANDLE handle = INVALID_HANDLE_VALUE;
    // No sharing at all, as _SH_DENYRW gives.
    const LONG status = ntCreate(reinterpret_cast<HANDLE>(native_), wideName(name),
                                 GENERIC_READ | GENERIC_WRITE | DELETE, 0, disposition,
                                 FILE_NON_DIRECTORY_FILE, nullptr, handle);
    if (status < 0) {
        if (heldElsewhere != nullptr) {
            *heldElsewhere = status == kStatusSharingViolation;
        }
        return File();
    }
    return File(regularFileDescriptor(handle, true));
}

HeldFile Directory::openHeld(const WideString& name, File* written) {
    HeldFile held;
    if (written != nullptr) {
        written->close();  // its handle shares nothing, so no other open succeeds meanwhile
    }
    if (!isOpen() || !isPlainName(name)) {
        return held;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    // Others may read (CreateProcessW maps the file for reading and executing) but not write,
    // rename or delete it while this handle is open.
    if (ntCreate(reinterpret_cast<HANDLE>(native_), wideName(name), GENERIC_READ, FILE_SHARE_READ,
                 FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, handle) < 0) {
        return held;
    }
    if (!isPlainObject(handle, false) || !ownedByThisAccount(handle)) {
        CloseHandle(handle);
        return held;
    }
    held.native_ = reinterpret_cast<std::intptr_t>(handle);
    return held;
}

bool Directory::removeFile(const WideString& name) {
    if (!isOpen() || !isPlainName(name)) {
        return false;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (ntCreate(reinterpret_cast<HANDLE>(native_), wideName(name), DELETE | FILE_READ_ATTRIBUTES,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                 FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, nullptr, handle) < 0) {
        return false;
    }
    return CloseHandle(handle) != FALSE;
}

namespace {

// Deletes the folder through its handle, whatever its name is by now, and closes the handle.
bool removeHeldFolder(HANDLE folder) {
    static const NtSetInformationFileFunction setInformation =
        ntdllEntry<NtSetInformationFileFunction>("NtSetInformationFile");
    bool removed = false;
    if (setInformation != nullptr) {
        FILE_DISPOSITION_INFORMATION disposition;
        disposition.DoDeleteFile = TRUE;
        IO_STATUS_BLOCK status;
        ZeroMemory(&status, sizeof status);
        removed = setInformation(folder, &status, &disposition, sizeof disposition,
                                 FileDispositionInformation) >= 0;
    }
    CloseHandle(folder);
    return removed;
}

}  // namespace

bool Directory::removeSelf() {
    if (!isOpen()) {
        return false;
    }
    const bool removed = removeHeldFolder(reinterpret_cast<HANDLE>(native_));
    native_ = -1;
    close();
    return removed;
}

void Directory::close() {
    if (isOpen()) {
        CloseHandle(reinterpret_cast<HANDLE>(native_));
        native_ = -1;
    }
    path_.clear();
}

bool Directory::moveFile(File& file, const WideString& name, Directory& target,
                         const WideString& newName) {
    static const NtSetInformationFileFunction setInformation =
        ntdllEntry<NtSetInformationFileFunction>("NtSetInformationFile");
    const HANDLE handle = file.isOpen() ? handleOfDescriptor(file.native_) : INVALID_HANDLE_VALUE;
    if (setInformation == nullptr || !isOpen() || !target.isOpen() ||
        handle == INVALID_HANDLE_VALUE || !isPlainName(name) || !isPlainName(newName)) {
        return false;
    }
    // The file is renamed through its own handle, so `name` only names what that handle is.
    const std::wstring to = wideName(newName);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFORMATION) + to.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = reinterpret_cast<HANDLE>(target.native_);
    rename->FileNameLength = static_cast<ULONG>(to.size() * sizeof(wchar_t));
    CopyMemory(rename->FileName, to.data(), to.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK status;
    ZeroMemory(&status, sizeof status);
    return setInformation(handle, &status, rename, static_cast<ULONG>(buffer.size()),
                          FileRenameInformation) >= 0;
}

namespace {

// FILETIME counts 100 ns from 1601; the difference to 1970 in those units.
constexpr std::uint64_t kUnixEpochInFileTime = 116444736000000000ull;

std::int64_t secondsSince1970(const FILETIME& time) {
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kUnixEpochInFileTime)) /
           10000000;
}

}  // namespace

std::vector<FolderEntry> listFolder(const WideString& path) {
    std::vector<FolderEntry> entries;
    WideString pattern = path;
    if (!pattern.empty() && pattern.back() != u'\\') {
        pattern.push_back(u'\\');
    }
    pattern.push_back(u'*');
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return entries;
    }
    do {
        const WideString name(reinterpret_cast<const char16_t*>(found.cFileName));
        if (name == u"." || name == u"..") {
            continue;
        }
        FolderEntry entry;
        entry.name = name;
        const DWORD attributes = found.dwFileAttributes;
        entry.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FolderEntry::Kind::Other
                     : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? FolderEntry::Kind::Folder
                                                                      : FolderEntry::Kind::File;
        entry.modified = secondsSince1970(found.ftLastWriteTime);
        entries.push_back(entry);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return entries;
}

std::int64_t secondsSinceEpoch() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return secondsSince1970(now);
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

Process Process::start(HeldFile& program, const WideString& path, const WideString& commandLine) {
    Process result;
    if (!program.isOpen()) {
        return result;  // only a file that is held may run
    }
    // CreateProcessW may write into the command line, so it gets a private copy.
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information;
    ZeroMemory(&information, sizeof information);
    if (!CreateProcessW(wide(path), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
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

bool Process::exitCode(std::uint32_t& code) const {
    DWORD exit = 0;
    if (!isValid() || !GetExitCodeProcess(static_cast<ProcessHandles*>(native_)->process, &exit) ||
        exit == STILL_ACTIVE) {
        return false;
    }
    code = exit;
    return true;
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

std::uint32_t currentThreadId() {
    return GetCurrentThreadId();
}

std::string systemDescription() {
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&version)) {
        return "Windows (version unknown)";
    }
#pragma GCC diagnostic pop
    std::string text = "Windows " + std::to_string(version.dwMajorVersion) + "." +
                       std::to_string(version.dwMinorVersion) + " build " +
                       std::to_string(version.dwBuildNumber);
    version.szCSDVersion[sizeof version.szCSDVersion - 1] = '\0';
    if (version.szCSDVersion[0] != '\0') {
        text += std::string(" ") + version.szCSDVersion;
    }
    return text;
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

NativeMachine nativeMachine() {
    const auto entry = kernel32Entry<IsWow64Process2Function>("IsWow64Process2");
    USHORT processMachine = 0;
    USHORT native = 0;
    if (entry == nullptr || !entry(GetCurrentProcess(), &processMachine, &native)) {
        return NativeMachine::Unknown;
    }
    switch (native) {
        case kMachineI386:
            return NativeMachine::X86;
        case kMachineAmd64:
            return NativeMachine::Amd64;
        case kMachineArm64:
            return NativeMachine::Arm64;
        default:
            return NativeMachine::Other;
    }
}

Answer canRunX64Programs() {
    const auto entry = kernel32Entry<GetMachineTypeAttributesFunction>("GetMachineTypeAttributes");
    int attributes = 0;
    if (entry == nullptr || FAILED(entry(kMachineAmd64, &attributes))) {
        return Answer::Unknown;
    }
    return (attributes & kMachineUserEnabled) != 0 ? Answer::Yes : Answer::No;
}

// ---------------------------------------------------------------------------------------------
// Proxies (WinHTTP: winhttp.dll is part of Windows from XP SP1 on)

namespace {

// A string that WinHTTP allocated for the caller, given back with GlobalFree.
class WinHttpText {
public:
    explicit WinHttpText(LPWSTR text) : text_(text) {}
    ~WinHttpText() {
        if (text_ != nullptr) {
            GlobalFree(text_);
        }
    }
    WinHttpText(const WinHttpText&) = delete;
    WinHttpText& operator=(const WinHttpText&) = delete;

    bool empty() const { return text_ == nullptr || *text_ == L'\0'; }
    const wchar_t* get() const { return text_; }
    std::string utf8() const {
        return empty() ? std::string()
                       : pathToNative(WideString(reinterpret_cast<const char16_t*>(text_)));
    }

private:
    LPWSTR text_;
};

std::wstring wideFromUtf8(const std::string& text) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0) {
        return std::wstring();
    }
    std::wstring result(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0], units);
    return result;
}

// The WinHTTP session that configuration scripts are fetched and run in, kept for the run, and
// whether automatic detection has already failed in this run: on a network without it each
// attempt can take seconds, so it is not asked again.
struct AutoProxyState {
    HINTERNET session = nullptr;
    bool detectionFailed = false;
    ~AutoProxyState() {
        if (session != nullptr) {
            WinHttpCloseHandle(session);
        }
    }
};

AutoProxyState autoProxy;

// Asks automatic detection or a configuration script for the address's proxies. False when
// they gave no answer.
bool askAutoProxy(const std::wstring& url, DWORD how, const wchar_t* script,
                  const AddressParts& address, ProxyChoice& choice) {
    if (autoProxy.session == nullptr) {
        autoProxy.session = WinHttpOpen(L"Velmora downloader", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (autoProxy.session == nullptr) {
            return false;
        }
    }
    WINHTTP_AUTOPROXY_OPTIONS options;
    ZeroMemory(&options, sizeof options);
    options.dwFlags = how;
    if (how == WINHTTP_AUTOPROXY_AUTO_DETECT) {
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.lpszAutoConfigUrl = script;
    // A script behind an authenticating server is fetched with the user's logon.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info;
    ZeroMemory(&info, sizeof info);
    if (!WinHttpGetProxyForUrl(autoProxy.session, url.c_str(), &options, &info)) {
        return false;
    }
    const WinHttpText proxies(info.lpszProxy);
    const WinHttpText bypass(info.lpszProxyBypass);
    // WinHTTP lists the script's proxies in order and ends the list where the script says
    // DIRECT; an answer of DIRECT alone comes back as no proxy.
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
        !bypassesProxy(bypass.utf8(), address)) {
        choice.routes = proxyRoutesFor(proxies.utf8(), address);
    }
    return true;
}

}  // namespace

ProxyChoice proxyFor(const std::string& url) {
    ProxyChoice choice;
    choice.answerWithLogon = true;
    const AddressParts address = splitAddress(url);
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings;
    ZeroMemory(&settings, sizeof settings);
    if (WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
        const WinHttpText script(settings.lpszAutoConfigUrl);
        const WinHttpText fixed(settings.lpszProxy);
        const WinHttpText bypass(settings.lpszProxyBypass);
        const std::wstring wideUrl = wideFromUtf8(url);
        // The order of Internet Explorer: automatic detection, the configuration script, then
        // the proxy set by hand.
        bool answered = false;
        if (settings.fAutoDetect && !autoProxy.detectionFailed) {
            answered =
                askAutoProxy(wideUrl, WINHTTP_AUTOPROXY_AUTO_DETECT, nullptr, address, choice);
            if (!answered && GetLastError() == ERROR_WINHTTP_AUTODETECTION_FAILED) {
                autoProxy.detectionFailed = true;
            }
            choice.origin = answered ? "automatic detection" : "automatic detection found none";
        }
        if (!answered && !script.empty()) {
            answered =
                askAutoProxy(wideUrl, WINHTTP_AUTOPROXY_CONFIG_URL, script.get(), address, choice);
            choice.origin = answered ? "configuration script" : choice.origin;
        }
        if (!answered && !fixed.empty()) {
            choice.origin = "Internet Options proxy";
            if (!bypassesProxy(bypass.utf8(), address)) {
                choice.routes = proxyRoutesFor(fixed.utf8(), address);
            }
        }
    }
    if (choice.routes.empty()) {
        choice.routes.push_back(ProxyRoute{});
    }
    return choice;
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

// ---------------------------------------------------------------------------------------------
// Free space

namespace {

// FILE_FS_FULL_SIZE_INFORMATION of the native calls (not in every SDK's headers).
struct VolumeFullSize {
    LARGE_INTEGER totalAllocationUnits;
    LARGE_INTEGER callerAvailableAllocationUnits;
    LARGE_INTEGER actualAvailableAllocationUnits;
    ULONG sectorsPerAllocationUnit;
    ULONG bytesPerSector;
};
constexpr int kFileFsFullSizeInformation = 7;
using NtQueryVolumeInformationFileFunction = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                          int);

}  // namespace

std::int64_t File::volumeFreeSpace() const {
    // Asked of the open handle: GetDiskFreeSpaceExW wants a path, which a held folder's files
    // are never opened by again.
    static const NtQueryVolumeInformationFileFunction query =
        ntdllEntry<NtQueryVolumeInformationFileFunction>("NtQueryVolumeInformationFile");
    const HANDLE handle = isOpen() ? handleOfDescriptor(native_) : INVALID_HANDLE_VALUE;
    if (query == nullptr || handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    IO_STATUS_BLOCK status = {};
    VolumeFullSize size = {};
    if (query(handle, &status, &size, sizeof size, kFileFsFullSizeInformation) < 0) {
        return -1;
    }
    const unsigned long long unit =
        static_cast<unsigned long long>(size.sectorsPerAllocationUnit) * size.bytesPerSector;
    const unsigned long long units =
        static_cast<unsigned long long>(size.callerAvailableAllocationUnits.QuadPart);
    if (unit != 0 && units > static_cast<unsigned long long>(LLONG_MAX) / unit) {
        return LLONG_MAX;
    }
    return static_cast<std::int64_t>(units * unit);
}

}  // namespace platform
