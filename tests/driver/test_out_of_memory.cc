// A failed allocation ends the run with one line on stderr and status 1.
#include <gtest/gtest.h>

#include <regex>

#include "run_binary.h"

TEST(OutOfMemory, RealBinaryUnderASmallAddressSpaceLimit) {
#if QUILLMOTH_SANITIZED
    GTEST_SKIP() << "sanitizer runtimes reserve more address space than the limit allows";
#endif
    // Enough to start and build the shared sources, far too little for the
    // per-thread workspaces (37 MB each, plus a 16 MiB temporary).
    const BinaryRun r = run_binary({"--noupload", "--no-system-check"}, nullptr, 48ull << 20);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("quillmoth: out of memory \\([1-9][0-9]* bytes\\)\n"))) << r.err;
    EXPECT_EQ(r.out, "\n  preparing workloads...");
}
