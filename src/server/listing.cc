#include "server/listing.h"

#include <cstdio>

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
