// Prime sieve: the hand-written pass and its portable twin against trial
// division, and the run function in both suites.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/primes.h"

namespace {

struct Pass {
    const char* name;
    uint64_t (*fn)(uint8_t* flags, uint64_t limit);
};
const Pass kPasses[] = {{"raw", [](uint8_t* f, uint64_t limit) { return qm_primes(limit, f); }},
                        {"portable", qm_c_sieve}};

bool is_prime(uint64_t n) {
    for (uint64_t d = 2; d * d <= n; ++d)
        if (n % d == 0) return false;
    return n >= 2;
}

constexpr size_t kPad = 64;

// One pass over `limit` flags of junk at `offset` bytes into a guarded
// buffer: the flags must match trial division (below limit 2 they stay as
// they were) and nothing around them may change. Zero guards catch a count
// that reads past the end, 0xA5 guards a clear that writes past it.
void check_pass(const Pass& pass, uint64_t limit, size_t offset) {
    for (uint8_t guard : {0x00, 0xA5}) {
        std::vector<uint8_t> buf(offset + limit + kPad, guard), want = buf;
        const uint8_t junk = static_cast<uint8_t>(limit * 37 + 0xFF);
        uint64_t count = 0;
        for (uint64_t n = 0; n < limit; ++n) {
            buf[offset + n] = junk;
            want[offset + n] = limit < 2 ? junk : !is_prime(n);
            count += is_prime(n);
        }
        ASSERT_EQ(pass.fn(buf.data() + offset, limit), count) << pass.name << " limit " << limit;
        ASSERT_EQ(buf, want) << pass.name << " limit " << limit;
    }
}

TEST(SievePass, SmallLimitsMatchTrialDivision) {
    for (const Pass& pass : kPasses) {
        uint8_t buf[10];
        for (auto [limit, count] : {std::pair{2u, 0u}, {3u, 1u}, {10u, 4u}})
            EXPECT_EQ(pass.fn(buf, limit), count) << pass.name << " limit " << limit;
        // Every tail length of the 32-byte clear, at every misalignment.
        for (uint64_t limit = 0; limit <= 200; ++limit) check_pass(pass, limit, limit % 16);
        check_pass(pass, 1000, 9);
    }
}

TEST(SievePass, TwoMillionGivesTheSameFlagsInBothSuites) {
    // Start from junk: every pass must rewrite the whole buffer.
    std::vector<uint8_t> raw(kSieveBytes + kPad), portable(kSieveBytes + kPad);
    std::mt19937 gen(7);
    for (size_t k = 0; k < raw.size(); ++k) raw[k] = portable[k] = static_cast<uint8_t>(gen());
    const std::vector<uint8_t> tail(raw.end() - kPad, raw.end());
    EXPECT_EQ(qm_primes(kSieveBytes, raw.data()), 148933u);
    EXPECT_EQ(qm_c_sieve(portable.data(), kSieveBytes), 148933u);
    EXPECT_EQ(raw, portable);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), raw.end() - kPad));
}

TEST(RunPrimes, CountsPerPassInBothSuites) {
    ensure_workloads();
    Workspace* ws = &g_ws[0];
    for (int backend : {0, 1}) {
        SCOPED_TRACE(backend);
        BackendScope scope(backend);
        std::memset(ws->sieve, 0xA5, 64);
        EXPECT_EQ(run_primes(0, ws), 0u);
        EXPECT_EQ(ws->sieve[0], 0xA5);  // no pass, no work
        EXPECT_EQ(run_primes(1, ws), 148933u);
        EXPECT_EQ(run_primes(3, ws), 446799u);
        EXPECT_EQ(run_primes(3, ws), 446799u);
    }
}

}  // namespace
