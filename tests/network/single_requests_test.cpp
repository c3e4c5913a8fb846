#include "transfer/single_requests.h"

#include "support/platform.h"
#include "tests/network/network_test.h"
#include "tests/support/adjustable_transfer_limits.h"

namespace {

using testing_support::loggedRequests;
using testing_support::patternBytes;
using testing_support::ScopedTemporaryDirectory;
using testing_support::testServers;

std::string deadUrl() {
    return "http://127.0.0.1:" + std::to_string(testing_support::deadLoopbackPort()) + "/m";
}

TEST(GetFileSize, ReportsTheLengthAfterOneRequest) {
    REQUIRE_TEST_SERVERS();
    ScopedTemporaryDirectory temp;
    const std::string path = uniquePath("/res/3000");
    EXPECT_EQ(getFileSize(testServers().faultUrl(path)), 3000u);
    EXPECT_EQ(loggedRequests(path), std::vector<std::string>{"HEAD"});
    EXPECT_FALSE(testing_support::fileExists(logPathIn(temp.path())));
}

TEST(GetFileSize, DeadPortLogsEveryFailedAttempt) {
    ScopedTemporaryDirectory temp;
    EXPECT_EQ(getFileSize(deadUrl()), 0u);
    std::string expected;
    for (int i = 0; i < 5; ++i) {
        expected += "Failed to call getFileSize():7\n";
    }
    EXPECT_EQ(logText(temp), expected);
}

TEST(GetFileSize, NoLengthAndZeroLengthMeanNoLength) {
    REQUIRE_TEST_SERVERS();
    ScopedTemporaryDirectory temp;
    EXPECT_EQ(getFileSize(testServers().faultUrl(uniquePath("/res/3000") + "?nolength=1")), 0u);
    EXPECT_EQ(getFileSize(testServers().faultUrl(uniquePath("/res/3000") + "?length0=1")), 0u);
    EXPECT_FALSE(testing_support::fileExists(logPathIn(temp.path())));
}

TEST(GetFileSize, RetriesAfterABrokenConnection) {
    REQUIRE_TEST_SERVERS();
    ScopedTemporaryDirectory temp;
    const std::string path = uniquePath("/res/3000");
    EXPECT_EQ(getFileSize(testServers().faultUrl(path + "?headfail=2")), 3000u);
    EXPECT_EQ(loggedRequests(path), (std::vector<std::string>{"HEAD", "HEAD", "HEAD"}));
    const std::string log = logText(temp);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

TEST(GetData, AppendsTheBodyAfterWhatTheCallerHad) {
    REQUIRE_TEST_SERVERS();
    std::string out = "before|";
    EXPECT_TRUE(getData(testServers().faultUrl(uniquePath("/res/3000")), out));
    EXPECT_EQ(out, "before|" + patternBytes(0, 3000));
}

TEST(GetData, ErrorStatusIsAFailedAttemptThatAppendsNothing) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/10");
    std::string out = "kept";
    EXPECT_FALSE(getData(testServers().faultUrl(path + "?status=404"), out));
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(loggedRequests(path).size(), 5u);
}

// A resource that is not there ends the query at once; a server in trouble is asked again,
// each failed attempt logged with libcurl's code for an error status.
TEST(GetFileSize, GoneIsFinalAndTroubleIsRetried) {
    REQUIRE_TEST_SERVERS();
    struct StatusCase {
        int status;
        std::size_t heads;
        const char* log;
    };
    const std::string failed22 = "Failed to call getFileSize():22\n";
    std::string fiveTimes22;
    for (int i = 0; i < 5; ++i) {
        fiveTimes22 += failed22;
    }
    const StatusCase cases[] = {{404, 1, ""},
                                {410, 1, ""},
                                {403, 1, ""},
                                {500, 5, fiveTimes22.c_str()},
                                {503, 5, fiveTimes22.c_str()},
                                {429, 5, fiveTimes22.c_str()}};
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.status);
        ScopedTemporaryDirectory temp;
        const std::string path = uniquePath("/res/3000") + std::to_string(c.status);
        EXPECT_EQ(getFileSize(testServers().faultUrl(path + "?status=" + std::to_string(c.status))),
                  0u);
        EXPECT_EQ(loggedRequests(path), std::vector<std::string>(c.heads, "HEAD"));
        EXPECT_EQ(std::string(c.log).empty() ? std::string() : logText(temp), c.log);
    }
}

