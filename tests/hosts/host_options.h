// The command line of wizard-host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/platform.h"

struct HostOptions {
    platform::WideString windowClass = u"TWizardForm";
    platform::WideString title = u"Setup - Velmora Free 11";
    platform::WideString recordPath;  // empty: no record
    bool appendHwnd = true;
    bool quiet = false;
    std::uint32_t userMessage = 1024;
    // Ends the downloader's process, as the wizard's Cancel button does, once a progress
    // message reaches this percentage of the total; 0 never.
    std::uint32_t cancelAtPercent = 0;
    // The downloader and its arguments, element 0 being the program.
    std::vector<platform::WideString> command;
};

extern const char kHostUsage[];

// Reads the arguments after the program name. False, with a reason in `error`, when they do
// not form a valid command line.
bool parseHostOptions(const std::vector<platform::WideString>& arguments, HostOptions& options,
                      std::string& error);
