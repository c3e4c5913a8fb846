// segmented-get URL OUTPUT [SEGMENTS]: downloads one resource with the segmented engine and
// prints the result code on its last line, for benchmarks and external checks.
#include <cstdio>
#include <cstdlib>

#include "support/platform.h"
#include "transfer/curl_handles.h"
#include "transfer/http_downloader.h"

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s URL OUTPUT [SEGMENTS]\n", argv[0]);
        return 2;
    }
    const int segments = argc == 4 ? std::atoi(argv[3]) : 3;
    if (segments < 1 || segments > kMaxSegments) {
        std::fprintf(stderr, "SEGMENTS must be between 1 and %d\n", kMaxSegments);
        return 2;
    }
    const std::vector<std::u16string> arguments = platform::commandLineArguments(argc, argv);
    const CurlGlobal curl;
    HttpDownloader downloader;
    const int result = downloader.download(argv[1], arguments[2], segments);
    std::printf("result: %d\n", result);
    return result == kDownloadOk ? 0 : 1;
}
