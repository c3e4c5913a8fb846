// What earlier runs left in the temporary directory: working folders of runs that were killed
// or failed before they could remove them.
#pragma once

#include <string>

// True for "downloader-" followed by 32 lower-case hexadecimal digits, the working folders'
// names.
bool isWorkingFolderName(const std::u16string& name);

// Removes every working folder in `temporaryDirectory` that no running run holds: its files,
// then the folder. A folder that is another account's, a link or a junction, or that holds
// anything but files (which are removed as names, never followed) is left alone, as is every
// other name.
void removeAbandonedWorkingFolders(const std::u16string& temporaryDirectory);
