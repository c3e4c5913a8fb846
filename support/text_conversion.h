// Conversions between the two kinds of text: UTF-16 for the command line, paths and window
// texts, UTF-8 for network addresses and the setup manifest.
#pragma once

#include <string>

// Standard UTF-16 to UTF-8: a surrogate pair becomes one four-byte sequence, so that
// fromUtf8 gives the text back. A lone surrogate, which no UTF-8 can carry, is encoded on its
// own as if it were a code point (three bytes). Never fails.
std::string toUtf8(const std::u16string& text);

// Strict UTF-8 to UTF-16. The whole input is converted or nothing is: on malformed input
// (stray or missing continuation bytes, overlong forms, encoded surrogates, values above
// U+10FFFF, a sequence cut off by the end) it returns false and leaves `out` untouched.
bool fromUtf8(const std::string& text, std::u16string& out);

// True when the text holds a control character (C0, DEL or C1). None belongs in an address: a
// NUL would even end it early for the transfer but not for the file name.
bool holdsControlCharacter(const std::u16string& text);
