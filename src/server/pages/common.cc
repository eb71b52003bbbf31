#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "server/pages/html.h"
#include "server/routes.h"

void vappendf(std::string* out, const char* format, va_list args) {
    char buffer[1024];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (length >= 0 && static_cast<size_t>(length) < sizeof buffer) {
        out->append(buffer, static_cast<size_t>(length));
    } else if (length >= 0) {
        // Longer than the stack buffer: format again straight into the string.
        const size_t start = out->size();
        out->resize(start + static_cast<size_t>(length) + 1);
        std::vsnprintf(out->data() + start, static_cast<size_t>(length) + 1, format, again);
        out->resize(start + static_cast<size_t>(length));
    }
    va_end(again);
}

void appendf(std::string* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vappendf(out, format, args);
    va_end(args);
}

namespace {

// The code point of an invisible character that can reorder or hide the text
// around it (bidi controls, zero-width characters) starting at text[i], with
// its length in *size; 0 for anything else.
unsigned invisible_at(const std::string& text, size_t i, size_t* size) {
    const auto byte = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
    unsigned code = 0;
    if (byte(0) == 0xD8 && byte(1) == 0x9C) return *size = 2, 0x061C;  // Arabic letter mark
    if (byte(0) == 0xE2 && (byte(1) == 0x80 || byte(1) == 0x81) && byte(2) >= 0x80 && byte(2) <= 0xBF)
        code = 0x2000 + ((byte(1) & 0x3F) << 6) + (byte(2) & 0x3F);
    else if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
        code = 0xFEFF;
    const bool invisible = (code >= 0x200B && code <= 0x200F) || (code >= 0x202A && code <= 0x202E) ||
                           code == 0x2060 || (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
    *size = 3;
    return invisible ? code : 0;
}

}  // namespace

void append_escaped(std::string* out, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        size_t size = 0;
        switch (c) {
        case '&': out->append("&amp;"); break;
        case '<': out->append("&lt;"); break;
        case '>': out->append("&gt;"); break;
        case '"': out->append("&quot;"); break;
        case '\'': out->append("&#39;"); break;
        default:
            // Other control characters have no business in a page; NUL in
            // particular is handled differently by different parsers.
            if (static_cast<unsigned char>(c) < 32 && c != '\t' && c != '\n') break;
            if (c == 127) break;
            // Shown by name, so that no name can pose as another.
            if (const unsigned code = invisible_at(text, i, &size)) {
                appendf(out, "U+%04X", code);
                i += size - 1;
                break;
            }
            out->push_back(c);
        }
    }
}

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    append_escaped(&out, text);
    return out;
}

void append_url_encoded(std::string* out, const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' || u == '_' ||
            u == '.' || u == '~') {
            out->push_back(c);
        } else {
            out->push_back('%');
            out->push_back(hex[u >> 4]);
            out->push_back(hex[u & 15]);
        }
    }
}

void page_begin(std::string* out, const PageContext& ctx, const std::string& title) {
    out->append("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                "<meta name=\"referrer\" content=\"no-referrer\">"
                // No icon: spares every visit a request that would only 404.
                "<link rel=\"icon\" href=\"data:,\">");
    Html h(out);
    h.element("title", title + " · quillmoth results");
    h.open("link", {{"rel", "stylesheet"}, {"href", ctx.base_path + "/style.css"}});
    h.markup("</head>\n<body><header class=\"site\">");
    h.element("a", "quillmoth results", {{"class", "brand"}, {"href", ctx.base_path + "/"}});
    h.markup("</header>\n<main>\n");
}

void page_end(std::string* out) {
    out->append("</main>\n<footer class=\"site\">quillmoth results service · figures are millions of work units "
                "per second unless marked</footer>\n</body></html>\n");
}

void format_figure(char* buffer, size_t size, double value) {
    if (!std::isfinite(value)) {
        std::snprintf(buffer, size, "n/a");
        return;
    }
    const double magnitude = std::fabs(value);
    int decimals = 0;
    if (magnitude < 10) decimals = 3;
    else if (magnitude < 100) decimals = 2;
    else if (magnitude < 1000) decimals = 1;
    std::snprintf(buffer, size, "%.*f", decimals, value);
}

void format_date(char* buffer, size_t size, int64_t unix_seconds) {
    const time_t t = static_cast<time_t>(unix_seconds);
    struct tm parts;
    if (gmtime_r(&t, &parts) == nullptr || std::strftime(buffer, size, "%Y-%m-%d %H:%M UTC", &parts) == 0)
        std::snprintf(buffer, size, "unknown");
}

