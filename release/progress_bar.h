// A one-line progress bar on stderr while the check downloads, drawn only on a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "release/deployment_check.h"

class TerminalProgress : public DownloadObserver {
public:
    TerminalProgress();
    void started(const std::string& name, std::uint64_t length) override;
    void progress(std::uint32_t total, std::uint32_t done) override;
    void finished() override;

private:
    void draw(std::uint32_t total, std::uint32_t done);

    bool enabled_;
    std::string name_;
    std::uint64_t length_ = 0;
    std::uint64_t lastDrawMs_ = 0;
};
