// wizard-host on Windows: a real top-level window, found by FindWindowW as the installer
// wizard's is, whose thread pumps messages while it waits for the downloader.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/hosts/host_session.h"
#include "tests/hosts/windows_argument_quote.h"

namespace {

// Bounds the time between redraws while no message comes.
constexpr DWORD kPollMs = 50;
// Posted messages are the window's private range: WM_USER up to 0x7FFF.
constexpr UINT kFirstRecorded = WM_USER;
constexpr UINT kLastRecorded = 0x7FFF;

const wchar_t* wide(const platform::WideString& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

class KernelHandle {
public:
    explicit KernelHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~KernelHandle() {
        if (handle_) {
            CloseHandle(handle_);
        }
    }
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

class WindowClass {
public:
    WindowClass(const platform::WideString& name, WNDPROC procedure)
        : name_(name), instance_(GetModuleHandleW(nullptr)) {
        WNDCLASSW description{};
        description.lpfnWndProc = procedure;
        description.hInstance = instance_;
        description.lpszClassName = wide(name_);
        registered_ = RegisterClassW(&description) != 0;
    }
    ~WindowClass() {
        if (registered_) {
            UnregisterClassW(wide(name_), instance_);
        }
    }
    WindowClass(const WindowClass&) = delete;
    WindowClass& operator=(const WindowClass&) = delete;
    bool isRegistered() const { return registered_; }
    HINSTANCE instance() const { return instance_; }

private:
    platform::WideString name_;
    HINSTANCE instance_;
    bool registered_ = false;
};

class Window {
public:
    explicit Window(HWND window) : window_(window) {}
    ~Window() {
        if (window_) {
            DestroyWindow(window_);
        }
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    HWND get() const { return window_; }

private:
    HWND window_;
};

LRESULT CALLBACK hostWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= kFirstRecorded && message <= kLastRecorded) {
        auto* sink = reinterpret_cast<MessageSink*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (sink) {
            sink->receive(HostMessage{message, static_cast<std::uint32_t>(wParam),
                                      static_cast<std::uint32_t>(lParam)});
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void pumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

RecordFile openRecordFile(const platform::WideString& path) {
    return RecordFile(_wfopen(wide(path), L"wb"));
}

int runHostSession(const HostOptions& options, MessageSink& sink) {
    WindowClass windowClass(options.windowClass, hostWindowProcedure);
    if (!windowClass.isRegistered()) {
        std::fprintf(stderr, "wizard-host: RegisterClassW failed (%lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return kExitCannotSetUp;
    }
    // Left hidden: FindWindowW and PostMessageW do not need it shown.
    Window window(CreateWindowExW(0, wide(options.windowClass), wide(options.title),
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 480, 360,
                                  nullptr, nullptr, windowClass.instance(), nullptr));
    if (!window.get()) {
        std::fprintf(stderr, "wizard-host: CreateWindowExW failed (%lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return kExitCannotSetUp;
    }
    SetWindowLongPtrW(window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&sink));

    std::vector<platform::WideString> command = options.command;
    if (options.appendHwnd) {
        const auto handle =
            static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(window.get()) & 0xFFFFFFFFu);
        const std::string decimal = "/HWND:" + std::to_string(handle);
        command.emplace_back(decimal.begin(), decimal.end());
    }
    platform::WideString line = buildWindowsCommandLine(command);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(&line[0]), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &created)) {
        std::fprintf(stderr, "wizard-host: cannot start %s (error %lu)\n",
                     platform::pathToNative(options.command[0]).c_str(),
                     static_cast<unsigned long>(GetLastError()));
        return kExitCannotStart;
    }
    KernelHandle process(created.hProcess);
    KernelHandle thread(created.hThread);

    bool cancelled = false;
    while (true) {
        const HANDLE waited = process.get();
        const DWORD woken = MsgWaitForMultipleObjects(1, &waited, FALSE, kPollMs, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0) {
            break;
        }
        if (woken == WAIT_FAILED) {
            // Messages then wait for the next round; the process wait alone paces the loop.
            const DWORD ended = WaitForSingleObject(process.get(), kPollMs);
            if (ended == WAIT_OBJECT_0) {
                break;
            }
            if (ended == WAIT_FAILED) {
                std::fprintf(stderr, "wizard-host: waiting for the downloader failed (%lu)\n",
                             static_cast<unsigned long>(GetLastError()));
                return kExitCannotStart;
            }
        }
        pumpMessages();
        sink.tick();
        if (!cancelled && sink.progressReached(options.cancelAtPercent)) {
            TerminateProcess(process.get(), kExitCancelled);  // what the wizard's Cancel does
            cancelled = true;
        }
    }
    // Whatever the downloader posted is queued by now: PostMessageW returns once it is.
    pumpMessages();
    SetWindowLongPtrW(window.get(), GWLP_USERDATA, 0);

    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        return kExitCannotStart;
    }
    return cancelled ? kExitCancelled : static_cast<int>(exitCode);
}
