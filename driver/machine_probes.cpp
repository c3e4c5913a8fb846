#include "driver/machine_probes.h"

MachineProbes machineProbes() {
    return MachineProbes{platform::isWow64, platform::isNt6OrLater, platform::nativeMachine,
                         platform::canRunX64Programs};
}