void format_duration(char* buffer, size_t size, uint64_t milliseconds) {
    const uint64_t minutes = milliseconds / 60000;
    const double seconds = static_cast<double>(milliseconds % 60000) / 1000.0;
    if (minutes == 0) std::snprintf(buffer, size, "%.1f s", seconds);
    else std::snprintf(buffer, size, "%llu min %04.1f s", static_cast<unsigned long long>(minutes), seconds);
}

namespace {

int64_t integer_member(const nlohmann::json& object, const char* key, int64_t fallback) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number_integer() ? it->get<int64_t>() : fallback;
}

double number_member(const nlohmann::json& object, const char* key, double fallback) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<double>() : fallback;
}

std::string text_member(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void read_pass(const nlohmann::json& test, const char* key, PassView* out) {
    const auto it = test.find(key);
    if (it == test.end() || !it->is_object()) return;
    out->display = number_member(*it, "display_metric", NAN);
    out->rate = number_member(*it, "rate", NAN);
    out->seconds = number_member(*it, "seconds", NAN);
    out->iterations = integer_member(*it, "iterations", 0);
    out->threads = integer_member(*it, "threads", 0);
    out->present = 1;
}

}  // namespace

void read_document(const std::string& document, DocumentView* out) {
    *out = DocumentView();
    const nlohmann::json doc = nlohmann::json::parse(document, nullptr, false);
    if (!doc.is_object()) return;
    out->readable = 1;
    out->architecture = text_member(doc, "architecture");
    out->version = text_member(doc, "lumatile_version");
    out->suite = text_member(doc, "workload_suite");
    out->memory_mb = integer_member(doc, "memory_mb", -1);
    out->l1_cache_kb = integer_member(doc, "l1_cache_kb", -1);
    out->l2_cache_kb = integer_member(doc, "l2_cache_kb", -1);
    out->l3_cache_kb = integer_member(doc, "l3_cache_kb", -1);
    out->duration_ms = integer_member(doc, "duration_ms", -1);
    const auto details = doc.find("score_details");
    if (details == doc.end() || !details->is_object()) return;
    const auto env = details->find("system_environment");
    if (env != details->end() && env->is_object()) {
        out->kernel = text_member(*env, "kernel");
        out->sample_seconds = integer_member(*env, "sample_seconds", 0);
        out->background_average = number_member(*env, "background_cpu_average_percent", 0);
        out->background_peak = number_member(*env, "background_cpu_peak_percent", 0);
        out->available_memory_mb = integer_member(*env, "available_memory_mb", -1);
        out->process_count = integer_member(*env, "process_count", -1);
    }
    for (int s = 0; s < 2; ++s) {
        const auto list = details->find(kSuites[s].document_key);
        if (list == details->end() || !list->is_array()) continue;
        for (int t = 0; t < kTestCount && t < static_cast<int>(list->size()); ++t) {
            const nlohmann::json& test = (*list)[static_cast<size_t>(t)];
            if (!test.is_object()) continue;
            for (int p = 0; p < 2; ++p) read_pass(test, kPasses[p].document_key, &out->tests[s][p][t]);
        }
    }
}

double figure_ratio(int test, double base, double other) {
    if (!(base > 0) || !(other > 0) || !std::isfinite(base) || !std::isfinite(other)) return NAN;
    return g_catalogue[test].lower_is_better ? base / other : other / base;
}

double geometric_mean(const double* ratios, int count) {
    double log_sum = 0;
    int used = 0;
    for (int i = 0; i < count; ++i) {
        if (!(ratios[i] > 0) || !std::isfinite(ratios[i])) continue;
        log_sum += std::log(ratios[i]);
        ++used;
    }
    return used == 0 ? NAN : std::exp(log_sum / used);
}

void send_page(HttpResponse& res, int status, std::string page) {
    res.status = status;
    res.set_content(std::move(page), "text/html; charset=utf-8");
}

void send_message(HttpResponse& res, const PageContext& ctx, int status, const char* title, const char* text) {
    send_page(res, status, render_message_page(ctx, status, title, text));
}

void send_store_failure(HttpResponse& res, const PageContext& ctx, StoreStatus status) {
    if (store_http_status(status) == 404)
        send_message(res, ctx, 404, "Not found", "There is no result at this address. It may have been deleted.");
    else
        send_message(res, ctx, 503, "Busy", "The results database cannot answer now. Please try again in a moment.");
}
