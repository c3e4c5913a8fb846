#include <windows.h>

#include "driver/run_downloader.h"
#include "support/platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return runDownloader(platform::commandLineArguments(0, nullptr));
}
