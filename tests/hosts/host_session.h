// The platform half of wizard-host: the host window, the downloader's process and the loop that
// hands every message to the sink. host_session_posix.cpp and host_session_win32.cpp.
#pragma once

#include <cstdio>
#include <memory>

#include "support/platform.h"
#include "tests/hosts/host_options.h"
#include "tests/hosts/message_sink.h"

// Exit codes of wizard-host's own failures, out of the way of the downloader's small codes.
constexpr int kExitCannotSetUp = 126;
constexpr int kExitCannotStart = 127;
// The downloader was ended by --cancel-at.
constexpr int kExitCancelled = 125;

struct RecordFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using RecordFile = std::unique_ptr<std::FILE, RecordFileCloser>;

// Creates or truncates the file for writing; null when it cannot be opened.
RecordFile openRecordFile(const platform::WideString& path);

// Creates the window, starts the downloader and delivers the messages to the sink until the
// downloader has ended and the messages still queued have been taken. Returns the downloader's
// exit code, or one of the codes above.
int runHostSession(const HostOptions& options, MessageSink& sink);
