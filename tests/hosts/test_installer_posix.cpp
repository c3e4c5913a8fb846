// test-installer on Linux, where the downloader has already split the Windows command line:
// the whole line is the arguments joined again.
#include <errno.h>
#include <time.h>

#include <fstream>
#include <iterator>

#include "tests/hosts/test_installer.h"

bool writeWholeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    file.flush();
    return static_cast<bool>(file);
}

bool readWholeFile(const std::string& path, std::string& content) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

void sleepForMilliseconds(std::uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::string probeOwnFolder(const std::string&) {
    return std::string();
}

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    std::string commandLine;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        commandLine += (i == 0 ? "" : " ") + arguments[i];
    }
    return runTestInstaller(commandLine, arguments);
}
