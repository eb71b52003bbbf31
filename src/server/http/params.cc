#include "server/http/params.h"

#include <cstring>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void decode_into(const char* begin, const char* end, bool plus_is_space, std::string* out) {
    for (const char* p = begin; p < end; ++p) {
        if (*p == '+' && plus_is_space) {
            out->push_back(' ');
        } else if (*p == '%' && end - p > 2 && hex_value(p[1]) >= 0 && hex_value(p[2]) >= 0) {
            out->push_back(static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2])));
            p += 2;
        } else {
            out->push_back(*p);
        }
    }
}

}  // namespace

bool Params::has(const char* name) const { return count(name) != 0; }

size_t Params::count(const char* name) const {
    size_t n = 0;
    for (const auto& item : items) n += item.first == name;
    return n;
}

std::string Params::get(const char* name, size_t index) const {
    for (const auto& item : items)
        if (item.first == name && index-- == 0) return item.second;
    return std::string();
}

Params parse_params(const std::string& text) {
    Params params;
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* amp = static_cast<const char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
        if (amp == nullptr) amp = end;
        const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(amp - p)));
        std::string name, value;
        decode_into(p, eq != nullptr ? eq : amp, true, &name);
        if (eq != nullptr) decode_into(eq + 1, amp, true, &value);
        if (!name.empty()) params.items.emplace_back(std::move(name), std::move(value));
        p = amp + 1;
    }
    return params;
}

std::string percent_decode(const std::string& text) {
    std::string out;
    decode_into(text.data(), text.data() + text.size(), false, &out);
    return out;
}

bool parse_whole_number(const std::string& text, int64_t min, int64_t max, int64_t* out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max) return false;
    *out = value;
    return true;
}

bool valid_utf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        unsigned min = 0, code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            extra = 1, code = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, code = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, code = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            code = (code << 6) | (d & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}
