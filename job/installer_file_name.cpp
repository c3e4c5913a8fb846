#include "job/installer_file_name.h"

#include "support/text_conversion.h"

namespace {

bool isForbiddenInFileName(char16_t c) {
    if (c < 0x20 || c == 0x7F) {
        return true;
    }
    switch (c) {
        case u'\\':
        case u'/':
        case u':':
        case u'*':
        case u'?':
        case u'"':
        case u'<':
        case u'>':
        case u'|':
            return true;
        default:
            return false;
    }
}

char16_t upper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c;
}

// Windows also takes the superscript digits one to three as port numbers.
bool isPortDigit(char16_t c) {
    return (c >= u'1' && c <= u'9') || c == u'\u00B9' || c == u'\u00B2' || c == u'\u00B3';
}

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9 and LPT1-9 name devices on Windows, with any
// extension and with blanks between the name and the extension.
bool isDeviceName(const std::u16string& name) {
    std::u16string base = name.substr(0, name.find(u'.'));
    base.erase(base.find_last_not_of(u' ') + 1);
    for (char16_t& c : base) {
        c = upper(c);
    }
    if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL" || base == u"CONIN$" ||
        base == u"CONOUT$") {
        return true;
    }
    return base.size() == 4 &&
           (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0) &&
           isPortDigit(base[3]);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Decodes the %XX escapes (UTF-8 bytes, as in any address); a "%" without two hex digits
// stays as it is. False when the decoded bytes are no UTF-8.
bool percentDecoded(const std::u16string& segment, std::u16string& name) {
    const std::string bytes = toUtf8(segment);
    std::string decoded;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '%' && i + 2 < bytes.size() && hexValue(bytes[i + 1]) >= 0 &&
            hexValue(bytes[i + 2]) >= 0) {
            decoded.push_back(
                static_cast<char>(hexValue(bytes[i + 1]) * 16 + hexValue(bytes[i + 2])));
            i += 2;
        } else {
            decoded.push_back(bytes[i]);
        }
    }
    return fromUtf8(decoded, name);
}

}  // namespace

std::optional<std::u16string> installerFileName(const std::u16string& address) {
    const std::size_t queryOrFragment = address.find_first_of(u"?#");
    const std::u16string withoutQuery = address.substr(0, queryOrFragment);
    const std::size_t lastSlash = withoutQuery.rfind(u'/');
    const std::u16string segment =
        lastSlash == std::u16string::npos ? withoutQuery : withoutQuery.substr(lastSlash + 1);
    std::u16string name;
    if (!percentDecoded(segment, name)) {
        return std::nullopt;
    }
    // Windows drops trailing dots and blanks, which would turn the name into another one.
    if (name.empty() || name.back() == u'.' || name.back() == u' ' || isDeviceName(name)) {
        return std::nullopt;
    }
    for (char16_t c : name) {
        if (isForbiddenInFileName(c)) {
            return std::nullopt;
        }
    }
    return name;
}
