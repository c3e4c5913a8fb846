// The append-only diagnostic log, downloader_log.txt in the temporary directory.
#pragma once

#include <string>

// The log's path for a given temporary directory: exactly one separator between the two.
std::u16string logPathIn(const std::u16string& temporaryDirectory);

// Appends the message's bytes (without the terminator) to the log. Opens, appends and closes
// on every call under an exclusive open; while another process holds the log, the open is
// retried for about a second, then the message is dropped. Never fails towards the caller, and
// never writes anywhere when there is no temporary directory. Since others may create names in
// the temporary directory, a log that is not an ordinary file with a single name (a symbolic
// link, a reparse point, a second hard link) is never written: the message is dropped.
void writeLog(const char* message);

// writeLog with a printf-style format, formatted into a bounded 260-byte buffer.
void writeLogFormatted(const char* format, int number);
