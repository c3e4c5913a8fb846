// The whole run of the downloader, from the argument vector to the exit code.
#pragma once

#include <string>
#include <vector>

// Parses and validates the options, fetches the setup manifest, chooses the installer address
// and runs the installer job, logging every failure. Returns 0 on every path.
int runDownloader(const std::vector<std::u16string>& arguments);
