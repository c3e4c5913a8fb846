// Strict reading of the numbers on the test programs' command lines: a typo must fail the run
// rather than turn into 0.
#pragma once

#include <cstdint>
#include <string>

// Only the digits of a value in 0..2^32-1; false, leaving `value` alone, for anything else.
bool parseDecimalArgument(const std::u16string& text, std::uint32_t& value);
