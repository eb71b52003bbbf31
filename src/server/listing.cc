#include "server/listing.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

bool parse_list_options(const Params& params, ListQuery* query) {
    const std::string sort = params.get("sort");
    if (sort.empty() || sort == "newest") query->order = ListOrder::newest;
    else if (sort == "multi") query->order = ListOrder::multi;
    else if (sort == "single") query->order = ListOrder::single;
    else return false;
    query->architecture = params.get("arch");
    if (query->architecture.size() > 32 || !valid_utf8(query->architecture)) return false;
    const std::string flagged = params.get("flagged");
    if (flagged != "" && flagged != "0" && flagged != "1") return false;
    query->with_flagged = flagged == "1";
    return true;
}

const char* list_order_name(ListOrder order) {
    switch (order) {
        case ListOrder::multi: return "multi";
        case ListOrder::single: return "single";
        case ListOrder::newest: break;
    }
    return "newest";
}

std::string list_cursor(const ListQuery& query, const ResultSummary& last) {
    char text[64];
    if (query.order == ListOrder::newest)
        std::snprintf(text, sizeof text, "%lld_%lld", static_cast<long long>(last.uploaded_at),
                      static_cast<long long>(last.seq));
    else
        std::snprintf(text, sizeof text, "%.17g_%lld",
                      last.scores[query.order == ListOrder::multi ? kScoreMulti : kScoreSingle],
                      static_cast<long long>(last.seq));
    return text;
}

bool parse_cursor(const std::string& text, ListQuery* query) {
    const size_t cut = text.rfind('_');
    if (cut == std::string::npos || text.size() > 60) return false;
    int64_t seq = 0;
    if (!parse_whole_number(text.substr(cut + 1), 0, INT64_MAX, &seq)) return false;
    const std::string value = text.substr(0, cut);
    double v = 0;
    if (query->order == ListOrder::newest) {
        int64_t at = 0;
        if (!parse_whole_number(value, 0, INT64_MAX, &at)) return false;
        v = static_cast<double>(at);
    } else {
        char* end = nullptr;
        v = std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size() || !std::isfinite(v)) return false;
    }
    query->after_set = 1;
    query->after_value = v;
    query->after_seq = seq;
    return true;
}

std::string result_url(const std::string& base, const std::string& id) { return base + "/results/" + id; }

std::string cpu_url(const std::string& base, const std::string& processor_key) {
    std::string out = base + "/cpus/";
    for (unsigned char c : processor_key) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}
