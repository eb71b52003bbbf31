// The upload question: only an answer starting with y or Y means yes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/options.h"

namespace {

struct Asked {
    bool yes;
    std::string printed;
    std::string left_unread;
};

Asked ask(const char* input) {
    FILE* in = tmpfile();
    std::fputs(input, in);
    std::rewind(in);
    char* out_text = nullptr;
    size_t out_len = 0;
    FILE* out = open_memstream(&out_text, &out_len);
    Asked a;
    a.yes = ask_upload(in, out, "http://results.example");
    std::fclose(out);
    a.printed.assign(out_text, out_len);
    std::free(out_text);
    for (int c; (c = std::fgetc(in)) != EOF;) a.left_unread.push_back(static_cast<char>(c));
    std::fclose(in);
    return a;
}

}  // namespace

TEST(UploadQuestion, FirstCharacterDecides) {
    EXPECT_TRUE(ask("y\n").yes);
    EXPECT_TRUE(ask("Yes\n").yes);
    EXPECT_TRUE(ask("yes please\n").yes);
    EXPECT_TRUE(ask("y").yes) << "no line end before end of input";
    EXPECT_FALSE(ask("n\n").yes);
    EXPECT_FALSE(ask("\n").yes);
    EXPECT_FALSE(ask(" y\n").yes);
    EXPECT_FALSE(ask("").yes) << "end of input";
    EXPECT_FALSE(ask("N\n").yes);
}

TEST(UploadQuestion, PrintsTheQuestionAndReadsAtMostFifteenCharacters) {
    const Asked a = ask("y23456789012345678\nsecond line\n");
    EXPECT_EQ(a.printed, "  Upload this result to http://results.example? [y/N] ");
    EXPECT_EQ(a.left_unread, "678\nsecond line\n");
}
