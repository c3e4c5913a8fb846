// The name under which a downloaded installer is saved.
#pragma once

#include <optional>
#include <string>

// The last path segment of the address, without its query and fragment, with its %XX escapes
// decoded (as UTF-8). Refused (nothing returned): escapes that decode to no UTF-8, an empty
// name, ".", "..", a name ending in a dot or a blank, a device name (CON, NUL, CONIN$, COM1,
// COM¹, LPT1.txt, "NUL .txt"...) or a name holding a character that no Windows file name may
// hold (\ / : * ? " < > | and control characters, also when escaped as %5C, %2F, %00...):
// such an address could write outside the temporary directory or onto a device.
std::optional<std::u16string> installerFileName(const std::u16string& address);
