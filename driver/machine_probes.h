// The questions the installer choice asks about the machine, linked per executable: the product
// asks the platform (driver/machine_probes.cpp); a test build may answer as another machine.
#pragma once

#include <functional>

#include "support/platform.h"

struct MachineProbes {
    std::function<bool()> isWow64;
    std::function<int()> isNt6OrLater;
    std::function<platform::NativeMachine()> nativeMachine;
    std::function<platform::Answer()> canRunX64Programs;
};

// This executable's probes. Defined alone in its source file, so that a test build that links
// its own definition keeps the library's out.
MachineProbes machineProbes();
