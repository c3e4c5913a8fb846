// Reads one KEY=value entry out of setup manifest text.
#pragma once

#include <string>

// True when "key=" occurs in `text` (searched up to its first NUL byte) at the start of the
// text, after a leading UTF-8 byte-order mark, or after a CR, LF or space; the first such
// occurrence counts, and occurrences inside other words are passed over. `value` then holds the
// bytes after the "=" up to the first CR or LF or the end of the text. On false `value` is left
// as it was.
bool getManifestValue(const std::string& text, const char* key, std::string& value);
