// Reading a string value out of the service's reply body.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "submit/submit.h"

namespace {

struct Lookup {
    int found;
    std::string value;
};

Lookup lookup(const std::string& body, const char* key) {
    char out[kLinkCapacity + 16];
    std::memset(out, 'X', sizeof out);
    const int found = json_string_field(body.c_str(), key, out);
    EXPECT_EQ(out[kLinkCapacity], 'X') << "wrote past the link buffer";
    return {found, out};
}

TEST(JsonStringField, FindsAndDecodes) {
    const struct {
        const char* body;
        const char* value;
    } cases[] = {
        {R"({"result_url":"http://r/1"})", "http://r/1"},
        {"{\"result_url\" \t\r\n: \n \"http://r/2\"}", "http://r/2"},
        {R"({"result_url":"http:\/\/r\/3"})", "http://r/3"},
        {R"({"result_url":"a\"b\\c\nd"})", "a\"b\\cnd"},  // backslash-n is the letter n
        {R"({"a":1,"result_url":"x","result_url":"y"})", "x"},
        {R"({"note":"\"result_url\"","result_url":"x"})", "x"},  // quoted inside a value: no match
    };
    for (const auto& c : cases) {
        const Lookup r = lookup(c.body, "result_url");
        EXPECT_EQ(r.found, 1) << c.body;
        EXPECT_EQ(r.value, c.value) << c.body;
    }
}

TEST(JsonStringField, Refusals) {
    const char* bodies[] = {
        "",
        R"({"other":"x"})",
        R"({"result_url":""})",                         // empty value
        R"({"result_url":42})",                         // not a string
        R"({"result_url" "x"})",                        // no colon
        R"({"result_url":"unterminated)",               // no closing quote
        "{\"result_url\":\"ends in a backslash\\",      // backslash then NUL
        R"({"note":"result_url","result_url":"x"})",   // first occurrence is a value
    };
    for (const char* body : bodies) EXPECT_EQ(lookup(body, "result_url").found, 0) << body;
    EXPECT_EQ(lookup("{\"result_url\":\"ends in a backslash\\", "result_url").value, "ends in a backslash\\");
}

TEST(JsonStringField, LengthLimit) {
    const std::string v1023(1023, 'v');
    Lookup r = lookup("{\"result_url\":\"" + v1023 + "\"}", "result_url");
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.value, v1023);
    // Escapes count by the bytes they produce.
    r = lookup("{\"result_url\":\"" + std::string(1022, 'v') + "\\/\"}", "result_url");
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.value.size(), 1023u);
    r = lookup("{\"result_url\":\"" + v1023 + "w\"}", "result_url");
    EXPECT_EQ(r.found, 0);
    EXPECT_EQ(r.value, v1023);  // what was copied, cut at the buffer's end
    EXPECT_EQ(lookup("{\"result_url\":\"" + std::string(5000, 'v') + "\"}", "result_url").found, 0);
}

TEST(JsonStringField, KeyLengthLimit) {
    const std::string key61(61, 'k');
    EXPECT_EQ(lookup("{\"" + key61 + "\":\"v\"}", key61.c_str()).found, 1);
    // A longer key cannot be formed whole, so it is never confused with its
    // own 61- or 62-character prefix.
    const std::string key62(62, 'k'), key80(80, 'k');
    for (const std::string& body : {"{\"" + key61 + "\":\"v\"}", "{\"" + key62 + "\":\"v\"}",
                                    "{\"" + key62 + ":\"v\"}", "{\"" + key80 + "\":\"v\"}"}) {
        EXPECT_EQ(lookup(body, key62.c_str()).found, 0) << body;
        EXPECT_EQ(lookup(body, key80.c_str()).found, 0) << body;
    }
}

}  // namespace
