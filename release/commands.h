// The release tool's subcommands. Each takes the arguments after its name and returns the
// process's exit status: 0 success, 1 failure (reported on stderr), 2 a usage error.
#pragma once

#include <string>
#include <vector>

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int keygenCommand(const std::vector<std::string>& arguments);
int signCommand(const std::vector<std::string>& arguments);
int checkCommand(const std::vector<std::string>& arguments);

// "release-tool: <message>" on stderr; returns kExitFailure.
int fail(const std::string& message);
// The message and the subcommand's usage on stderr; returns kExitUsage.
int usageError(const std::string& message, const char* usage);

// Reads "--name VALUE" or "--name=VALUE" at arguments[index]; advances index past it.
// False when the argument is not this option; `missing` is set when the value is absent.
bool takeOption(const std::vector<std::string>& arguments, std::size_t& index,
                const std::string& name, std::string& value, bool& missing);
