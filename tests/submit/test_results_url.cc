// The configure-time split of the results URL, run through CMake's script mode.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

// The exit status and output of splitting url.
std::pair<int, std::string> split(const std::string& url) {
    // The URLs below hold no apostrophe, so single quotes keep them whole.
    const std::string command =
        "'" QM_CMAKE_COMMAND "' -DQM_SPLIT_URL='" + url + "' -P '" QM_RESULTS_URL_SCRIPT "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, output};
    char chunk[512];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(ResultsUrl, SplitsUsableUrlsAndRejectsTheRest) {
    const std::pair<const char*, const char*> usable[] = {
        {"http://localhost", "host=localhost port=80 path="},
        {"http://localhost/", "host=localhost port=80 path="},
        {"http://127.0.0.1:18080", "host=127.0.0.1 port=18080 path="},
        {"http://results.example.test:8080/quillmoth/", "host=results.example.test port=8080 path=/quillmoth"},
        {"http://results.example.test:0080/a/b//", "host=results.example.test port=80 path=/a/b"},
        {"http://h/v1%20x/~u:p@q", "host=h port=80 path=/v1%20x/~u:p@q"},
    };
    for (const auto& [url, pieces] : usable)
        EXPECT_EQ(split(url), std::make_pair(0, "-- " + std::string(pieces) + "\n"));
    // The longest base path that still fits the request path.
    const std::string long_path = "/" + std::string(491, 'p');
    EXPECT_EQ(split("http://h" + long_path).first, 0);

    const std::string rejected[] = {
        "https://results.example.test", "ftp://results.example.test", "results.example.test", "http://",
        "http:///path", "http://:8080", "http://user@host", "http://host:0", "http://host:65536",
        "http://host:123456", "http://host:", "http://host/a b", "http://host/a\"b", "http://host/a\\b",
        "http://host/?query", "http://host/#fragment", "http://[::1]:8080", "HTTP://host", " http://host",
        "http://" + std::string(256, 'h'), "http://h" + long_path + "p"};
    for (const std::string& url : rejected) {
        const auto [status, output] = split(url);
        EXPECT_NE(status, 0) << url << "\n" << output;
        EXPECT_NE(output.find("QUILLMOTH_RESULTS_URL"), std::string::npos) << url << "\n" << output;
    }
}

}  // namespace
