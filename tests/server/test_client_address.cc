// Who a request is from, behind trusted proxies or not, and the upload
// limiter's keys and memory.
#include "server/harness.h"

namespace {

std::vector<Cidr> blocks(std::vector<std::string> texts) {
    std::vector<Cidr> out;
    for (const auto& t : texts) {
        Cidr c;
        EXPECT_TRUE(parse_cidr(t, &c)) << t;
        out.push_back(c);
    }
    return out;
}

TEST(ClientAddress, OnlyTrustedProxiesNameTheClient) {
    const auto trusted = blocks({"10.0.0.0/8", "192.168.1.7", "fd00::/8"});
    const struct {
        const char* peer;
        const char* forwarded;  // null: no header
        const char* client;
    } cases[] = {
        {"203.0.113.5", nullptr, "203.0.113.5"},
        {"203.0.113.5", "198.51.100.1", "203.0.113.5"},  // not a proxy: the header is the client's own words
        {"10.1.2.3", "198.51.100.1", "198.51.100.1"},
        {"192.168.1.8", " 198.51.100.1 ", "192.168.1.8"},  // a /32 is one address
        // The client wrote the leftmost entries itself; the rightmost hop
        // that no trusted proxy added is the client.
        {"10.1.2.3", "1.1.1.1, 198.51.100.1", "198.51.100.1"},
        {"10.1.2.3", "1.1.1.1, 198.51.100.1, 10.9.9.9", "198.51.100.1"},
        {"10.1.2.3", "10.7.7.7, 10.9.9.9", "10.7.7.7"},  // every hop trusted: the first
        {"10.1.2.3", "garbage, 198.51.100.1", "198.51.100.1"},
        {"10.1.2.3", "198.51.100.1, garbage", "10.1.2.3"},  // a hop no proxy would write
        {"10.1.2.3", "", "10.1.2.3"},
        {"fd00::1", "2001:db8::7", "2001:db8::7"},
        {"fd00::1", "::ffff:198.51.100.1", "198.51.100.1"},
        {"2001:db8::1", "198.51.100.1", "2001:db8::1"},
    };
    for (const auto& c : cases) {
        const std::string forwarded = c.forwarded ? c.forwarded : "";
        EXPECT_EQ(client_address(c.peer, c.forwarded ? &forwarded : nullptr, trusted), c.client)
            << c.peer << " / " << forwarded;
    }
    for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "host"}) {
        Cidr c;
        EXPECT_FALSE(parse_cidr(bad, &c)) << bad;
    }
    EXPECT_TRUE(cidr_contains(blocks({"10.0.0.0/9"}), "10.127.255.255"));
    EXPECT_FALSE(cidr_contains(blocks({"10.0.0.0/9"}), "10.128.0.0"));
}

// IPv4 per address; IPv6 per /64, the least one subscriber is given.
TEST(ClientAddress, LimitKeys) {
    EXPECT_EQ(limit_key("198.51.100.1"), "198.51.100.1");
    EXPECT_EQ(limit_key("::ffff:198.51.100.1"), "198.51.100.1");
    EXPECT_EQ(limit_key("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(limit_key("2001:db8:1:2:ffff:ffff:ffff:ffff"), "2001:db8:1:2::/64");
    EXPECT_NE(limit_key("2001:db8:1:3::1"), limit_key("2001:db8:1:2::1"));
    EXPECT_EQ(limit_key("not an address"), "");
}

// A flood of 100,000 addresses: the table stays bounded, a client already
// at its limit stays limited, and once the flood's buckets refill, new
// clients get in again.
TEST(RateLimiterMemory, BoundedUnderAFloodOfAddresses) {
    RateLimiter limiter(2);
    double now = 1000;
    EXPECT_TRUE(limiter.allow("victim", now));
    EXPECT_TRUE(limiter.allow("victim", now));
    EXPECT_FALSE(limiter.allow("victim", now));
    int admitted = 0;
    for (int i = 0; i < 100000; ++i) {
        admitted += limiter.allow("flood-" + std::to_string(i), now + i * 1e-5);
        ASSERT_LE(limiter.tracked(), RateLimiter::kMaxBuckets);
    }
    EXPECT_EQ(admitted, static_cast<int>(RateLimiter::kMaxBuckets) - 1);
    EXPECT_FALSE(limiter.allow("victim", now + 1)) << "the flood reset a limited client";
    EXPECT_FALSE(limiter.allow("newcomer", now + 2)) << "every bucket still drains";
    // A minute on, every bucket is full again and carries nothing: room for all.
    EXPECT_TRUE(limiter.allow("newcomer", now + 62));
    EXPECT_LE(limiter.tracked(), 2u);
}

}  // namespace
