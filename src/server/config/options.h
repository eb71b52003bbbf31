// The command line of quillmoth-server: one table of options, from which
// both the parser and --help come.
#pragma once

#include <string>
#include <vector>

struct ListenAddress {
    std::string host;  // as given, without the brackets of an IPv6 address
    int port = 0;      // 0: any free port
};

struct ServerOptions {
    std::vector<ListenAddress> listen;
    std::string db = "quillmoth-results.db";
    std::string public_url;  // empty: http://localhost:PORT of the first address
    int unlisted = 0;
    int upload_limit = 60;   // per minute per client address; 0: no limit
    std::vector<std::string> trusted_proxies;  // CIDR blocks, as given
    int help = 0;
};

// The --help text, made from the option table.
extern const std::string kServerUsage;

// Parses the command line (argv[0] is the program). Returns 1, or 0 with one
// line (no newline) in *error.
int parse_server_options(int argc, const char* const* argv, ServerOptions* options, std::string* error);

// Splits "http[s]://host[:port][/path]" into the link base (no trailing
// slash) and its path ("" or "/path"). Returns 0 with *error for anything
// else, queries, fragments and user parts included.
int parse_public_url(const std::string& url, std::string* base, std::string* path, std::string* error);
