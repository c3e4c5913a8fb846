// The support trace: downloader_trace.txt beside the log, one plain line per event of a run, so
// that a vendor's support can tell why a run failed. Unlike the log it carries times, threads
// and causes; like the log it is written only to an ordinary file of this account with a single
// name. Nothing secret reaches it (see trace_text.h for addresses).
#pragma once

#include <cstdint>
#include <string>

// At the start of a run, a trace larger than this is moved to downloader_trace.old.txt
// (replacing it), so that the last runs' lines stay and the two files stay small.
constexpr std::uint64_t kTraceRotateAboveBytes = 512 * 1024;
// What one run may add: a run that would write more (a fault that repeats for long) ends its
// trace with one line saying so.
constexpr std::uint64_t kTraceRunBudgetBytes = 64 * 1024;

std::u16string tracePathIn(const std::u16string& temporaryDirectory);
std::u16string oldTracePathIn(const std::u16string& temporaryDirectory);

// The trace of one run, open from construction to destruction. Lines traced while no run trace
// is open go nowhere. The file is held exclusively meanwhile: a second run at the same moment
// writes no trace. Only one may exist at a time.
class RunTrace {
public:
    RunTrace();
    ~RunTrace();
    RunTrace(const RunTrace&) = delete;
    RunTrace& operator=(const RunTrace&) = delete;
};

// One line of the trace, written when the object goes away (at the end of the statement that
// makes it): "<ms since the run's start> ms t<thread> <event>: name=value ...". Threads are
// numbered in the order they first trace, the main thread being t0 when it starts the trace.
// Any thread may trace; lines are written whole, one at a time, under a mutex of their own,
// with one positional write each. Control characters become '?'.
class TraceLine {
public:
    explicit TraceLine(const char* event);
    ~TraceLine();
    TraceLine(const TraceLine&) = delete;
    TraceLine& operator=(const TraceLine&) = delete;

    // name=value; a value with a blank is quoted.
    TraceLine& text(const char* name, const std::string& value);
    TraceLine& number(const char* name, long long value);
    // A yes/no field.
    TraceLine& flag(const char* name, bool value);

private:
    bool on_;
    std::string line_;
};

// True while a run's trace is open (callers may skip work that only the trace needs).
bool tracing();
