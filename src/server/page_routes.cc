// The HTTP side of the pages: parameters in, store calls, status codes out.
#include <algorithm>
#include <cstring>
#include <httplib.h>
#include <map>
#include <regex>

#include "server/ids.h"
#include "server/pages_internal.h"

namespace {

constexpr size_t kMaxFormBytes = 4096;
constexpr size_t kMaxFilterBytes = 200;
constexpr int64_t kMaxPage = 1000000;

const char kHtml[] = "text/html; charset=utf-8";

void send_page(httplib::Response& res, int status, std::string page) {
    res.status = status;
    res.set_content(std::move(page), kHtml);
}

void send_message(httplib::Response& res, const PageContext& ctx, int status, const char* title, const char* text) {
    send_page(res, status, render_message_page(ctx, status, title, text));
}

void send_store_failure(httplib::Response& res, const PageContext& ctx, StoreStatus status) {
    if (status == StoreStatus::not_found)
        send_message(res, ctx, 404, "Not found", "There is no result at this address. It may have been deleted.");
    else if (status == StoreStatus::unavailable)
        send_message(res, ctx, 503, "Busy", "The results database is busy. Please try again in a moment.");
    else
        send_message(res, ctx, 500, "Error", "The results database could not answer.");
}

std::string regex_quoted(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// application/x-www-form-urlencoded; the first value of a repeated name wins.
std::map<std::string, std::string> parse_form(const std::string& body) {
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        std::string name, value;
        std::string* target = &name;
        for (size_t i = start; i < end; ++i) {
            const char c = body[i];
            if (c == '=' && target == &name) target = &value;
            else if (c == '+') target->push_back(' ');
            else if (c == '%' && i + 2 < end && hex_value(body[i + 1]) >= 0 && hex_value(body[i + 2]) >= 0) {
                target->push_back(static_cast<char>(hex_value(body[i + 1]) * 16 + hex_value(body[i + 2])));
                i += 2;
            } else target->push_back(c);
        }
        if (!name.empty()) fields.emplace(std::move(name), std::move(value));
        start = end + 1;
    }
    return fields;
}

bool valid_utf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        unsigned min = 0, code = 0;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { extra = 1; code = c & 0x1F; min = 0x80; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; code = c & 0x0F; min = 0x800; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; code = c & 0x07; min = 0x10000; }
        else return false;
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

// Whitespace runs of any kind become one space; ends trimmed. A label is one line.
std::string tidy_label(const std::string& text) {
    std::string out;
    bool space = false;
    for (const char c : text) {
        if (c == ' ' || (static_cast<unsigned char>(c) < 32) || c == 127) {
            space = true;
            continue;
        }
        if (space && !out.empty()) out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

bool is_id_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Splits "a,b" (and a pasted link to a result page) into ids. Returns 0 on a
// malformed entry.
bool collect_ids(const std::string& text, std::vector<std::string>* ids) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(start, end - start);
        while (!item.empty() && (item.back() == ' ' || item.back() == '/')) item.pop_back();
        while (!item.empty() && item.front() == ' ') item.erase(0, 1);
        const size_t marker = item.rfind("/results/");
        if (marker != std::string::npos) item.erase(0, marker + 9);
        if (!item.empty()) {
            if (item.size() > 64) return false;
            for (const char c : item)
                if (!is_id_char(c)) return false;
            if (std::find(ids->begin(), ids->end(), item) == ids->end()) ids->push_back(item);
        }
        start = end + 1;
    }
    return true;
}

const char* claim_notice(const std::string& key) {
    if (key == "saved") return "Saved.";
    if (key == "listed") return "Saved. The result is in the public list.";
    if (key == "unlisted") return "Saved. The result is now reachable by link only.";
    return nullptr;
}

void handle_list(const httplib::Request& req, httplib::Response& res, ResultStore* store, const PageContext& ctx) {
    ListQuery query;
    query.limit = kListPageSize;
    query.cpu_contains = req.get_param_value("cpu");
    if (query.cpu_contains.size() > kMaxFilterBytes || !valid_utf8(query.cpu_contains)) {
        send_message(res, ctx, 400, "Bad filter", "The CPU filter is too long or not valid text.");
        return;
    }
    int64_t page = 1;
    if (req.has_param("page")) {
        const std::string text = req.get_param_value("page");
        page = 0;
        for (const char c : text) {
            if (c < '0' || c > '9' || page > kMaxPage) {
                page = 0;
                break;
            }
            page = page * 10 + (c - '0');
        }
        if (page < 1 || page > kMaxPage) {
            send_message(res, ctx, 400, "Bad page", "The page number must be a whole number from 1.");
            return;
        }
    }
    query.offset = (page - 1) * query.limit;
    std::vector<ResultSummary> rows;
    int64_t total = 0;
    const StoreStatus status = store->list(query, &rows, &total);
    if (status != StoreStatus::ok) {
        send_store_failure(res, ctx, status);
        return;
    }
    send_page(res, 200, render_list_page(ctx, query, rows, total));
}

void handle_result(const httplib::Request& req, httplib::Response& res, ResultStore* store, const PageContext& ctx) {
    StoredResult result;
    const StoreStatus status = store->get(req.matches[1].str(), &result);
    if (status != StoreStatus::ok) {
        send_store_failure(res, ctx, status);
        return;
    }
    send_page(res, 200, render_result_page(ctx, result));
}

void handle_compare(const httplib::Request& req, httplib::Response& res, ResultStore* store,
                    const PageContext& ctx) {
    std::vector<std::string> ids;
    bool well_formed = true;
    const size_t given = req.get_param_value_count("ids");
    for (size_t i = 0; i < given && well_formed; ++i)
        well_formed = req.get_param_value("ids", i).size() <= 2048 && collect_ids(req.get_param_value("ids", i), &ids);
    if (well_formed && req.has_param("add"))
        well_formed = req.get_param_value("add").size() <= 2048 && collect_ids(req.get_param_value("add"), &ids);
    if (!well_formed) {
        send_message(res, ctx, 400, "Bad request", "The ids to compare must be result ids separated by commas.");
        return;
    }
    if (ids.empty()) {
        send_message(res, ctx, 400, "Nothing to compare",
                     "Pick results to compare: tick them in the list, or use the form on a result's page.");
        return;
    }
    if (ids.size() > static_cast<size_t>(kMaxCompareIds)) {
        char text[96];
        std::snprintf(text, sizeof text, "At most %d results can be compared at once.", kMaxCompareIds);
        send_message(res, ctx, 400, "Too many results", text);
        return;
    }
    std::vector<StoredResult> results(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        const StoreStatus status = store->get(ids[i], &results[i]);
        if (status == StoreStatus::not_found) {
            std::string text = "There is no result with the id " + ids[i] + ".";
            send_page(res, 404, render_message_page(ctx, 404, "Not found", text.c_str()));
            return;
        }
        if (status != StoreStatus::ok) {
            send_store_failure(res, ctx, status);
            return;
        }
    }
    send_page(res, 200, render_compare_page(ctx, results));
}

// The claim pages share one rule: a code that matches nothing is a plain 404,
// and nothing about them may be cached anywhere.
bool find_claimed(const std::string& code, httplib::Response& res, ResultStore* store, const PageContext& ctx,
                  StoredResult* result) {
    res.set_header("Cache-Control", "no-store");
    unsigned char hash[32];
    hash_claim_code(code, hash);
    const StoreStatus status = store->find_by_claim(hash, result);
    if (status == StoreStatus::not_found) {
        send_message(res, ctx, 404, "Not found", "There is nothing at this address.");
        return false;
    }
    if (status != StoreStatus::ok) {
        send_store_failure(res, ctx, status);
        return false;
    }
    return true;
}

std::string claim_path(const PageContext& ctx, const std::string& code) { return ctx.base_path + "/claim/" + code; }

void handle_claim_get(const httplib::Request& req, httplib::Response& res, ResultStore* store,
                      const PageContext& ctx) {
    const std::string code = req.matches[1].str();
    StoredResult result;
    if (!find_claimed(code, res, store, ctx, &result)) return;
    send_page(res, 200, render_claim_page(ctx, result, code, claim_notice(req.get_param_value("notice"))));
}

void handle_claim_post(const httplib::Request& req, httplib::Response& res, ResultStore* store,
                       const PageContext& ctx) {
    const std::string code = req.matches[1].str();
    StoredResult result;
    if (!find_claimed(code, res, store, ctx, &result)) return;
    if (req.body.size() > kMaxFormBytes) {
        send_message(res, ctx, 413, "Too large", "The form data is larger than this page ever sends.");
        return;
    }
    const std::string type = req.get_header_value("Content-Type");
    if (type.rfind("application/x-www-form-urlencoded", 0) != 0) {
        send_message(res, ctx, 415, "Unsupported form", "The form must be sent as a web form.");
        return;
    }
    const std::map<std::string, std::string> form = parse_form(req.body);
    const auto action = form.find("action");
    const std::string what = action == form.end() ? std::string() : action->second;

    if (what == "save") {
        const auto label_field = form.find("label");
        const std::string label = tidy_label(label_field == form.end() ? std::string() : label_field->second);
        if (label.size() > kMaxLabelBytes || !valid_utf8(label)) {
            char text[128];
            std::snprintf(text, sizeof text, "Not saved: a label must be valid text of at most %zu bytes.",
                          kMaxLabelBytes);
            send_page(res, 422, render_claim_page(ctx, result, code, text));
            return;
        }
        const int listed = form.count("listed") != 0 ? 1 : 0;
        const StoreStatus status = store->set_label_and_listing(result.summary.id, label, listed);
        if (status != StoreStatus::ok) {
            send_store_failure(res, ctx, status);
            return;
        }
        const char* notice = listed == result.summary.listed ? "saved" : listed ? "listed" : "unlisted";
        res.status = 303;
        res.set_header("Location", claim_path(ctx, code) + "?notice=" + notice);
        return;
    }
    if (what == "delete") {
        send_page(res, 200, render_delete_confirm_page(ctx, result, code));
        return;
    }
    if (what == "delete_confirmed") {
        const StoreStatus status = store->remove(result.summary.id);
        if (status != StoreStatus::ok && status != StoreStatus::not_found) {
            send_store_failure(res, ctx, status);
            return;
        }
        // The claim page is gone with the result, so there is nowhere to
        // redirect back to: say so here.
        send_message(res, ctx, 200, "Deleted", "The result and its links are gone for good.");
        return;
    }
    send_message(res, ctx, 400, "Bad request", "The form asked for nothing this page can do.");
}

}  // namespace

