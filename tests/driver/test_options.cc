// The command line, checked on the real binary: output, errors and status.
#include <gtest/gtest.h>

#include "driver/options.h"
#include "run_binary.h"

namespace {

const std::string kUsage = std::string("usage: ") + QUILLMOTH_BINARY +
                           " [-v|--verbose] [--upload|--noupload] [--no-system-check]\n";

void expect_run(const std::vector<std::string>& args, int status, const std::string& out, const std::string& err) {
    // Standard input holds a "y" that must never be read by a parse that ends the run.
    const BinaryRun r = run_binary(args, "y\n");
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

}  // namespace

TEST(CommandLine, HelpPrintsUsageWithTheInvokedName) {
    expect_run({"-h"}, 0, kUsage, "");
    expect_run({"--help"}, 0, kUsage, "");
    expect_run({"-v", "--help"}, 0, kUsage, "");
    expect_run({"--help", "--bogus"}, 0, kUsage, "") ;
    expect_run({"--upload", "--noupload-later-ignored", "-h"}, 1, "",
               "quillmoth: unknown option '--noupload-later-ignored'\n");
}

TEST(CommandLine, UnknownArgumentsAreRejectedAsGiven) {
    expect_run({"--bogus", "--help"}, 1, "", "quillmoth: unknown option '--bogus'\n");
    expect_run({""}, 1, "", "quillmoth: unknown option ''\n");
    expect_run({"--verbose=1"}, 1, "", "quillmoth: unknown option '--verbose=1'\n");
    expect_run({"-vh"}, 1, "", "quillmoth: unknown option '-vh'\n");
    expect_run({"-V"}, 1, "", "quillmoth: unknown option '-V'\n");
    expect_run({"upload"}, 1, "", "quillmoth: unknown option 'upload'\n");
}

TEST(CommandLine, UploadOptionsConflictInEitherOrder) {
    expect_run({"--noupload", "--upload"}, 1, "", "quillmoth: --upload conflicts with --noupload\n");
    expect_run({"--upload", "--noupload"}, 1, "", "quillmoth: --noupload conflicts with --upload\n");
    expect_run({"--upload", "--upload", "--noupload", "--help"}, 1, "",
               "quillmoth: --noupload conflicts with --upload\n");
}

TEST(CommandLine, ParserSettingsAndRepeats) {
    RunOptions o;
    const char* none[] = {"quillmoth"};
    EXPECT_EQ(parse_options(1, none, &o, stdout, stderr), -1);
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.upload_mode, UploadMode::ask);
    EXPECT_TRUE(o.system_check);

    const char* many[] = {"q", "-v", "--noupload", "--noupload", "--no-system-check", "--verbose"};
    EXPECT_EQ(parse_options(6, many, &o, stdout, stderr), -1);
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(o.upload_mode, UploadMode::noupload);
    EXPECT_FALSE(o.system_check);

    const char* twice[] = {"q", "--upload", "--upload"};
    EXPECT_EQ(parse_options(3, twice, &o, stdout, stderr), -1);
    EXPECT_EQ(o.upload_mode, UploadMode::upload);
}
