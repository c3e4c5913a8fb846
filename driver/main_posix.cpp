#include "driver/run_downloader.h"
#include "support/platform.h"

int main(int argc, char** argv) {
    return runDownloader(platform::commandLineArguments(argc, argv));
}
