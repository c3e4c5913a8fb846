// Joining a file name to a directory with the platform's separator.
#pragma once

#include <string>

// The directory followed by the name, with one separator inserted unless the directory
// already ends in one.
std::u16string joinPath(const std::u16string& directory, const std::u16string& name);
