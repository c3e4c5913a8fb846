// Shared pieces of the tests that talk to the test servers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/diagnostic_log.h"
#include "tests/support/test_environment.h"
#include "tests/support/test_support.h"

// Skips the test when run by hand without servers; fails it when the fixture named servers
// that are not there.
#define REQUIRE_TEST_SERVERS()                                                             \
    do {                                                                                   \
        if (!testing_support::testServers().available) {                                   \
            if (testing_support::environmentVariable("DOWNLOADER_TEST_SERVERS").empty()) { \
                GTEST_SKIP() << "DOWNLOADER_TEST_SERVERS is not set";                      \
            }                                                                              \
            FAIL() << "DOWNLOADER_TEST_SERVERS names no running servers";                  \
        }                                                                                  \
    } while (0)

// A unique resource path per test, so that the server's fault budgets and request log
// belong to this test alone.
inline std::string uniquePath(const std::string& base) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return base + "/" + info->test_suite_name() + "." + info->name();
}

inline std::vector<std::string> sorted(std::vector<std::string> values) {
    std::sort(values.begin(), values.end());
    return values;
}

inline std::string logText(const testing_support::ScopedTemporaryDirectory& temp) {
    return testing_support::readFileBytes(logPathIn(temp.path()));
}
