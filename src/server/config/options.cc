#include "server/config/options.h"

#include <cctype>
#include <cstdio>

#include "server/http/client_address.h"
#include "server/http/params.h"

namespace {

int parse_listen(const std::string& text, ListenAddress* out) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return 0;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) return 0;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) return 0;  // IPv6 needs brackets
    }
    int64_t value = 0;
    if (host.empty() || host.size() > 255 || !parse_whole_number(port, 0, 65535, &value)) return 0;
    for (char c : host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '%' || c == '_'))
            return 0;
    out->host = host;
    out->port = static_cast<int>(value);
    return 1;
}

int set_listen(ServerOptions* o, const std::string& value, std::string* error) {
    ListenAddress address;
    if (!parse_listen(value, &address)) {
        *error = "bad --listen address '" + value + "': expected HOST:PORT or [IPV6]:PORT";
        return 0;
    }
    o->listen.push_back(address);
    return 1;
}

int set_db(ServerOptions* o, const std::string& value, std::string* error) {
    o->db = value;
    if (!value.empty()) return 1;
    *error = "--db needs a non-empty path";
    return 0;
}

int set_public_url(ServerOptions* o, const std::string& value, std::string* error) {
    o->public_url = value;
    std::string base, path;
    return parse_public_url(value, &base, &path, error);
}

int set_unlisted(ServerOptions* o, const std::string&, std::string*) { return o->unlisted = 1; }

int set_upload_limit(ServerOptions* o, const std::string& value, std::string* error) {
    int64_t n = 0;
    if (!parse_whole_number(value, 0, 1000000, &n)) {
        *error = "bad --upload-limit '" + value + "': expected a whole number from 0 to 1000000";
        return 0;
    }
    o->upload_limit = static_cast<int>(n);
    return 1;
}

int set_trusted_proxy(ServerOptions* o, const std::string& value, std::string* error) {
    Cidr block;
    if (!parse_cidr(value, &block)) {
        *error = "bad --trusted-proxy '" + value + "': expected an address or ADDRESS/BITS";
        return 0;
    }
    o->trusted_proxies.push_back(value);
    return 1;
}

int set_help(ServerOptions* o, const std::string&, std::string*) { return o->help = 1; }

struct OptionSpec {
    const char* name;
    const char* short_name;  // or null
    const char* value;       // the value's name; null: a switch
    int repeatable;
    const char* help;        // lines after the first are indented under it
    int (*apply)(ServerOptions*, const std::string&, std::string*);
};

const OptionSpec kOptions[] = {
    {"--listen", nullptr, "HOST:PORT", 1,
     "address to serve on, repeatable; IPv6 as [::1]:8080\n(default 127.0.0.1:8080 and [::1]:8080)", set_listen},
    {"--db", nullptr, "PATH", 0, "SQLite database file, created if missing (default quillmoth-results.db)", set_db},
    {"--public-url", nullptr, "URL", 0, "base of the links handed out (default http://localhost:PORT)",
     set_public_url},
    {"--unlisted", nullptr, nullptr, 0, "new results are reachable by link only", set_unlisted},
    {"--upload-limit", nullptr, "N", 0, "uploads per minute per client address (IPv6: per /64), 0 for none\n(default 60)",
     set_upload_limit},
    {"--trusted-proxy", nullptr, "CIDR", 1,
     "a reverse proxy in front, repeatable (10.0.0.0/8, ::1): only for requests\n"
     "from these is the client taken from X-Forwarded-For",
     set_trusted_proxy},
    {"--help", "-h", nullptr, 0, "show this help", set_help},
};

std::string make_usage() {
    // The synopsis, wrapped under the program name as a terminal would show it.
    const std::string lead = "usage: quillmoth-server ";
    std::string out = lead, line = lead;
    for (const OptionSpec& o : kOptions) {
        std::string item = "[";
        if (o.short_name != nullptr) item += std::string(o.short_name) + "|";
        item += o.name;
        if (o.value != nullptr) item += std::string(" ") + o.value;
        item += o.repeatable ? "]..." : "]";
        if (line.size() + item.size() > 100 && line.size() > lead.size()) {
            out.back() = '\n';
            line = std::string(lead.size(), ' ');
            out += line;
        }
        out += item + " ";
        line += item + " ";
    }
    out.back() = '\n';
    for (const OptionSpec& o : kOptions) {
        std::string names = o.short_name != nullptr ? std::string(o.short_name) + ", " + o.name : o.name;
        if (o.value != nullptr) names += std::string(" ") + o.value;
        char first[64];
        std::snprintf(first, sizeof first, "  %-20s ", names.c_str());
        out += first;
        for (const char* h = o.help; *h != '\0'; ++h) {
            out += *h;
            if (*h == '\n') out += std::string(23, ' ');
        }
        out += '\n';
    }
    return out;
}

}  // namespace

const std::string kServerUsage = make_usage();

int parse_server_options(int argc, const char* const* argv, ServerOptions* options, std::string* error) {
    *options = ServerOptions();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& o : kOptions)
            if (arg == o.name || (o.short_name != nullptr && arg == o.short_name)) spec = &o;
        if (spec == nullptr) {
            *error = "unknown option '" + arg + "' (try --help)";
            return 0;
        }
        if (spec->value != nullptr && i + 1 >= argc) {
            *error = "option " + arg + " needs a value";
            return 0;
        }
        if (!spec->apply(options, spec->value != nullptr ? argv[++i] : "", error)) return 0;
    }
    if (options->listen.empty()) options->listen = {{"127.0.0.1", 8080}, {"::1", 8080}};
    return 1;
}

int parse_public_url(const std::string& url, std::string* base, std::string* path, std::string* error) {
    const char* rest = nullptr;
    if (url.rfind("http://", 0) == 0) rest = url.c_str() + 7;
    if (url.rfind("https://", 0) == 0) rest = url.c_str() + 8;
    *error = "bad --public-url '" + url + "': expected http[s]://HOST[:PORT][/PATH]";
    if (rest == nullptr || url.size() > 400) return 0;
    const std::string tail = rest;
    const size_t slash = tail.find('/');
    const std::string authority = tail.substr(0, slash);
    std::string p = slash == std::string::npos ? "" : tail.substr(slash);
    if (authority.empty()) return 0;
    for (char c : authority)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
            return 0;
    // Letters, digits and a few marks only: the path is matched and echoed
    // into links, so it must never need escaping.
    for (char c : p)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '-' || c == '_' || c == '~')) return 0;
    while (!p.empty() && p.back() == '/') p.pop_back();
    if (p.find("//") != std::string::npos) return 0;
    *base = url.substr(0, url.size() - tail.size()) + authority + p;
    *path = p;
    error->clear();
    return 1;
}
