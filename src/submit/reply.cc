// Reading the service's reply: the status line, the body after the header and
// the two links in it.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "submit/submit.h"

namespace {

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_scanf_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The status as "HTTP/%*s %d" reads it: the letters, a version token, white
// space, a decimal integer. Parsed by hand so that an absurdly long number
// saturates instead of overflowing; 0 when there is no integer.
int parse_status(const char* reply) {
    if (std::strncmp(reply, "HTTP/", 5) != 0) return 0;
    const char* p = reply + 5;
    while (is_scanf_space(*p)) ++p;
    if (*p == '\0') return 0;
    while (*p != '\0' && !is_scanf_space(*p)) ++p;
    char* end = nullptr;
    const long value = std::strtol(p, &end, 10);
    if (end == p) return 0;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// The body: everything after the first CR LF CR LF, at most 2,047 bytes. The
// search covers the whole reply, NUL bytes included.
void copy_body(const char* reply, size_t length, char* body) {
    body[0] = '\0';
    for (size_t i = 0; i + 4 <= length; ++i) {
        if (std::memcmp(reply + i, "\r\n\r\n", 4) == 0) {
            size_t n = length - (i + 4);
            if (n > kBodyCapacity - 1) n = kBodyCapacity - 1;
            std::memcpy(body, reply + i + 4, n);
            body[n] = '\0';
            return;
        }
    }
}

}  // namespace

int json_string_field(const char* body, const char* key, char* out) {
    out[0] = '\0';
    // A key too long for the pattern could only match a different, shorter
    // key, so it is not looked up at all.
    char pattern[64];
    const int n = std::snprintf(pattern, sizeof pattern, "\"%s\"", key);
    if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return 0;

    const char* p = std::strstr(body, pattern);
    if (p == nullptr) return 0;
    p += n;
    while (is_json_space(*p)) ++p;
    if (*p != ':') return 0;
    ++p;
    while (is_json_space(*p)) ++p;
    if (*p != '"') return 0;
    ++p;

    size_t copied = 0;
    while (copied < kLinkCapacity - 1 && *p != '\0' && *p != '"') {
        if (p[0] == '\\' && p[1] != '\0') {
            // Only the byte after the backslash counts, taken literally: this
            // is enough for the escaped slashes of a link.
            out[copied++] = p[1];
            p += 2;
        } else {
            out[copied++] = *p++;
        }
    }
    out[copied] = '\0';
    return copied > 0 && *p == '"' ? 1 : 0;
}

void replace_control_bytes(char* text) {
    for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p)
        if (*p < 0x20 || *p == 0x7f) *p = '?';
}

int report_reply(const char* reply, size_t length, FILE* out, FILE* err) {
    const int status = parse_status(reply);
    char body[kBodyCapacity];
    copy_body(reply, length, body);

    if (status == 422) {
        std::fprintf(err, "  upload failed: server rejected the submission as invalid (HTTP 422)\n");
        return 0;
    }
    if (status == 401) {
        std::fprintf(err, "  upload failed: API token was rejected (HTTP 401)\n");
        return 0;
    }
    if (status < 200 || status > 299) {
        std::fprintf(err, "  upload failed: server returned HTTP %d\n", status);
        return 0;
    }
    char result_url[kLinkCapacity];
    if (!json_string_field(body, "result_url", result_url)) {
        std::fprintf(err, "  upload failed: server did not return a result link\n");
        return 0;
    }
    replace_control_bytes(result_url);
    std::fprintf(out, "  Results uploaded (HTTP %d).\n", status);
    std::fprintf(out, "  View your result: %s\n", result_url);

    char claim_url[kLinkCapacity];
    if (!json_string_field(body, "claim_url", claim_url)) return 1;
    replace_control_bytes(claim_url);
    // The code is what follows the last slash; a link ending in a slash, or
    // without one, is its own code.
    const char* slash = std::strrchr(claim_url, '/');
    const char* code = slash != nullptr && slash[1] != '\0' ? slash + 1 : claim_url;
    std::fprintf(out, "  Claim code: %s\n", code);
    std::fprintf(out, "  Claim your result: %s\n", claim_url);
    return 1;
}
