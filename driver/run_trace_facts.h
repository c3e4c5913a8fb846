// The support trace's lines about the run as a whole: the build, the system, the options and
// the result.
#pragma once

#include "job/run_options.h"

// The build (its commit, plain or keyed, and what its publisher rule is), then the system.
void traceBuildAndSystem(bool keyed, const char* publisherRule);

// The options as parsed; the address without its query string and user information.
void traceOptions(const RunOptions& options, bool valid);

// The manifest key that the machine probes chose.
void traceMachine(const char* key);

// The run's end: the installer job's result code (0 when it never ran) and the cause in words.
void traceRunResult(int result, const char* cause);

// What a result of the installer job means, in words.
const char* jobResultText(int result);

// One fact about the setup manifest ("missing_key", "signature").
void traceManifest(const char* fact, const char* value);
