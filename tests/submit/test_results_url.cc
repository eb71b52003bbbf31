// The configure-time split of the results URL, run through CMake's script mode.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Split {
    int status;
    std::string output;
};

Split split(const std::string& url) {
    // The URLs below hold no apostrophe, so single quotes keep them whole.
    const std::string command = "'" QM_CMAKE_COMMAND "' -DQM_SPLIT_URL='" + url + "' -P '" QM_RESULTS_URL_SCRIPT
                                "' 2>&1";
    Split result = {-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[512];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(ResultsUrl, SplitsUsableUrls) {
    const struct {
        const char* url;
        const char* pieces;
    } cases[] = {
        {"http://localhost", "host=localhost port=80 path="},
        {"http://localhost/", "host=localhost port=80 path="},
        {"http://127.0.0.1:18080", "host=127.0.0.1 port=18080 path="},
        {"http://results.example.test:8080/quillmoth/", "host=results.example.test port=8080 path=/quillmoth"},
        {"http://results.example.test:0080/a/b//", "host=results.example.test port=80 path=/a/b"},
        {"http://h/v1%20x/~u:p@q", "host=h port=80 path=/v1%20x/~u:p@q"},
    };
    for (const auto& c : cases) {
        const Split s = split(c.url);
        EXPECT_EQ(s.status, 0) << c.url << "\n" << s.output;
        EXPECT_EQ(s.output, std::string("-- ") + c.pieces + "\n") << c.url;
    }
}

TEST(ResultsUrl, RejectsUrlsTheClientCannotUse) {
    const std::string long_host(256, 'h');
    const std::string long_path = "/" + std::string(492, 'p');
    const std::string rejected[] = {
        "https://results.example.test",
        "ftp://results.example.test",
        "results.example.test",
        "http://",
        "http:///path",
        "http://:8080",
        "http://user@host",
        "http://host:0",
        "http://host:65536",
        "http://host:123456",
        "http://host:",
        "http://host/a b",
        "http://host/a\"b",
        "http://host/a\\b",
        "http://host/?query",
        "http://host/#fragment",
        "http://[::1]:8080",
        "HTTP://host",
        " http://host",
        "http://" + long_host,
        "http://h" + long_path,
    };
    for (const std::string& url : rejected) {
        const Split s = split(url);
        EXPECT_NE(s.status, 0) << url << "\n" << s.output;
        EXPECT_NE(s.output.find("QUILLMOTH_RESULTS_URL"), std::string::npos) << url << "\n" << s.output;
    }
    // The longest base path that still fits the request path is accepted.
    EXPECT_EQ(split("http://h" + long_path.substr(0, 492)).status, 0);
}

}  // namespace
