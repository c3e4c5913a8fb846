#include "tests/hosts/test_installer.h"

#include <cctype>

namespace {

constexpr int kExitNoDirectory = 2;
constexpr int kExitCannotRecord = 3;

// Switches are case-blind, as Windows installers take them.
bool findDirectory(const std::vector<std::string>& arguments, std::string& directory) {
    static const std::string kSwitch = "/DIR=";
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < kSwitch.size()) {
            continue;
        }
        bool matches = true;
        for (std::size_t c = 0; c < kSwitch.size() && matches; ++c) {
            matches = std::toupper(static_cast<unsigned char>(argument[c])) == kSwitch[c];
        }
        if (matches) {
            directory = argument.substr(kSwitch.size());
            return true;
        }
    }
    return false;
}

std::string inDirectory(const std::string& directory, const char* name) {
    // '/' serves on Windows as well; a directory given with its own separator keeps it.
    if (!directory.empty() && (directory.back() == '/' || directory.back() == '\\')) {
        return directory + name;
    }
    return directory + "/" + name;
}

std::uint32_t millisecondsIn(const std::string& text) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > 0xFFFFFFFFull) {
            return 0;
        }
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::string installRecordText(const std::string& commandLine,
                              const std::vector<std::string>& arguments) {
    std::string record = "COMMANDLINE " + commandLine + "\n";
    record += "ARGC " + std::to_string(arguments.size()) + "\n";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        record += "ARG " + std::to_string(i) + " " + arguments[i] + "\n";
    }
    return record;
}

int runTestInstaller(const std::string& commandLine, const std::vector<std::string>& arguments) {
    std::string directory;
    if (!findDirectory(arguments, directory)) {
        return kExitNoDirectory;
    }
    if (!writeWholeFile(inDirectory(directory, "install-record.txt"),
                        installRecordText(commandLine, arguments))) {
        return kExitCannotRecord;
    }
    std::string ignored;
    if (readWholeFile(inDirectory(directory, "probe"), ignored) &&
        !writeWholeFile(inDirectory(directory, "probe-record.txt"), probeOwnFolder(directory))) {
        return kExitCannotRecord;
    }
    std::string self;
    if (readWholeFile(inDirectory(directory, "copy-self"), ignored) &&
        !(readWholeFile(arguments[0], self) &&
          writeWholeFile(inDirectory(directory, "installer-copy"), self))) {
        return kExitCannotRecord;
    }
    std::string sleep;
    if (readWholeFile(inDirectory(directory, "sleep-ms"), sleep)) {
        sleepForMilliseconds(millisecondsIn(sleep));
    }
    return 0;
}
