// Recognising and redacting PostgreSQL URIs. Built with or without libpq, so
// that the server never prints a password whatever it was built with.
#include "server/pg_store.h"

#include <cstring>

#include "server/http/params.h"

namespace {

const char* const kPrefixes[] = {"postgresql://", "postgres://"};

size_t uri_prefix_length(const std::string& db) {
    for (const char* prefix : kPrefixes) {
        size_t n = std::strlen(prefix);
        if (db.compare(0, n, prefix) == 0) return n;
    }
    return 0;
}

}  // namespace

bool is_postgres_uri(const std::string& db) { return uri_prefix_length(db) != 0; }

std::string uri_user_password(const std::string& db) {
    size_t start = uri_prefix_length(db);
    if (start == 0) return "";
    std::string main_part = db.substr(start, db.find('?', start) - start);
    size_t at = main_part.rfind('@');
    if (at == std::string::npos) return "";
    size_t colon = main_part.find(':');
    if (colon == std::string::npos || colon > at) return "";
    return percent_decode(main_part.substr(colon + 1, at - colon - 1));
}

std::string redact_db_uri(const std::string& db) {
    size_t start = uri_prefix_length(db);
    if (start == 0) return db;
    std::string out = db.substr(0, start);
    std::string rest = db.substr(start);
    size_t query_at = rest.find('?');
    std::string main_part = rest.substr(0, query_at);
    // The last '@' rather than libpq's first '@' or '/': a password that holds
    // a raw '/' or '@' is then still cut out whole.
    size_t at = main_part.rfind('@');
    if (at != std::string::npos) {
        std::string user = main_part.substr(0, at);
        user = user.substr(0, user.find(':'));
        out += user + main_part.substr(at);
    } else {
        out += main_part;
    }
    if (query_at == std::string::npos) return out;

    std::string query = rest.substr(query_at + 1);
    std::string kept;
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t end = query.find('&', pos);
        if (end == std::string::npos) end = query.size();
        std::string param = query.substr(pos, end - pos);
        // libpq decodes %XX in query keys, so "pass%77ord" is a password too.
        std::string key = percent_decode(param.substr(0, param.find('=')));
        if (key != "password" && !param.empty()) {
            if (!kept.empty()) kept += '&';
            kept += param;
        }
        pos = end + 1;
    }
    if (!kept.empty()) out += '?' + kept;
    return out;
}
