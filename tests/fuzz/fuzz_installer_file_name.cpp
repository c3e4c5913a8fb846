// Arbitrary addresses through the choice of the saved installer's file name.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "job/installer_file_name.h"
#include "support/text_conversion.h"
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

// The %XX escapes decoded as UTF-8 bytes; nothing when they decode to no UTF-8.
std::optional<std::u16string> decoded(const std::u16string& segment) {
    const std::string bytes = toUtf8(segment);
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool escape = bytes[i] == '%' && i + 2 < bytes.size() &&
                            std::isxdigit(static_cast<unsigned char>(bytes[i + 1])) &&
                            std::isxdigit(static_cast<unsigned char>(bytes[i + 2]));
        if (escape) {
            out.push_back(static_cast<char>(std::stoi(bytes.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(bytes[i]);
        }
    }
    std::u16string name;
    if (!fromUtf8(out, name)) {
        return std::nullopt;
    }
    return name;
}

// Windows device names, whatever their case and extension, also with blanks before the
// extension.
bool namesDevice(const std::u16string& name) {
    std::u16string base16 = name.substr(0, name.find(u'.'));
    while (!base16.empty() && base16.back() == u' ') {
        base16.pop_back();
    }
    std::string base;
    for (char16_t c : base16) {
        if (c == 0xB9 || c == 0xB2 || c == 0xB3) {
            base += c == 0xB9 ? '1' : c == 0xB2 ? '2' : '3';
            continue;
        }
        if (c > 0x7F) {
            return false;
        }
        base.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    // A superscript digit stands only after COM or LPT, where its plain twin is a device too.
    static const char* const kDevices[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1",   "COM2",
                                           "COM3", "COM4", "COM5", "COM6", "COM7",   "COM8",
                                           "COM9", "LPT1", "LPT2", "LPT3", "LPT4",   "LPT5",
                                           "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};
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

    const std::optional<std::u16string> expected = decoded(segment);

    FUZZ_CHECK(name.has_value() == (expected && isAcceptable(*expected)));
    if (name) {
        FUZZ_CHECK(*name == *expected);
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
