#include "support/path_join.h"

#include "support/platform.h"

std::u16string joinPath(const std::u16string& directory, const std::u16string& name) {
    const char16_t separator = platform::pathSeparator();
    if (!directory.empty() && directory.back() == separator) {
        return directory + name;
    }
    return directory + separator + name;
}
