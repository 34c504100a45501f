#include "net/ClientCounts.h"

#include <gtest/gtest.h>

using namespace pontivo;

namespace {

// A quarter of a small descriptor limit is kept free, else 64: the board's port, files and the broker still open.
TEST(ClientLimitsTest, AddressesCountAsTheirClientEachUpToItsLimitAndTheReserveStaysFree)
{
    const std::vector<std::tuple<std::string, std::string, bool>> sameClient{
        {"192.0.2.1", "::ffff:192.0.2.1", true}, {"192.0.2.1", "192.0.2.2", false}, {"0.0.0.1", "::1", false},
        {"2001:db8::1", "2001:db8::ffff:ffff:ffff:ffff", true}, {"2001:db8::1", "2001:db8:0:1::1", false},
        {"::ffff:192.0.2.1", "::fffe:192.0.2.1", false}};
    for (const auto& [a, b, same] : sameClient)
        EXPECT_EQ(ClientOf(*ParseIpAddress(a)) == ClientOf(*ParseIpAddress(b)), same) << a << " " << b;

    ClientCounts counts;
    const std::vector<bool> taken{counts.Take("a", 0), counts.Take("a", 2), counts.Take("a", 2), counts.Take("b", 2),
                                  counts.Take("a", 2)};
    EXPECT_EQ(taken, std::vector<bool>({false, true, true, true, false}));
    for (const char* client : {"a", "a", "b"})
        counts.Give(client);
    EXPECT_EQ(counts.Clients(), 0u);

    const std::vector<std::tuple<long long, long long, bool>> reserve{
        {959, 1024, true}, {960, 1024, false}, {95, 128, true}, {96, 128, false}, {1 << 20, 0, true}};
    for (const auto& [descriptor, limit, kept] : reserve)
        EXPECT_EQ(KeepsReserve(descriptor, limit), kept) << descriptor << " of " << limit;
}

} // namespace
