// The support trace's lines about the run as a whole: the build, the system, the options and
// the result.
#pragma once

#include "job/run_options.h"

// What the build line says of a publisher rule that this build does not have.
extern const char kPublisherRuleNotBuilt[];

// The build (its commit, plain or keyed, and the publisher rule: "on", "off" or
// kPublisherRuleNotBuilt), then the system.
void traceBuildAndSystem(bool keyed, const char* publisherRule = kPublisherRuleNotBuilt);

// The options as parsed; the address without its query string and user information.
void traceOptions(const RunOptions& options, bool valid);

// The machine probes and the manifest key they choose.
void traceMachine(bool wow64, bool nt6OrLater, const char* key);

// The run's end: the installer job's result code (0 when it never ran) and the cause in words.
void traceRunResult(int result, const char* cause);

// What a result of the installer job means, in words.
const char* jobResultText(int result);

// One fact about the setup manifest ("missing_key", "signature").
void traceManifest(const char* fact, const char* value);
