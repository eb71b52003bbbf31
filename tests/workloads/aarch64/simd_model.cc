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

using Reg = std::array<uint16_t, 8>;  // one 128-bit register, as 16-bit lanes
using Dwords = std::array<uint32_t, 4>;
using Bytes = std::array<uint8_t, 16>;

// The same 128 bits in another lane width.
template <typename To, typename From>
To view(const From& x) {
    return std::bit_cast<To>(x);
}

template <typename Op>
Reg lanes(const Reg& a, const Reg& b, Op op) {
    Reg r;
    for (int k = 0; k < 8; ++k) r[k] = static_cast<uint16_t>(op(int16_t(a[k]), int16_t(b[k]), a[k], b[k]));
    return r;
}

Reg mullo_add(const Reg& a, const Reg& b, const Reg& c) {
    return lanes(lanes(a, b, [](int, int, uint32_t x, uint32_t y) { return x * y; }), c,
                 [](int, int, int x, int y) { return x + y; });
}

Reg bitxor(const Reg& a, const Reg& b) { return lanes(a, b, [](int, int, int x, int y) { return x ^ y; }); }

// cvttps2dq: truncation, and 0x80000000 for NaN and anything out of range.
uint32_t cvtt(float x) { return std::fabs(x) < 0x1p31f ? static_cast<uint32_t>(static_cast<int32_t>(x)) : 0x80000000u; }

}  // namespace

uint64_t simd_model(const uint8_t* block, uint64_t rounds) {
    if (rounds == 0) return 0;
    Reg s[8];
    std::memcpy(s, block, sizeof s);
    std::array<float, 4> f, g, a = {};
    for (int k = 0; k < 4; ++k) {
        f[k] = static_cast<float>(static_cast<int32_t>(view<Dwords>(s[0])[k]));
        g[k] = static_cast<float>(static_cast<int32_t>(view<Dwords>(s[1])[k]));
    }
    for (uint64_t r = 0; r < rounds; ++r) {
        const Reg u = mullo_add(s[0], s[1], s[2]), v = mullo_add(s[1], s[2], s[3]), w = mullo_add(s[2], s[3], u);
        s[4] = lanes(s[4], u, [](int x, int y, int, int) { return std::clamp(x + y, -32768, 32767); });
        s[5] = lanes(s[5], v, [](int, int, int x, int y) { return std::min(x + y, 0xFFFF); });
        s[6] = lanes(s[6], w, [](int x, int y, int, int) { return std::clamp(x - y, -32768, 32767); });
        s[7] = lanes(s[7], s[3], [](int, int, int x, int y) { return std::max(x - y, 0); });
        const Reg hi = lanes(u, v, [](int x, int y, int, int) { return x * y >> 16; });
        Dwords s3 = view<Dwords>(s[3]), x = view<Dwords>(bitxor(w, hi));
        for (int k = 0; k < 4; ++k) {
            s3[k] += static_cast<uint32_t>(int64_t{int16_t(u[2 * k])} * int16_t(v[2 * k]) +
                                           int64_t{int16_t(u[2 * k + 1])} * int16_t(v[2 * k + 1]));
            x[k] = std::rotl(x[k], 3);
        }
        s[2] = view<Reg>(x);
        s[3] = lanes(view<Reg>(s3), s[4], [](int, int, int x, int y) { return x & y; });
        s[5] = lanes(s[5], u, [](int x, int y, int, int) { return std::max(x, y); });
        s[6] = lanes(s[6], v, [](int x, int y, int, int) { return std::min(x, y); });
        Bytes s7 = view<Bytes>(s[7]);
        const Bytes s4 = view<Bytes>(s[4]), ub = view<Bytes>(u), s5 = view<Bytes>(s[5]);
        for (int k = 0; k < 16; ++k) {
            s7[k] = static_cast<uint8_t>((s7[k] + s4[k] + 1) >> 1);
            s[4][k / 8 * 4] = static_cast<uint16_t>(s[4][k / 8 * 4] + std::abs(ub[k] - s5[k]));  // sad, per half
        }
        s[7] = view<Reg>(s7);
        const Dwords ud = view<Dwords>(u);
        s[0] = view<Reg>(Dwords{ud[3], ud[2], ud[1], ud[0]});
        s[1] = bitxor(v, s[0]);
        for (int k = 0; k < 4; ++k) {
            const float fg = f[k] * g[k];
            const float p = a[k] + fg;
            a[k] = p + std::bit_cast<float>(estimates::frecpe(std::bit_cast<uint32_t>(f[k])));
            f[k] = f[k] * std::bit_cast<float>(estimates::frsqrte(std::bit_cast<uint32_t>(p)));
        }
    }
    Reg t = view<Reg>(Dwords{cvtt(a[0]), cvtt(a[1]), cvtt(a[2]), cvtt(a[3])});
    for (const Reg& x : s) t = bitxor(t, x);
    const Dwords td = view<Dwords>(t);
    return static_cast<uint32_t>(td[0] + td[1] + td[2] + td[3]);
}
