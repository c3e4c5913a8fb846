// The installer job's lines in the support trace.
#pragma once

#include <cstdint>

#include "support/platform.h"

// Why the job ends before or without its download's own result.
void traceJobEnd(int result, const char* cause);

// The bytes an earlier run left and this run's do not have the expected digest: the
// installer is downloaded again from nothing.
void traceResumedFileRejected();

// The installer has been started (or could not be): the start, in words.
void traceInstallerStart(const platform::Process& installer);

// The installer has ended: its exit code and how long it ran since `startedAt` (tickCount).
void traceInstallerEnd(const platform::Process& installer, std::uint32_t startedAt);
