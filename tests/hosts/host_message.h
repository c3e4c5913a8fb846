// One window message as the host receives it.
#pragma once

#include <cstdint>

struct HostMessage {
    std::uint32_t number = 0;
    std::uint32_t wParam = 0;
    std::uint32_t lParam = 0;
};
