// Bit-exact models of the AArch64 single-precision estimate instructions
// FRECPE and FRSQRTE, as the architecture defines them under the floating-
// point control Linux and macOS give a program: no flush to zero, NaNs
// propagated rather than replaced by the default NaN, round to nearest, and
// the original 8-bit estimate (the higher-precision one needs FPCR.AH = 1).
#pragma once

#include <cstdint>

namespace estimates {

inline uint32_t quiet(uint32_t nan) { return nan | 0x00400000u; }

// The reciprocal of a in [256, 512) (a/512 in [0.5, 1)), as 256 + 8 bits.
inline uint32_t recip_table(uint32_t a) {
    const uint32_t b = (1u << 19) / (2 * a + 1);  // a rounded to the middle of its step
    return (b + 1) / 2;
}

// The reciprocal square root of a in [128, 512) (a/512 in [0.25, 1)).
inline uint32_t rsqrt_table(uint32_t a) {
    a = a < 256 ? 2 * a + 1 : ((a >> 1) + 1) * 4 - 2;  // units of 1/1024
    uint64_t b = 512;
    while (a * (b + 1) * (b + 1) < (1ull << 28)) ++b;
    return static_cast<uint32_t>((b + 1) / 2);
}

inline uint32_t frecpe(uint32_t x) {
    const uint32_t sign = x & 0x80000000u, exp_bits = x >> 23 & 0xFF, frac = x & 0x7FFFFF;
    if (exp_bits == 0xFF) return frac ? quiet(x) : sign;  // NaN stays; 1/inf = 0
    if (exp_bits == 0 && frac < (1u << 21)) return sign | 0x7F800000u;  // below 2^-128: overflows
    int exp = static_cast<int>(exp_bits);
    uint64_t f = uint64_t{frac} << 29;  // a 52-bit fraction, as the double case
    if (exp == 0) {  // a subnormal: normalise by one or two places
        if (f >> 51 == 0) {
            exp = -1;
            f = f << 2 & ((1ull << 52) - 1);
        } else {
            f = f << 1 & ((1ull << 52) - 1);
        }
    }
    const uint32_t est = recip_table(256 | static_cast<uint32_t>(f >> 44));
    int res_exp = 253 - exp;
    uint64_t res_frac = uint64_t{est & 0xFF} << 44;
    if (res_exp == 0) {  // results below 2^-126 come out subnormal
        res_frac = 1ull << 51 | res_frac >> 1;
    } else if (res_exp == -1) {
        res_frac = 1ull << 50 | res_frac >> 2;
        res_exp = 0;
    }
    return sign | static_cast<uint32_t>(res_exp) << 23 | static_cast<uint32_t>(res_frac >> 29);
}

inline uint32_t frsqrte(uint32_t x) {
    const uint32_t sign = x & 0x80000000u, exp_bits = x >> 23 & 0xFF, frac = x & 0x7FFFFF;
    if (exp_bits == 0xFF && frac) return quiet(x);
    if (exp_bits == 0 && frac == 0) return sign | 0x7F800000u;  // 1/sqrt(+-0) = +-inf
    if (sign) return 0x7FC00000u;                                // the default NaN
    if (exp_bits == 0xFF) return 0;                              // 1/sqrt(inf) = 0
    int exp = static_cast<int>(exp_bits);
    uint64_t f = uint64_t{frac} << 29;
    if (exp == 0) {  // a subnormal: normalise fully, keeping the exponent's parity
        while (f >> 51 == 0) {
            f <<= 1;
            --exp;
        }
        f = f << 1 & ((1ull << 52) - 1);
    }
    // An odd biased exponent is an even power of two: scaled into [0.25, 0.5).
    const uint32_t scaled = (exp & 1) ? 128 | static_cast<uint32_t>(f >> 45) : 256 | static_cast<uint32_t>(f >> 44);
    const uint32_t est = rsqrt_table(scaled);
    const uint32_t res_exp = static_cast<uint32_t>((380 - exp) / 2);
    return res_exp << 23 | (est & 0xFF) << 15;
}

}  // namespace estimates
