// A folder of this run's own inside the temporary directory, into which the installer is
// downloaded and from which it runs.
#pragma once

#include <string>

class WorkingFolder {
public:
    // Creates a folder with an unguessable name inside `parent`, failing rather than reusing
    // anything that already exists there; check isCreated().
    explicit WorkingFolder(const std::u16string& parent);
    // Removes the folder; one that still holds something is left in place.
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

    bool isCreated() const { return !path_.empty(); }
    // Without a trailing separator; empty when the folder could not be created.
    const std::u16string& path() const { return path_; }

private:
    std::u16string path_;
};
