// The one reader of request parameters: query strings and web forms
// (application/x-www-form-urlencoded), whole numbers and text checks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct Params {
    std::vector<std::pair<std::string, std::string>> items;  // decoded, in order
    bool has(const char* name) const;
    size_t count(const char* name) const;
    // The index-th value of name; "" when there is none.
    std::string get(const char* name, size_t index = 0) const;
};

// "a=1&b=x+y&c=%2F": '+' is a space, %XX a byte; a malformed escape stays as
// written; a pair without a name is dropped.
Params parse_params(const std::string& text);

// Decodes %XX escapes only ('+' stays): the path of a request target.
std::string percent_decode(const std::string& text);

// A whole number of decimal digits only, from min to max; false otherwise
// (signs, spaces, overflow).
bool parse_whole_number(const std::string& text, int64_t min, int64_t max, int64_t* out);

// Well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
bool valid_utf8(const std::string& text);
