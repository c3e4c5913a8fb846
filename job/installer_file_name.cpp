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

}  // namespace

std::optional<std::u16string> installerFileName(const std::u16string& address) {
    const std::size_t queryOrFragment = address.find_first_of(u"?#");
    const std::u16string withoutQuery = address.substr(0, queryOrFragment);
    const std::size_t lastSlash = withoutQuery.rfind(u'/');
    const std::u16string name =
        lastSlash == std::u16string::npos ? withoutQuery : withoutQuery.substr(lastSlash + 1);
    if (name.empty() || name == u"." || name == u"..") {
        return std::nullopt;
    }
    for (char16_t c : name) {
        if (isForbiddenInFileName(c)) {
            return std::nullopt;
        }
    }
    return name;
}
