#include <windows.h>

#include "driver/run_downloader.h"
#include "support/library_search.h"
#include "support/platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything loads a library by name: the delay-loaded imports (WinHTTP, the
    // certificate and socket libraries) are loaded on their first call.
    platform::restrictLibrarySearch();
    return runDownloader(platform::commandLineArguments(0, nullptr));
}
