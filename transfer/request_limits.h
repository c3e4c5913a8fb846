// Limits shared by every kind of request the engine makes.
#pragma once

// Attempts of one request function (the length query, a fetch into memory, one run of a
// range): each failed attempt counts, an attempt whose handle cannot be made included.
constexpr int kRequestAttempts = 5;
