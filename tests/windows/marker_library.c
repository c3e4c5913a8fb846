/* A library planted where a program must not load it from. When anything loads it, it leaves a
 * file beside itself named after itself with ".ran" appended, and otherwise does nothing: each
 * function it exports fails (the test's .def maps every export to the stub that takes the same
 * number of argument bytes, so that the caller's stack stays balanced).
 *
 * Built without the C runtime, so that it imports kernel32 alone:
 *   gcc -shared -nostdlib -e _MarkerMain@12 marker_library.c NAME.def -Wl,--kill-at -lkernel32
 * where NAME.def maps "Function@N = marker_stub_N@N" (and cdecl functions to marker_stub_0). */
#include <windows.h>

BOOL WINAPI MarkerMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 8];
        const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcpyW(path + length, L".ran");
            const HANDLE file =
                CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
            }
        }
    }
    return TRUE;
}

/* marker_stub_N takes N bytes of arguments (stdcall: it removes them) and fails. */
#define MARKER_STUB(bytes)                                                     \
    struct marker_arguments_##bytes {                                          \
        char bytes_[bytes];                                                    \
    };                                                                         \
    int WINAPI marker_stub_##bytes(struct marker_arguments_##bytes arguments) { \
        (void)arguments;                                                       \
        SetLastError(ERROR_NOT_SUPPORTED);                                     \
        return 0;                                                              \
    }

int WINAPI marker_stub_0(void) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

MARKER_STUB(4)
MARKER_STUB(8)
MARKER_STUB(12)
MARKER_STUB(16)
MARKER_STUB(20)
MARKER_STUB(24)
MARKER_STUB(28)
MARKER_STUB(32)
MARKER_STUB(36)
MARKER_STUB(40)
MARKER_STUB(44)
MARKER_STUB(48)
MARKER_STUB(52)
MARKER_STUB(56)
MARKER_STUB(60)
MARKER_STUB(64)
MARKER_STUB(68)
MARKER_STUB(72)
MARKER_STUB(76)
MARKER_STUB(80)
MARKER_STUB(84)
MARKER_STUB(88)
MARKER_STUB(92)
MARKER_STUB(96)
MARKER_STUB(100)
MARKER_STUB(104)
MARKER_STUB(108)
MARKER_STUB(112)
MARKER_STUB(116)
MARKER_STUB(120)
MARKER_STUB(124)
MARKER_STUB(128)
