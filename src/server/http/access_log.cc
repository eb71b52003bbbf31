#include "server/http/access_log.h"

#include <time.h>

void write_access_log(FILE* log, const HttpRequest& req, const HttpResponse& res) {
    char when[32];
    const time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    const std::string path = loggable_path(req.path);
    const std::string method = loggable_path(req.method);
    char line[1024];
    std::snprintf(line, sizeof line, "%s %.64s \"%.16s %.800s\" %d %zu\n", when, req.client.c_str(), method.c_str(),
                  path.c_str(), res.status, res.body.size());
    std::fputs(line, log);
}

std::string loggable_path(const std::string& path) {
    std::string out;
    const size_t claim = path.find("/claim/");
    const size_t end = claim == std::string::npos ? path.size() : claim + 7;
    for (size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (c < 0x21 || c > 0x7e || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (claim != std::string::npos) out += "[code]";
    return out;
}
