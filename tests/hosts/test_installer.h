// test-installer: stands in for the installer that the downloader starts. It leaves a record of
// its command line in the /DIR= directory, copies its own program file there as
// installer-copy when that directory has a copy-self file (so that tests can compare what ran
// with what was published), sleeps as long as that directory's sleep-ms file says, and exits 0
// (2 without /DIR=). When that directory holds a file named probe, it first
// tries, as another process than the downloader, to change the folder it was started from and
// its own file, and writes what happened to probe-record.txt there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The record: "COMMANDLINE <line>", "ARGC <n>", then "ARG <i> <argument>" from i = 0, one per
// line, each ending in '\n'.
std::string installRecordText(const std::string& commandLine,
                              const std::vector<std::string>& arguments);

// The whole run, from the command line as the platform gives it (UTF-8).
int runTestInstaller(const std::string& commandLine, const std::vector<std::string>& arguments);

// What the run needs from the platform, with UTF-8 paths; test_installer_posix.cpp and
// test_installer_win32.cpp.
bool writeWholeFile(const std::string& path, const std::string& content);
bool readWholeFile(const std::string& path, std::string& content);
void sleepForMilliseconds(std::uint32_t milliseconds);
// The probe's record, one "NAME result" line per attempt; `scratch` is a directory it may write
// to. Windows: "ACL <the folder's access list as SDDL>", "USER <this account's SID>", and for
// renaming the folder, writing, replacing and deleting the program file the error code (0 when
// it succeeded, and was undone where it could be). POSIX: empty (no process of this account can
// be kept out there).
std::string probeOwnFolder(const std::string& scratch);
