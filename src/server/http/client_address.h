// Who a request comes from: the peer, or behind a trusted proxy the last hop
// of X-Forwarded-For that the proxies did not add; and the key that limits
// count by (IPv4: the address; IPv6: its /64, what one subscriber gets).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sockaddr;

struct Cidr {
    unsigned char bytes[16];  // IPv4 as ::ffff:a.b.c.d
    int prefix;               // in bits of those 16 bytes
};

// "10.0.0.0/8", "2001:db8::/32", or one address; false for anything else.
bool parse_cidr(const std::string& text, Cidr* out);
bool cidr_contains(const std::vector<Cidr>& blocks, const std::string& address);

// The numeric form of a socket address ("" when it is neither IPv4 nor IPv6);
// an IPv4-mapped IPv6 address comes out as IPv4.
std::string numeric_address(const sockaddr* address);
// IPv4: the address; IPv6: "xxxx:xxxx:xxxx:xxxx::/64"; "" when not an address.
std::string limit_key(const std::string& address);

// The client of a request that came from peer: with the peer among the
// trusted proxies, the rightmost X-Forwarded-For entry that is not itself a
// trusted proxy (the peer when there is none, or it is malformed).
std::string client_address(const std::string& peer, const std::string* forwarded_for,
                           const std::vector<Cidr>& trusted);
