#include "server/http/client_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "server/http/params.h"

namespace {

// Any address as 16 bytes, IPv4 mapped into IPv6.
bool address_bytes(const std::string& text, unsigned char out[16]) {
    in_addr v4;
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        std::memset(out, 0, 10);
        out[10] = out[11] = 0xff;
        std::memcpy(out + 12, &v4, 4);
        return true;
    }
    return inet_pton(AF_INET6, text.c_str(), out) == 1;
}

bool is_mapped_v4(const unsigned char b[16]) {
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(b, prefix, 12) == 0;
}

std::string trimmed(const std::string& text, size_t begin, size_t end) {
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

constexpr int kMaxHeaderHops = 64;

}  // namespace

bool parse_cidr(const std::string& text, Cidr* out) {
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (!address_bytes(address, out->bytes)) return false;
    const bool v4 = address.find(':') == std::string::npos;
    int64_t bits = v4 ? 32 : 128;
    if (slash != std::string::npos && !parse_whole_number(text.substr(slash + 1), 0, v4 ? 32 : 128, &bits)) return false;
    out->prefix = static_cast<int>(bits) + (v4 ? 96 : 0);
    return true;
}

bool cidr_contains(const std::vector<Cidr>& blocks, const std::string& address) {
    unsigned char b[16];
    if (blocks.empty() || !address_bytes(address, b)) return false;
    for (const Cidr& c : blocks) {
        int bits = c.prefix, i = 0;
        for (; bits >= 8 && b[i] == c.bytes[i]; ++i, bits -= 8) {}
        if (bits <= 0 || (bits < 8 && ((b[i] ^ c.bytes[i]) & (0xff00 >> bits) & 0xff) == 0)) return true;
    }
    return false;
}

std::string numeric_address(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const unsigned char* b = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr;
        if (is_mapped_v4(b))
            inet_ntop(AF_INET, b + 12, text, sizeof text);
        else
            inet_ntop(AF_INET6, b, text, sizeof text);
    }
    return text;
}

std::string limit_key(const std::string& address) {
    unsigned char b[16];
    if (!address_bytes(address, b)) return std::string();
    if (is_mapped_v4(b)) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, b + 12, text, sizeof text);
        return text;
    }
    char key[48];
    std::snprintf(key, sizeof key, "%x:%x:%x:%x::/64", b[0] << 8 | b[1], b[2] << 8 | b[3], b[4] << 8 | b[5],
                  b[6] << 8 | b[7]);
    return key;
}

std::string client_address(const std::string& peer, const std::string* forwarded_for,
                           const std::vector<Cidr>& trusted) {
    if (forwarded_for == nullptr || !cidr_contains(trusted, peer)) return peer;
    // From the right, each trusted hop vouches for the one before it; the
    // first it cannot vouch for is the client. Entries further left are
    // whatever the client chose to send.
    const std::string& list = *forwarded_for;
    size_t end = list.size();
    std::string hop;
    for (int hops = 0; hops < kMaxHeaderHops; ++hops) {
        const size_t comma = end == 0 ? std::string::npos : list.rfind(',', end - 1);
        const size_t begin = comma == std::string::npos ? 0 : comma + 1;
        hop = trimmed(list, begin, end);
        unsigned char b[16];
        if (!address_bytes(hop, b)) return peer;
        if (is_mapped_v4(b) && hop.find(':') != std::string::npos) hop = limit_key(hop);
        if (!cidr_contains(trusted, hop) || comma == std::string::npos) return hop;
        end = comma;
    }
    return hop;
}
