// How a host window is addressed on POSIX systems: Unix datagram sockets in Linux's abstract
// namespace. docs/host-messages.md describes the scheme for host writers.
#pragma once

#include <cstdint>
#include <string>

namespace platform {
namespace posix {

// The abstract name (without its leading NUL byte) that a window with this handle receives
// its messages on: "velmora-hwnd/" and the handle as eight lower-case hex digits.
std::string windowSocketName(std::uint32_t handle);

// The abstract name (without its leading NUL) a host binds so that the window can be found
// by class and title: "velmora-wndclass/", 16 hex digits of the 64-bit FNV-1a hash of the
// class's UTF-16LE bytes, two zero bytes and the title's UTF-16LE bytes, "/", and the handle
// as eight lower-case hex digits.
std::string windowFinderName(const std::u16string& windowClass, const std::u16string& title,
                             std::uint32_t handle);

// The finder name up to and including the "/" before the handle.
std::string windowFinderPrefix(const std::u16string& windowClass, const std::u16string& title);

// A message on the wire: message number, wParam, lParam, each 32-bit little-endian.
constexpr std::size_t kMessageDatagramSize = 12;

}  // namespace posix
}  // namespace platform