// A 503 with Retry-After: the next attempt waits what the server asked, and no longer.
TEST(GetFileSize, OutageWithRetryAfterIsWaitedOut) {
    REQUIRE_TEST_SERVERS();
    ScopedTemporaryDirectory temp;
    const std::string path = uniquePath("/res/3000");
    EXPECT_EQ(getFileSize(testServers().faultUrl(path + "?outage=0.5&retry_after=1")), 3000u);
    const auto requests = testing_support::loggedRequestDetails(path);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_GE(requests[1].time - requests[0].time, 0.95);
    EXPECT_LT(requests[1].time - requests[0].time, 3.0);
    EXPECT_EQ(logText(temp), "Failed to call getFileSize():22\n");
}

// Addresses come from the network: no scheme but http and https may reach a socket.
TEST(Requests, OnlyHttpAndHttps) {
    REQUIRE_TEST_SERVERS();
    const std::string port = std::to_string(testServers().faultPort);
    for (const std::string& address :
         {std::string("gopher://127.0.0.1:") + port + "/1/res/10",
          std::string("ftp://127.0.0.1:1/setup.exe"), "dict://127.0.0.1:" + port + "/d:x"}) {
        SCOPED_TRACE(address);
        ScopedTemporaryDirectory temp;
        std::string out;
        EXPECT_FALSE(getData(address, out));
        EXPECT_EQ(getFileSize(address), 0u);
        std::string expected;
        for (int i = 0; i < 5; ++i) {
            expected += "Failed to call getFileSize():1\n";  // CURLE_UNSUPPORTED_PROTOCOL
        }
        EXPECT_EQ(logText(temp), expected);
    }
}

TEST(GetData, EmptyBodySucceedsWithoutChangingTheOutput) {
    REQUIRE_TEST_SERVERS();
    std::string out = "kept";
    EXPECT_TRUE(getData(testServers().faultUrl(uniquePath("/res/3000") + "?length0=1"), out));
    EXPECT_EQ(out, "kept");
}

// The caller's text stays in front; the broken-off part of a failed attempt does not, since it
// would run into the retry's first line.
TEST(GetData, BrokenOffPartIsDroppedBeforeTheRetry) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3000");
    std::string out = "caller's text";
    EXPECT_TRUE(getData(testServers().faultUrl(path + "?cut=0:100:1"), out));
    EXPECT_EQ(out, "caller's text" + patternBytes(0, 3000));
    EXPECT_EQ(loggedRequests(path).size(), 2u);

    out = "caller's text";
    EXPECT_FALSE(getData(testServers().faultUrl(path + "?cut=0:100:5"), out));
    EXPECT_EQ(out, "caller's text");
}

TEST(GetData, DeadPortFailsAfterFiveAttemptsWithoutLogging) {
    ScopedTemporaryDirectory temp;
    std::string out;
    EXPECT_FALSE(getData(deadUrl(), out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(testing_support::fileExists(logPathIn(temp.path())));
}

TEST(GetData, BodyBeyondTheCapFailsTheAttempt) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3000000");
    std::string out;
    EXPECT_FALSE(getData(testServers().faultUrl(path), out));
    EXPECT_EQ(loggedRequests(path).size(), 5u);
    EXPECT_LE(out.size(), 5 * kMaxInMemoryBody);
}

TEST(GetData, StalledServerFailsTheAttemptInsteadOfHanging) {
    REQUIRE_TEST_SERVERS();
    TransferLimits limits = defaultTestTransferLimits();
    limits.noDataTimeoutSeconds = 1;
    setTransferLimitsForTest(limits);
    const std::string path = uniquePath("/res/3000");
    std::string out;
    const std::uint32_t start = platform::tickCount();
    const bool ok = getData(testServers().faultUrl(path + "?stall=120"), out);
    const std::uint32_t elapsed = platform::tickCount() - start;
    restoreDefaultTransferLimits();
    EXPECT_FALSE(ok);
    EXPECT_EQ(loggedRequests(path).size(), 5u);
    // Five attempts of about a second each, far below the server's two-minute stall.
    EXPECT_LT(elapsed, 60000u);
}

TEST(GetData, FetchesOverTlsWithoutCertificateChecks) {
    REQUIRE_TEST_SERVERS();
    const std::string name = "manifest-tls.txt";
    testing_support::writeFileBytes(
        testing_support::widen(testServers().filesDirectory + "/" + name), "URL_64BIT_SETUP=x\n");
    std::string out;
    EXPECT_TRUE(getData(testServers().nginxUrl("/" + name, true), out));
    EXPECT_EQ(out, "URL_64BIT_SETUP=x\n");
}

}  // namespace
