// Helpers shared by the fuzz targets: turning raw fuzzer bytes into UTF-16 text and stopping
// on a broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A trap rather than an assert: the fuzz build defines NDEBUG, and a trap gives libFuzzer a
// crash with a stack trace and a saved reproducer.
#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) {   \
            __builtin_trap(); \
        }                     \
    } while (false)

namespace fuzz {

// ASCII bytes stand for themselves so that seeds stay readable and libFuzzer's byte-level
// mutations hit option names and delimiters quickly; any byte from 0x80 up is an escape whose
// next two bytes (little-endian) give an arbitrary 16-bit unit, so every unit stays reachable.
class UnitReader {
public:
    UnitReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool atEnd() const { return pos_ >= size_; }

    // The next raw byte, when it is an unescaped ASCII byte; lets callers treat it as a
    // separator that the escaped form of the same unit does not trigger.
    bool peekPlain(std::uint8_t& byte) const {
        if (pos_ < size_ && data_[pos_] < 0x80) {
            byte = data_[pos_];
            return true;
        }
        return false;
    }

    void skip() { ++pos_; }

    // False when the input ends inside an escape; the cut-off escape is dropped.
    bool next(char16_t& unit) {
        if (pos_ >= size_) {
            return false;
        }
        const std::uint8_t byte = data_[pos_++];
        if (byte < 0x80) {
            unit = byte;
            return true;
        }
        if (size_ - pos_ < 2) {
            pos_ = size_;
            return false;
        }
        unit = static_cast<char16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline std::u16string readUnits(const std::uint8_t* data, std::size_t size) {
    UnitReader reader(data, size);
    std::u16string text;
    char16_t unit = 0;
    while (reader.next(unit)) {
        text.push_back(unit);
    }
    return text;
}

inline char16_t asciiUpper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

inline char16_t asciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// Arguments after `first` (whose last element collects the first units): a plain newline byte
// separates arguments; an escaped newline unit stays inside one, so arguments holding line
// breaks are still generated.
inline std::vector<std::u16string> readArguments(const std::uint8_t* data, std::size_t size,
                                                 std::vector<std::u16string> first) {
    std::vector<std::u16string> arguments = std::move(first);
    UnitReader reader(data, size);
    while (!reader.atEnd()) {
        std::uint8_t plain = 0;
        if (reader.peekPlain(plain) && plain == '\n') {
            reader.skip();
            arguments.emplace_back();
            continue;
        }
        char16_t unit = 0;
        if (reader.next(unit)) {
            arguments.back().push_back(unit);
        }
    }
    return arguments;
}

}  // namespace fuzz
