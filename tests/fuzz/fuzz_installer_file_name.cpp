// Arbitrary addresses through the choice of the saved installer's file name.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "job/installer_file_name.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

bool isForbidden(char16_t c) {
    static const std::u16string kReserved = u"\\/:*?\"<>|";
    return c < 0x20 || c == 0x7F || kReserved.find(c) != std::u16string::npos;
}

std::u16string lastSegment(const std::u16string& address) {
    const std::u16string path = address.substr(0, address.find_first_of(u"?#"));
    const std::size_t slash = path.find_last_of(u'/');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// Windows device names, whatever their case and extension.
bool namesDevice(const std::u16string& name) {
    std::string base;
    for (char16_t c : name.substr(0, name.find(u'.'))) {
        if (c > 0x7F) {
            return false;
        }
        base.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    static const char* const kDevices[] = {
        "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
        "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    for (const char* device : kDevices) {
        if (base == device) {
            return true;
        }
    }
    return false;
}

bool isAcceptable(const std::u16string& name) {
    if (name.empty() || name.back() == u'.' || name.back() == u' ' || namesDevice(name)) {
        return false;
    }
    for (char16_t c : name) {
        if (isForbidden(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string address = fuzz::readUnits(data, size);
    const std::optional<std::u16string> name = installerFileName(address);
    const std::u16string segment = lastSegment(address);

    FUZZ_CHECK(name.has_value() == isAcceptable(segment));
    if (name) {
        FUZZ_CHECK(*name == segment);
        FUZZ_CHECK(!name->empty() && *name != u"." && *name != u"..");
        for (char16_t c : *name) {
            FUZZ_CHECK(!isForbidden(c));
        }
    }

    // Whatever comes before the last segment cannot influence the name.
    const std::optional<std::u16string> nested =
        installerFileName(u"https://host:8443/a/../b/" + address);
    FUZZ_CHECK(nested == name);
    return 0;
}
