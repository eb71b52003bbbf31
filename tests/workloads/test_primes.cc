// Prime sieve: the hand-written pass against its portable twin and against
// trial division, and the run function in both suites.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/primes.h"
#include "workloads/workloads.h"

namespace {

using SievePass = uint64_t (*)(uint8_t* flags, uint64_t limit);

uint64_t raw_pass(uint8_t* flags, uint64_t limit) { return qm_primes(limit, flags); }

struct Pass {
    const char* name;
    SievePass fn;
};
const Pass kPasses[] = {{"raw", raw_pass}, {"portable", qm_c_sieve}};

bool is_prime(uint64_t n) {
    if (n < 2) return false;
    for (uint64_t d = 2; d * d <= n; ++d)
        if (n % d == 0) return false;
    return true;
}

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kPad = 64;

// Runs one pass on a buffer whose bytes are all `fill`, between guard bytes,
// and checks every flag against trial division and that nothing outside the
// limit was written.
void check_pass(const Pass& pass, uint64_t limit, size_t offset, uint8_t fill, uint8_t guard) {
    std::vector<uint8_t> buf(offset + limit + kPad, guard);
    uint8_t* flags = buf.data() + offset;
    std::memset(flags, fill, limit);
    uint64_t expected = 0;
    for (uint64_t n = 0; n < limit; ++n) expected += is_prime(n);

    EXPECT_EQ(pass.fn(flags, limit), expected) << pass.name << " limit " << limit;
    for (uint64_t n = 0; n < limit; ++n)
        ASSERT_EQ(flags[n], is_prime(n) ? 0 : 1) << pass.name << " limit " << limit << " flag " << n;
    for (size_t k = 0; k < offset; ++k) ASSERT_EQ(buf[k], guard) << pass.name << " limit " << limit;
    for (size_t k = 0; k < kPad; ++k)
        ASSERT_EQ(flags[limit + k], guard) << pass.name << " wrote past limit " << limit;
}

// Zero guards also catch a count that reads past the end; other guards catch
// a clear that writes past it.
void check_small_limit(const Pass& pass, uint64_t limit, size_t offset, uint8_t fill) {
    check_pass(pass, limit, offset, fill, 0);
    check_pass(pass, limit, offset, fill, kGuard);
}

TEST(SievePass, LimitsBelowTwoReturnZeroAndLeaveTheBufferAlone) {
    for (const Pass& pass : kPasses) {
        for (uint64_t limit : {0u, 1u}) {
            uint8_t buf[8];
            std::memset(buf, kGuard, sizeof buf);
            EXPECT_EQ(pass.fn(buf, limit), 0u) << pass.name;
            for (uint8_t b : buf) EXPECT_EQ(b, kGuard) << pass.name << " limit " << limit;
        }
    }
}

TEST(SievePass, SmallLimitsMatchTrialDivision) {
    for (const Pass& pass : kPasses) {
        uint8_t buf[10];
        const uint64_t counts[][2] = {{2, 0}, {3, 1}, {10, 4}};
        for (const auto& c : counts) EXPECT_EQ(pass.fn(buf, c[0]), c[1]) << pass.name << " limit " << c[0];
        // The range crosses every tail length of the 32-byte clear.
        for (uint64_t limit = 2; limit <= 200; ++limit) check_small_limit(pass, limit, 0, 0xFF);
        check_small_limit(pass, 2, 0, 0);
        check_small_limit(pass, 3, 0, 0x37);
        check_small_limit(pass, 10, 0, 0x01);
        // The buffer need not be aligned.
        for (size_t offset : {1u, 9u})
            for (uint64_t limit : {31u, 32u, 33u, 1000u}) check_small_limit(pass, limit, offset, 0xFF);
    }
}

TEST(SievePass, TwoMillionGivesTheSameFlagsInBothSuites) {
    // Start from garbage: every pass must rewrite the whole buffer.
    std::vector<uint8_t> raw(kSieveBytes + kPad), portable(kSieveBytes + kPad);
    std::mt19937 gen(7);
    for (size_t k = 0; k < raw.size(); ++k) raw[k] = portable[k] = static_cast<uint8_t>(gen());
    const std::vector<uint8_t> tail(raw.end() - kPad, raw.end());

    EXPECT_EQ(qm_primes(kSieveBytes, raw.data()), 148933u);
    EXPECT_EQ(qm_c_sieve(portable.data(), kSieveBytes), 148933u);
    EXPECT_TRUE(std::equal(raw.begin(), raw.begin() + kSieveBytes, portable.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), raw.end() - kPad));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), portable.end() - kPad));
    for (uint64_t n : {0u, 1u, 4u, 1999998u, 1999999u}) EXPECT_EQ(raw[n], 1) << n;
    for (uint64_t n : {2u, 3u, 1999993u}) EXPECT_EQ(raw[n], 0) << n;  // 1,999,993 is the last prime
}

TEST(RunPrimes, CountsPerPassInBothSuites) {
    ensure_workloads();
    Workspace* ws = &g_ws[0];
    for (int backend : {0, 1}) {
        BackendScope scope(backend);
        // No pass, no work: the sieve keeps whatever it held.
        std::memset(ws->sieve, kGuard, 64);
        EXPECT_EQ(run_primes(0, ws), 0u) << "suite " << backend;
        for (int k = 0; k < 64; ++k) ASSERT_EQ(ws->sieve[k], kGuard) << "suite " << backend;

        EXPECT_EQ(run_primes(1, ws), 148933u) << "suite " << backend;
        EXPECT_EQ(run_primes(3, ws), 446799u) << "suite " << backend;
        EXPECT_EQ(run_primes(3, ws), 446799u) << "suite " << backend;
    }
}

}  // namespace