void add_page_routes(httplib::Server* http, ResultStore* store, const PageContext& ctx) {
    const std::string base = regex_quoted(ctx.base_path);
    const PageContext c = ctx;
    http->Get(base + "/", [store, c](const httplib::Request& req, httplib::Response& res) {
        handle_list(req, res, store, c);
    });
    if (!ctx.base_path.empty()) {
        http->Get(base, [c](const httplib::Request&, httplib::Response& res) {
            res.status = 308;
            res.set_header("Location", c.base_path + "/");
        });
    }
    http->Get(base + "/results/([A-Za-z0-9_-]{1,64})", [store, c](const httplib::Request& req,
                                                                   httplib::Response& res) {
        handle_result(req, res, store, c);
    });
    http->Get(base + "/compare", [store, c](const httplib::Request& req, httplib::Response& res) {
        handle_compare(req, res, store, c);
    });
    http->Get(base + "/claim/([A-Za-z0-9_-]{1,128})", [store, c](const httplib::Request& req,
                                                                  httplib::Response& res) {
        handle_claim_get(req, res, store, c);
    });
    http->Post(base + "/claim/([A-Za-z0-9_-]{1,128})", [store, c](const httplib::Request& req,
                                                                   httplib::Response& res) {
        handle_claim_post(req, res, store, c);
    });
    http->Get(base + "/style.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "public, max-age=3600");
        res.set_content(kStylesheet, "text/css; charset=utf-8");
    });
}
