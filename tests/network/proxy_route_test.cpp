#include "transfer/proxy_route.h"

#include "tests/network/network_test.h"

namespace {

using platform::ProxyRoute;

// A proxy that does not accept the connection is passed over for the next one; the last one
// is taken without a try, so that its failure is the transfer's.
TEST(ProxyRoute, FirstRouteThatAcceptsAConnection) {
    REQUIRE_TEST_SERVERS();
    const std::string dead = "127.0.0.1:" + std::to_string(testing_support::deadLoopbackPort());
    const std::string live =
        "127.0.0.1:" + std::to_string(testing_support::testServers().faultPort);
    struct Case {
        std::vector<ProxyRoute> routes;
        std::string chosen;
    };
    const Case cases[] = {
        {{{live}, {dead}}, live},
        {{{dead}, {live}}, live},
        {{{"http://" + dead}, {"http://" + live}}, "http://" + live},
        {{{dead}, {}, {live}}, ""},
        {{{dead}, {dead + "0"}}, dead + "0"},
        {{{dead}}, dead},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(firstWorkingRoute(c.routes).proxy, c.chosen) << c.routes.size();
    }
}

}  // namespace
