// A folder of this run's own inside the temporary directory, into which the installer is
// downloaded and from which it runs.
#pragma once

#include <string>

#include "support/platform.h"

class WorkingFolder {
public:
    // Creates a private folder with an unguessable name inside `parent`, failing rather than
    // reusing anything that already exists there, and holds it until the object goes away (see
    // platform::Directory), marked as in use by this run (platform::Directory::markInUse) so
    // that other runs' clean-up leaves it alone; check isCreated().
    explicit WorkingFolder(const std::u16string& parent);
    // Removes the folder; one that still holds something is left in place.
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

    bool isCreated() const { return folder_.isOpen(); }
    // Without a trailing separator; empty when the folder could not be created.
    const std::u16string& path() const { return folder_.path(); }
    // Every file of the folder is opened, held and removed through it.
    platform::Directory& folder() { return folder_; }

private:
    platform::Directory folder_;
};
