// The real binary: how main turns outcomes into output and exit statuses.
#include <gtest/gtest.h>

#include <regex>

#include "driver/run.h"
#include "run_binary.h"
#include "submit/server_harness.h"

namespace {

const std::string kUsage = std::string("usage: ") + QUILLMOTH_BINARY +
                           " [-v|--verbose] [--upload|--noupload] [--no-system-check]\n";
const char kCannotWrite[] = "quillmoth: cannot write to standard output\n";

TEST(Binary, StatusesAndUnwritableStandardOutput) {
    const struct {
        std::vector<std::string> args;
        const char* stdout_to;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--help"}, nullptr, 0, kUsage, ""},
        {{"--noupload", "--upload"}, nullptr, 1, "", "quillmoth: --upload conflicts with --noupload\n"},
        {{"--help"}, "/dev/full", kOutputFailedStatus, "", kCannotWrite},
        {{"--help"}, "", kOutputFailedStatus, "", kCannotWrite},  // closed
    };
    for (const auto& c : cases) {
        // Standard input holds a "y" that must never be read by a parse that ends the run.
        const BinaryRun r = run_binary(c.args, "y\n", 0, QUILLMOTH_BINARY, c.stdout_to);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST(Binary, EndOfRunCheckOfTheOutput) {
    Capture fine, err;
    std::fputs("report\n", fine.file);
    EXPECT_EQ(finish_output(fine.file, err.file, 0), 0);
    FILE* unwritable = std::fopen("/dev/null", "r");  // every write fails
    std::fputs("report\n", unwritable);
    EXPECT_EQ(finish_output(unwritable, err.file, 0), kOutputFailedStatus);
    std::fclose(unwritable);
    EXPECT_EQ(err.text(), kCannotWrite);
}

TEST(Binary, OutOfMemoryUnderASmallAddressSpaceLimit) {
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

}  // namespace
