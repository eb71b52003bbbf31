// Native integer, wide integer and floating-point tests: short recurrences on
// a few values that stay in registers.
#include <bit>
#include <cmath>
#include <cstring>

#include "workloads/kernels.h"

namespace {

constexpr uint64_t kStepsPerIteration = 100000;

uint64_t double_bits(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// min(v, 2.0) in the sense the kernels use: v when v < 2.0, else 2.0.
inline double cap2(double v) { return v < 2.0 ? v : 2.0; }

}  // namespace

uint32_t qm_c_int32_loop(uint64_t steps) {
    uint32_t w0 = 0x9E3779B9u, w1 = 0xBF58476Du, w2 = 0x94D049BBu, w3 = 0x2545F491u;
    for (uint64_t i = 0; i < steps; ++i) {
        uint32_t t0 = w0 * 0xDEADBEEFu + w1;
        uint32_t t1 = w1 * 0xDEADBEEFu + w2;
        uint32_t t2 = w2 * 0x9E3779B1u + w3;
        uint32_t t3 = w3 * 0x9E3779B1u + t0;
        w0 = std::rotl(t2, 25) ^ t0;
        w1 = std::rotl(t3, 21) ^ t1;
        w2 = std::rotl(w0, 15) ^ t2;
        w3 = std::rotl(w1, 9) ^ t3;
    }
    return w0 ^ w1 ^ w2 ^ w3;
}

uint64_t qm_c_int_loop(uint64_t steps) {
    if (steps == 0) return 0;
    constexpr uint64_t K = 0xDEADBEEFull;
    uint64_t w0 = 0x9E3779B97F4A7C15ull, w1 = 0xBF58476D1CE4E5B9ull;
    uint64_t w2 = 0x94D049BB133111EBull, w3 = 0x2545F4914F6CDD1Dull;
    for (uint64_t i = 0; i < steps; ++i) {
        uint64_t t0 = w0 * K + w1;
        uint64_t t1 = w1 * K + w2;
        uint64_t t2 = w2 * K + w3;
        uint64_t t3 = w3 * K + t0;
        uint64_t u = t0 ^ (t2 >> 29);
        uint64_t v = t1 ^ (t3 << 17);
        w2 = t2 ^ std::rotl(u, 33);
        w3 = t3 ^ (v >> 7);
        w0 = u + w2 / K;
        w1 = v + w3 / K;
    }
    return w0 ^ w1 ^ w2 ^ w3;
}

uint64_t qm_c_fp_loop(uint64_t steps) {
    if (steps == 0) return 0;
    const double m = 1.0625, e = 0.0009765625;
    double x0 = 1.5, x1 = 2.5, x2 = 3.5, x3 = 0.5;
    for (uint64_t i = 0; i < steps; ++i) {
        double a = cap2(x0 * m + e);
        double b = cap2(x1 * m + e);
        double c = cap2(x2 * m + e);
        double d = cap2(x3 * m + e);
        x2 = c + std::sqrt(a);
        x3 = std::fabs(d + std::sqrt(b));
        x3 = x3 > 1.0 ? x3 : 1.0;
        x1 = b + 1.0 / (x3 + 1.0);
        x0 = a + 1.0 / (x2 + 1.0);
    }
    return double_bits(((x0 + x1) + x2) + x3);
}

uint64_t run_int32(uint64_t iterations, Workspace*) {
    return qm_c_int32_loop(iterations * kStepsPerIteration);
}

uint64_t run_int(uint64_t iterations, Workspace*) {
    const uint64_t steps = iterations * kStepsPerIteration;
    if (g_c_backend != 1) return qm_int_math(steps);
    return qm_c_int_loop(steps);
}

uint64_t run_fp(uint64_t iterations, Workspace*) {
    const uint64_t steps = iterations * kStepsPerIteration;
    if (g_c_backend != 1) return qm_fp_math(steps);
    return qm_c_fp_loop(steps);
}
