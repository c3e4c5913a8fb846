#include "job/installer_file_name.h"

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

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices on Windows, with any extension.
bool isDeviceName(const std::u16string& name) {
    std::u16string base = name.substr(0, name.find(u'.'));
    for (char16_t& c : base) {
        c = upper(c);
    }
    if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL") {
        return true;
    }
    return base.size() == 4 &&
           (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0) &&
           base[3] >= u'1' && base[3] <= u'9';
}

}  // namespace

std::optional<std::u16string> installerFileName(const std::u16string& address) {
    const std::size_t queryOrFragment = address.find_first_of(u"?#");
    const std::u16string withoutQuery = address.substr(0, queryOrFragment);
    const std::size_t lastSlash = withoutQuery.rfind(u'/');
    const std::u16string name =
        lastSlash == std::u16string::npos ? withoutQuery : withoutQuery.substr(lastSlash + 1);
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
