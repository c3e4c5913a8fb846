#include <gtest/gtest.h>

#include "driver/installer_address.h"

namespace {

TEST(InstallerAddressChoice, EveryRowOfTheTable) {
    const InstallerAddresses addresses{"plain64", "plain32", "tls64", "tls32"};
    EXPECT_EQ(chooseInstallerAddress(addresses, true, true), "tls64");
    EXPECT_EQ(chooseInstallerAddress(addresses, true, false), "plain64");
    EXPECT_EQ(chooseInstallerAddress(addresses, false, true), "tls32");
    EXPECT_EQ(chooseInstallerAddress(addresses, false, false), "plain32");
}

TEST(InstallerAddressChoice, MissingAddressIsEmpty) {
    const InstallerAddresses addresses{"plain64", "plain32", "tls64", ""};
    EXPECT_EQ(chooseInstallerAddress(addresses, true, true), "tls64");
    EXPECT_EQ(chooseInstallerAddress(addresses, false, true), "");
}

}  // namespace
