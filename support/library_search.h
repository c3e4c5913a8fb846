// Where the Windows program may take libraries from: the system folder only, never the folder
// it was started from (a Downloads folder that any web page can drop a DLL into) nor the
// current directory. The program runs elevated, so a planted library would run elevated too.
#pragma once

namespace platform {

// Restricts every later load of a library by name to the system folder. Call it first thing in
// the entry function, before anything can load a library by name. It takes the current
// directory out of the search, restricts the search to the system folder where the system can
// (SetDefaultDllDirectories: Windows 8 on, Vista and 7 with KB2533623), and loads
// libraryNamesLoadedLater() by full path, so that later loads by name find them already loaded
// (on Windows XP, and Vista and 7 without the update, that is all there is: best effort). True
// where the system enforces the restriction.
bool restrictLibrarySearch();

// Loads each of libraryNamesLoadedLater() from the system folder by full path. False when one
// of them could not be loaded.
bool loadLaterLibrariesFromSystemFolder();

// The libraries that the program and the system code it calls load by name after start-up and
// that Windows does not always take from the system folder, ended by a null pointer.
const wchar_t* const* libraryNamesLoadedLater();

}  // namespace platform
