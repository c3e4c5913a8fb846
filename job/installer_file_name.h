// The name under which a downloaded installer is saved.
#pragma once

#include <optional>
#include <string>

// The last path segment of the address, without its query and fragment. Empty is returned
// as nothing, and so is ".", "..", a name ending in a dot or a blank, a device name (CON, NUL,
// COM1, LPT1.txt...) or a name holding a character that no Windows file name may hold
// (\ / : * ? " < > | and control characters): such an address could write outside the
// temporary directory or onto a device.
std::optional<std::u16string> installerFileName(const std::u16string& address);
