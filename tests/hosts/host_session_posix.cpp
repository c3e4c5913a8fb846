// wizard-host on Linux: the window is a pair of abstract Unix datagram sockets (see
// docs/host-messages.md), read by a thread of its own because senders never wait: with a
// receive queue of only net.unix.max_dgram_qlen datagrams, a slow reader loses messages.
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/platform_posix_window.h"
#include "tests/hosts/host_session.h"

extern char** environ;

namespace {

// How often the main thread looks at the child and redraws; the receiver does not wait for it.
constexpr std::uint32_t kPollMs = 20;
// Lets datagrams that other processes sent just before the downloader ended arrive.
constexpr std::uint32_t kDrainGraceMs = 50;
constexpr int kBindAttempts = 100;

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            Descriptor gone(std::move(*this));
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// 0, or the errno of the failed socket or bind.
int bindAbstract(const std::string& name, Descriptor& bound) {
    Descriptor socketFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socketFd.isOpen()) {
        return errno;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof address.sun_path) {
        return ENAMETOOLONG;
    }
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return errno;
    }
    bound = std::move(socketFd);
    return 0;
}

struct HostWindow {
    Descriptor messages;
    // Never read: it exists only for its name, which findWindow looks for.
    Descriptor finder;
    platform::WindowHandle handle = 0;
};

bool createHostWindow(const HostOptions& options, HostWindow& window) {
    std::random_device seed;
    std::mt19937 generator(seed());
    std::uniform_int_distribution<std::uint32_t> handles(1, 0xFFFFFFFFu);
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        const platform::WindowHandle handle = handles(generator);
        HostWindow candidate;
        int error = bindAbstract(platform::posix::windowSocketName(handle), candidate.messages);
        if (error == 0) {
            error = bindAbstract(
                platform::posix::windowFinderName(options.windowClass, options.title, handle),
                candidate.finder);
        }
        if (error == EADDRINUSE) {
            continue;
        }
        if (error != 0) {
            std::fprintf(stderr, "wizard-host: cannot create the window socket: %s\n",
                         std::strerror(error));
            return false;
        }
        candidate.handle = handle;
        window = std::move(candidate);
        return true;
    }
    std::fprintf(stderr, "wizard-host: no free window handle found\n");
    return false;
}

HostMessage decode(const unsigned char* datagram) {
    std::uint32_t values[3] = {};
    for (int v = 0; v < 3; ++v) {
        for (int b = 0; b < 4; ++b) {
            values[v] |= static_cast<std::uint32_t>(datagram[v * 4 + b]) << (8 * b);
        }
    }
    return HostMessage{values[0], values[1], values[2]};
}

class Receiver {
public:
    explicit Receiver(int socketFd) : socket_(socketFd), thread_([this] { run(); }) {}
    ~Receiver() { stop(); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    std::vector<HostMessage> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(received_, {});
    }

    // Ends the thread once it has read what is queued, then reads whatever it left without
    // waiting. Senders that come later are refused.
    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        stopping_ = true;
        // Wakes the blocked recv: it returns 0 once the queue is empty.
        ::shutdown(socket_, SHUT_RD);
        thread_.join();
        while (receiveOne(MSG_DONTWAIT) > 0) {
        }
    }

private:
    void run() {
        while (true) {
            const ssize_t size = receiveOne(0);
            if (size < 0 && errno != EINTR) {
                std::fprintf(stderr, "wizard-host: receiving failed: %s\n", std::strerror(errno));
                return;
            }
            if (size == 0 && stopping_) {
                return;
            }
        }
    }

    ssize_t receiveOne(int flags) {
        // One byte more than a message, so that a longer datagram shows as one and is ignored.
        unsigned char datagram[platform::posix::kMessageDatagramSize + 1];
        const ssize_t size = ::recv(socket_, datagram, sizeof datagram, flags);
        if (size == static_cast<ssize_t>(platform::posix::kMessageDatagramSize)) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(decode(datagram));
        }
        return size;
    }

    const int socket_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<HostMessage> received_;
    std::thread thread_;  // declared last: it starts once the members above exist
};

void deliver(Receiver& receiver, MessageSink& sink) {
    for (const HostMessage& message : receiver.take()) {
        sink.receive(message);
    }
}

int exitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return kExitCannotStart;
}

}  // namespace

RecordFile openRecordFile(const platform::WideString& path) {
    return RecordFile(std::fopen(platform::pathToNative(path).c_str(), "we"));
}

int runHostSession(const HostOptions& options, MessageSink& sink) {
    HostWindow window;
    if (!createHostWindow(options, window)) {
        return kExitCannotSetUp;
    }

    std::vector<std::string> arguments;
    for (const platform::WideString& argument : options.command) {
        arguments.push_back(platform::pathToNative(argument));
    }
    if (options.appendHwnd) {
        arguments.push_back("/HWND:" + std::to_string(window.handle));
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    // Listening before the child exists, so that its first message already finds a reader.
    Receiver receiver(window.messages.get());
    pid_t child = 0;
    const int spawnError = ::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    if (spawnError != 0) {
        std::fprintf(stderr, "wizard-host: cannot start %s: %s\n", argv[0],
                     std::strerror(spawnError));
        return kExitCannotStart;
    }

    int status = 0;
    bool cancelled = false;
    while (true) {
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child) {
            break;
        }
        if (ended < 0 && errno != EINTR) {
            std::fprintf(stderr, "wizard-host: waiting for the downloader failed: %s\n",
                         std::strerror(errno));
            return kExitCannotStart;
        }
        deliver(receiver, sink);
        sink.tick();
        if (!cancelled && sink.progressReached(options.cancelAtPercent)) {
            ::kill(child, SIGKILL);  // what ending a process does: no chance to tidy up
            cancelled = true;
        }
        platform::sleepMilliseconds(kPollMs);
    }

    platform::sleepMilliseconds(kDrainGraceMs);
    receiver.stop();
    deliver(receiver, sink);
    return cancelled ? kExitCancelled : exitCodeOf(status);
}
