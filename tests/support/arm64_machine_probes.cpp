// The machine that downloader-arm64 answers as: Windows 10 on ARM64, where this 32-bit x86
// program runs under WOW64 and x64 programs do not run. The Windows version is the system's
// own, which ARM64 makes irrelevant to the choice.
#include "driver/machine_probes.h"

MachineProbes machineProbes() {
    return MachineProbes{[] { return true; }, platform::isNt6OrLater,
                         [] { return platform::NativeMachine::Arm64; },
                         [] { return platform::Answer::No; }};
}
