// The command line and the upload question, in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/options.h"
#include "submit/server_harness.h"

namespace {

const char kUsage[] = "usage: qm [-v|--verbose] [--upload|--noupload] [--no-system-check]\n";

TEST(CommandLine, OptionsStatusesAndMessages) {
    using enum UploadMode;
    const struct {
        std::vector<const char*> args;
        int status;
        std::string out, err;
        RunOptions options = {};
    } cases[] = {
        {{}, -1, "", ""},
        {{"-v", "--noupload", "--noupload", "--no-system-check", "--verbose"}, -1, "", "", {true, noupload, false}},
        {{"--upload", "--upload"}, -1, "", "", {false, upload, true}},
        {{"-h"}, 0, kUsage, ""},
        {{"-v", "--help"}, 0, kUsage, ""},
        {{"--help", "--bogus"}, 0, kUsage, ""},  // processing stops at the first help
        {{"--bogus", "--help"}, 1, "", "quillmoth: unknown option '--bogus'\n"},
        {{""}, 1, "", "quillmoth: unknown option ''\n"},
        {{"--verbose=1"}, 1, "", "quillmoth: unknown option '--verbose=1'\n"},
        {{"-vh"}, 1, "", "quillmoth: unknown option '-vh'\n"},
        // Control bytes in an option cannot drive the terminal.
        {{"\x1b[2J\r\n\x7fx"}, 1, "", "quillmoth: unknown option '?[2J???x'\n"},
        {{"--noupload", "--upload"}, 1, "", "quillmoth: --upload conflicts with --noupload\n"},
        {{"--upload", "--upload", "--noupload", "--help"}, 1, "", "quillmoth: --noupload conflicts with --upload\n"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"qm"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Capture out, err;
        RunOptions o;
        const int status = parse_options(static_cast<int>(argv.size()), argv.data(), &o, out.file, err.file);
        const std::string where = c.args.empty() ? "no options" : c.args[0];
        EXPECT_EQ(status, c.status) << where;
        EXPECT_EQ(out.text(), c.out) << where;
        EXPECT_EQ(err.text(), c.err) << where;
        if (status < 0) {
            EXPECT_TRUE(o.verbose == c.options.verbose && o.upload_mode == c.options.upload_mode &&
                        o.system_check == c.options.system_check)
                << where;
        }
    }
}

TEST(UploadQuestion, FirstCharacterDecidesAndAtMostFifteenAreRead) {
    const struct {
        const char* input;
        bool yes;
        const char* left_unread = "";
    } cases[] = {
        {"y\n", true}, {"Yes please\n", true}, {"y", true},  // no line end before end of input
        {"n\n", false}, {"\n", false}, {" y\n", false}, {"", false},
        {"y23456789012345678\nsecond line\n", true, "678\nsecond line\n"},
    };
    for (const auto& c : cases) {
        FILE* in = tmpfile();
        std::fputs(c.input, in);
        std::rewind(in);
        Capture out;
        EXPECT_EQ(ask_upload(in, out.file, "http://results.example"), c.yes) << c.input;
        EXPECT_EQ(out.text(), "  Upload this result to http://results.example? [y/N] ");
        std::string rest;
        for (int ch; (ch = std::fgetc(in)) != EOF;) rest.push_back(static_cast<char>(ch));
        EXPECT_EQ(rest, c.left_unread) << c.input;
        std::fclose(in);
    }
}

}  // namespace
