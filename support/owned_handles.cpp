// Ownership of the platform's handles: the same on every platform, since only close() differs.
#include <utility>

#include "support/platform.h"

namespace platform {

namespace {

// Moves a handle out of `from`, leaving it empty.
template <typename Native>
Native take(Native& from, Native empty) {
    const Native native = from;
    from = empty;
    return native;
}

}  // namespace

File::~File() {
    close();
}

File::File(File&& other) noexcept : native_(take(other.native_, std::intptr_t{-1})) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        native_ = take(other.native_, std::intptr_t{-1});
    }
    return *this;
}

HeldFile::~HeldFile() {
    close();
}

HeldFile::HeldFile(HeldFile&& other) noexcept : native_(take(other.native_, std::intptr_t{-1})) {}

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
    if (this != &other) {
        close();
        native_ = take(other.native_, std::intptr_t{-1});
    }
    return *this;
}

Directory::~Directory() {
    close();
}

Directory::Directory(Directory&& other) noexcept
    : native_(take(other.native_, std::intptr_t{-1})),
      parent_(take(other.parent_, std::intptr_t{-1})),
      name_(std::move(other.name_)),
      path_(std::move(other.path_)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        close();
        native_ = take(other.native_, std::intptr_t{-1});
        parent_ = take(other.parent_, std::intptr_t{-1});
        name_ = std::move(other.name_);
        path_ = std::move(other.path_);
    }
    return *this;
}

Thread::~Thread() {
    close();
}

Thread::Thread(Thread&& other) noexcept
    : native_(take(other.native_, static_cast<void*>(nullptr))) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        close();
        native_ = take(other.native_, static_cast<void*>(nullptr));
    }
    return *this;
}

Process::~Process() {
    close();
}

Process::Process(Process&& other) noexcept
    : native_(take(other.native_, static_cast<void*>(nullptr))) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        close();
        native_ = take(other.native_, static_cast<void*>(nullptr));
    }
    return *this;
}

}  // namespace platform
