// Reads one KEY=value entry out of setup manifest text.
#pragma once

#include <string>

// True when the first occurrence of "key=" in `text` (searched up to its first NUL byte)
// begins the text or follows a CR, LF or space; `value` then holds the bytes after the "="
// up to the first CR or LF or the end of the text. On false `value` is left as it was.
// Only the first occurrence counts: a rejected one is not followed by a second search.
bool getManifestValue(const std::string& text, const char* key, std::string& value);
