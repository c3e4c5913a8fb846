// Whole-file reads and the two careful ways the release tool writes files.
#pragma once

#include <sys/types.h>
#include <string>

// The file's bytes; false with a reason ("No such file or directory") in `error`.
bool readWholeFile(const std::string& path, std::string& bytes, std::string& error);

// The SHA-256 of the file's bytes as 64 lower-case hexadecimal digits, read piece by piece
// (installers can be large); false with a reason in `error`.
bool sha256OfFile(const std::string& path, std::string& hex, std::string& error);

// Creates the file with the mode, failing when anything (a file, a link) is already there.
// On a failed write the half-written file is removed.
bool createNewFile(const std::string& path, const std::string& bytes, mode_t mode,
                   std::string& error);

// Replaces the file's contents all at once: the bytes go to a new temporary file in the same
// directory, which is flushed to disk and renamed over the original (keeping its mode). Readers
// see either the old or the new contents, and the original is untouched on failure.
bool replaceFileAtomically(const std::string& path, const std::string& bytes, std::string& error);

// A directory of this process's own (mode 0700, unguessable name) inside $TMPDIR or /tmp,
// removed with all it holds when the object goes away.
class PrivateDirectory {
public:
    PrivateDirectory();
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    bool isValid() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};
