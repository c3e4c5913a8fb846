#include "release/check_report.h"

#include <cstdio>

namespace {

const char* statusWord(CheckStatus status) {
    switch (status) {
        case CheckStatus::Pass:
            return "ok";
        case CheckStatus::Warn:
            return "warn";
        case CheckStatus::Fail:
            return "FAIL";
        case CheckStatus::Skipped:
            break;
    }
    return "-";
}

const char* jsonStatus(CheckStatus status) {
    switch (status) {
        case CheckStatus::Pass:
            return "pass";
        case CheckStatus::Warn:
            return "warn";
        case CheckStatus::Fail:
            return "fail";
        case CheckStatus::Skipped:
            break;
    }
    return "skipped";
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// The text is UTF-8 (the manifest was checked); only quotes, backslashes and control
// characters need escapes.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonItem(const CheckItem& item) {
    return "{\"check\": " + jsonString(item.name) + ", \"status\": \"" + jsonStatus(item.status) +
           "\", \"detail\": " + jsonString(item.detail) +
           (item.alternate ? ", \"alternate\": true}" : "}");
}

std::string verdict(const MachineReport& machine) {
    if (!machine.installs()) {
        return "WOULD NOT INSTALL";
    }
    if (!machine.alternatesSound()) {
        return "installs, but an alternate address fails";
    }
    const int warnings = machine.warnings();
    if (warnings == 0) {
        return "installs";
    }
    return "installs (" + std::to_string(warnings) + (warnings == 1 ? " warning)" : " warnings)");
}

}  // namespace

std::string reportTable(const DeploymentReport& report) {
    std::string out = "Manifest   " + report.manifestUrl + "\n";
    out += "Signature  " + report.signature.detail + "\n\n";
    out += padded("Machine", 24) + padded("Address key", 22) + "Result\n";
    int failing = 0;
    int unsound = 0;
    for (const MachineReport& machine : report.machines) {
        out += padded(machine.label, 24) + padded(machine.key, 22) + verdict(machine) + "\n";
        failing += machine.installs() ? 0 : 1;
        unsound += machine.alternatesSound() ? 0 : 1;
        for (const CheckItem& item : machine.items) {
            if (item.name == "signature") {
                continue;  // shown once above
            }
            out += "    " + padded(statusWord(item.status), 6) + padded(item.name, 10) +
                   item.detail + "\n";
        }
    }
    out += "\n";
    if (failing == 0) {
        out += "Every kind of machine would install.\n";
    } else {
        out += std::to_string(failing) + " of " + std::to_string(report.machines.size()) +
               " kinds of machine would not install.\n";
    }
    if (unsound > 0) {
        out += "An alternate address of " + std::to_string(unsound) +
               (unsound == 1 ? " kind" : " kinds") + " of machine fails its checks.\n";
    }
    return out;
}

std::string reportJson(const DeploymentReport& report) {
    std::string out =
        "{\"manifest\": " + jsonString(report.manifestUrl) +
        ", \"signature\": " + jsonItem(report.signature) +
        ", \"allInstall\": " + (report.allInstall() ? "true" : "false") +
        ", \"allAlternatesSound\": " + (report.allAlternatesSound() ? "true" : "false") +
        ", \"machines\": [";
    for (std::size_t i = 0; i < report.machines.size(); ++i) {
        const MachineReport& machine = report.machines[i];
        out += i == 0 ? "\n  " : ",\n  ";
        out += "{\"label\": " + jsonString(machine.label) +
               ", \"bits\": " + (machine.wow64 ? "64" : "32") + ", \"machine\": " +
               (machine.arm64   ? "\"arm64\""
                : machine.wow64 ? "\"x64\""
                                : "\"x86\"") +
               ", \"vistaOrLater\": " + (machine.nt6OrLater ? "true" : "false") +
               ", \"key\": " + jsonString(machine.key) +
               ", \"address\": " + jsonString(machine.address) +
               ", \"installs\": " + (machine.installs() ? "true" : "false") +
               ", \"alternatesSound\": " + (machine.alternatesSound() ? "true" : "false") +
               ", \"checks\": [";
        for (std::size_t j = 0; j < machine.items.size(); ++j) {
            out += (j == 0 ? "" : ", ") + jsonItem(machine.items[j]);
        }
        out += "]}";
    }
    return out + "\n]}\n";
}
