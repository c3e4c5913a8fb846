#include "job/abandoned_runs.h"

#include "support/path_join.h"
#include "support/platform.h"

namespace {
constexpr char16_t kWorkingFolderPrefix[] = u"downloader-";
constexpr std::size_t kWorkingFolderDigits = 32;
}  // namespace

bool isWorkingFolderName(const std::u16string& name) {
    const std::u16string prefix = kWorkingFolderPrefix;
    if (name.size() != prefix.size() + kWorkingFolderDigits ||
        name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        const char16_t c = name[i];
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) {
            return false;
        }
    }
    return true;
}

void removeAbandonedWorkingFolders(const std::u16string& temporaryDirectory) {
    if (temporaryDirectory.empty()) {
        return;
    }
    for (const platform::FolderEntry& entry : platform::listFolder(temporaryDirectory)) {
        if (entry.kind != platform::FolderEntry::Kind::Folder || !isWorkingFolderName(entry.name)) {
            continue;
        }
        // Opening checks the owner and refuses links and junctions; a run that is alive holds
        // its folder, so the mark fails (or, on Windows, the open itself).
        platform::Directory folder =
            platform::Directory::openExistingPrivate(joinPath(temporaryDirectory, entry.name));
        if (!folder.isOpen() || !folder.markInUse()) {
            continue;
        }
        for (const platform::FolderEntry& inside : platform::listFolder(folder.path())) {
            if (inside.kind == platform::FolderEntry::Kind::File) {
                folder.removeFile(inside.name);
            }
        }
        folder.removeSelf();  // fails, leaving it, when anything else is still inside
    }
}
