// release-tool: makes signing keys, signs setup manifests and checks a published deployment
// from the client's side, with the downloader's own code.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "release/commands.h"

namespace {

const char kUsage[] =
    "usage: release-tool keygen PRIVATE PUBLIC\n"
    "       release-tool sign --key PRIVATE MANIFEST [--installer KEY=FILE]...\n"
    "       release-tool check MANIFEST-URL [--keys PUBLIC] [--no-download] [--json]\n";

}  // namespace

int fail(const std::string& message) {
    std::fprintf(stderr, "release-tool: %s\n", message.c_str());
    return kExitFailure;
}

int usageError(const std::string& message, const char* usage) {
    std::fprintf(stderr, "release-tool: %s\n%s", message.c_str(), usage);
    return kExitUsage;
}

bool takeOption(const std::vector<std::string>& arguments, std::size_t& index,
                const std::string& name, std::string& value, bool& missing) {
    const std::string& argument = arguments[index];
    if (argument == name) {
        if (index + 1 >= arguments.size()) {
            missing = true;
            return true;
        }
        value = arguments[index + 1];
        index += 2;
        return true;
    }
    if (argument.compare(0, name.size() + 1, name + "=") == 0) {
        value = argument.substr(name.size() + 1);
        ++index;
        return true;
    }
    return false;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        return usageError("no subcommand given", kUsage);
    }
    const std::string command = argv[1];
    const std::vector<std::string> arguments(argv + 2, argv + argc);
    if (command == "keygen") {
        return keygenCommand(arguments);
    }
    if (command == "sign") {
        return signCommand(arguments);
    }
    if (command == "check") {
        return checkCommand(arguments);
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    return usageError("unknown subcommand \"" + command + "\"", kUsage);
}
