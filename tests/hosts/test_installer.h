// test-installer: stands in for the installer that the downloader starts. It leaves a record of
// its command line in the /DIR= directory, copies its own program file there as
// installer-copy when that directory has a copy-self file (so that tests can compare what ran
// with what was published), sleeps as long as that directory's sleep-ms file says, and exits 0
// (2 without /DIR=).
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
