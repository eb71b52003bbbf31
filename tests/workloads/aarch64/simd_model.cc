// The RAW vector round loop in plain C++, lane by lane, with the arm64
// kernel's estimates: FRECPE and FRSQRTE as the architecture defines them.
// Every other lane operation is SSE2's, written from its definition, so the
// model shares no code or instruction choice with the kernel.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "workloads/aarch64/estimates.h"
#include "workloads/simd_model.h"

namespace {

using Reg = std::array<uint8_t, 16>;

template <typename T>
std::array<T, 16 / sizeof(T)> lanes_of(const Reg& r) {
    std::array<T, 16 / sizeof(T)> l;
    std::memcpy(l.data(), r.data(), 16);
    return l;
}

// A register whose lane k is op(lane k of a, lane k of b), lanes of type T.
template <typename T, typename Op>
Reg lanewise(const Reg& a, const Reg& b, Op op) {
    const auto x = lanes_of<T>(a), y = lanes_of<T>(b);
    std::array<T, 16 / sizeof(T)> z;
    for (size_t k = 0; k < z.size(); ++k) z[k] = static_cast<T>(op(x[k], y[k]));
    Reg r;
    std::memcpy(r.data(), z.data(), 16);
    return r;
}

int s16(uint16_t x) { return static_cast<int16_t>(x); }
int sat16(int x) { return std::clamp(x, -32768, 32767); }

Reg add16(const Reg& a, const Reg& b) { return lanewise<uint16_t>(a, b, [](uint32_t x, uint32_t y) { return x + y; }); }
Reg mullo(const Reg& a, const Reg& b) { return lanewise<uint16_t>(a, b, [](uint32_t x, uint32_t y) { return x * y; }); }
Reg bitxor(const Reg& a, const Reg& b) { return lanewise<uint8_t>(a, b, [](int x, int y) { return x ^ y; }); }

// madd: the two signed 16-bit products of each 32-bit lane, added with wrap.
Reg madd(const Reg& u, const Reg& v) {
    const auto x = lanes_of<uint16_t>(u), y = lanes_of<uint16_t>(v);
    std::array<uint32_t, 4> z;
    for (int k = 0; k < 4; ++k)
        z[k] = static_cast<uint32_t>(int64_t{s16(x[2 * k])} * s16(y[2 * k]) + int64_t{s16(x[2 * k + 1])} * s16(y[2 * k + 1]));
    Reg r;
    std::memcpy(r.data(), z.data(), 16);
    return r;
}

// sad: the eight absolute byte differences of each 64-bit half, summed into
// that half's low 16 bits.
Reg sad(const Reg& a, const Reg& b) {
    Reg r{};
    for (int h = 0; h < 2; ++h) {
        int sum = 0;
        for (int k = 8 * h; k < 8 * h + 8; ++k) sum += std::abs(a[k] - b[k]);
        r[8 * h] = static_cast<uint8_t>(sum);
        r[8 * h + 1] = static_cast<uint8_t>(sum >> 8);
    }
    return r;
}

float est(float x, uint32_t (*model)(uint32_t)) { return std::bit_cast<float>(model(std::bit_cast<uint32_t>(x))); }

// cvttps2dq: truncation, and 0x80000000 for NaN and anything out of range.
uint32_t cvtt(float x) {
    return std::fabs(x) < 2147483648.0f ? static_cast<uint32_t>(static_cast<int32_t>(x)) : 0x80000000u;
}

}  // namespace

uint64_t simd_model(const uint8_t* block, uint64_t rounds) {
    if (rounds == 0) return 0;
    Reg s[8];
    for (int k = 0; k < 8; ++k) std::memcpy(s[k].data(), block + 16 * k, 16);
    std::array<float, 4> f, g, a = {};
    for (int k = 0; k < 4; ++k) {
        f[k] = static_cast<float>(static_cast<int32_t>(lanes_of<uint32_t>(s[0])[k]));
        g[k] = static_cast<float>(static_cast<int32_t>(lanes_of<uint32_t>(s[1])[k]));
    }
    for (uint64_t r = 0; r < rounds; ++r) {
        const Reg u = add16(mullo(s[0], s[1]), s[2]);
        const Reg v = add16(mullo(s[1], s[2]), s[3]);
        const Reg w = add16(mullo(s[2], s[3]), u);
        s[4] = lanewise<uint16_t>(s[4], u, [](uint16_t x, uint16_t y) { return sat16(s16(x) + s16(y)); });
        s[5] = lanewise<uint16_t>(s[5], v, [](int x, int y) { return std::min(x + y, 0xFFFF); });
        s[6] = lanewise<uint16_t>(s[6], w, [](uint16_t x, uint16_t y) { return sat16(s16(x) - s16(y)); });
        s[7] = lanewise<uint16_t>(s[7], s[3], [](int x, int y) { return std::max(x - y, 0); });
        s[3] = lanewise<uint32_t>(s[3], madd(u, v), [](uint32_t x, uint32_t y) { return x + y; });
        const Reg hi = lanewise<uint16_t>(u, v, [](uint16_t x, uint16_t y) { return s16(x) * s16(y) >> 16; });
        const Reg x = bitxor(w, hi);
        s[2] = lanewise<uint32_t>(x, x, [](uint32_t y, uint32_t) { return std::rotl(y, 3); });
        s[3] = lanewise<uint8_t>(s[3], s[4], [](int x, int y) { return x & y; });
        s[5] = lanewise<uint16_t>(s[5], u, [](uint16_t x, uint16_t y) { return std::max(s16(x), s16(y)); });
        s[6] = lanewise<uint16_t>(s[6], v, [](uint16_t x, uint16_t y) { return std::min(s16(x), s16(y)); });
        s[7] = lanewise<uint8_t>(s[7], s[4], [](int x, int y) { return (x + y + 1) >> 1; });
        s[4] = add16(s[4], sad(u, s[5]));
        const auto ul = lanes_of<uint32_t>(u);
        const std::array<uint32_t, 4> rev = {ul[3], ul[2], ul[1], ul[0]};
        std::memcpy(s[0].data(), rev.data(), 16);
        s[1] = bitxor(v, s[0]);
        for (int k = 0; k < 4; ++k) {
            const float fg = f[k] * g[k];
            const float p = a[k] + fg;
            a[k] = p + est(f[k], estimates::frecpe);
            f[k] = f[k] * est(p, estimates::frsqrte);
        }
    }
    Reg t;
    std::array<uint32_t, 4> ta;
    for (int k = 0; k < 4; ++k) ta[k] = cvtt(a[k]);
    std::memcpy(t.data(), ta.data(), 16);
    for (const Reg& v : s) t = bitxor(t, v);
    const auto tl = lanes_of<uint32_t>(t);
    return static_cast<uint32_t>(tl[0] + tl[1] + tl[2] + tl[3]);
}
