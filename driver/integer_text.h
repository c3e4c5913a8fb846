// Decimal text to integer, as the Microsoft runtime's _wtoll and _wtol read it.
#pragma once

#include <cstdint>
#include <string>

// Leading blanks, an optional sign, then decimal digits up to the first non-digit; 0 when
// there are none. Out-of-range values are clamped to the type's limits.
std::int64_t wideToInt64(const std::u16string& text);
std::int32_t wideToInt32(const std::u16string& text);
