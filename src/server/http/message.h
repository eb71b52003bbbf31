// One HTTP request and its answer as the routes see them, whatever server
// library carries them.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string method;
    std::string path;   // percent-decoded, without the query
    std::string query;  // as sent, without the '?'
    std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
    std::string body;
    std::string peer;    // numeric address of the connection's other end
    std::string client;  // the client: the peer, or what a trusted proxy says
    // The first value of a header (name compared case-blind); null when absent.
    const std::string* header(const char* name) const;
};

struct HttpResponse {
    int status = 200;
    std::string content_type;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool close = false;  // end the connection after this answer
    // Set for a body made while it is sent (an export): each call appends the
    // next piece to *chunk and returns 1, 0 when the body is complete, or -1
    // when it failed part way, which ends the connection without the final
    // chunk so that the client sees the body is cut short. body is not used.
    std::function<int(std::string* chunk)> stream;
    void set_header(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
    void set_content(std::string text, const char* type) {
        body = std::move(text);
        content_type = type;
    }
};
