#include "job/working_folder.h"

#include <sodium.h>

#include "support/path_join.h"
#include "support/sodium_ready.h"

namespace {

// 128 random bits: nobody can create the folder, or a link in its place, before this run does.
constexpr std::size_t kRandomBytes = 16;
constexpr int kCreationAttempts = 3;

std::u16string randomFolderName() {
    unsigned char bytes[kRandomBytes];
    randombytes_buf(bytes, sizeof bytes);
    static const char16_t digits[] = u"0123456789abcdef";
    std::u16string name = u"downloader-";
    for (unsigned char byte : bytes) {
        name.push_back(digits[byte >> 4]);
        name.push_back(digits[byte & 0x0F]);
    }
    return name;
}

}  // namespace

WorkingFolder::WorkingFolder(const std::u16string& parent) {
    if (parent.empty() || !sodiumReady()) {
        return;
    }
    // Marked as this run's at once, so that other runs leave it alone. Another run's clean-up
    // may take a folder between its creation and the mark (it looks the same as one a killed
    // run left): then it is gone, and a new one is made.
    for (int attempt = 0; attempt < kCreationAttempts && !folder_.isOpen(); ++attempt) {
        folder_ = platform::Directory::createPrivate(joinPath(parent, randomFolderName()));
        if (folder_.isOpen() && !folder_.markInUse()) {
            folder_.close();
        }
    }
}

WorkingFolder::~WorkingFolder() {
    folder_.removeSelf();
}
