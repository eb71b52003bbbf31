// The owner's pages, reached by the claim code: label, list or unlist,
// delete (with confirmation).
#include "server/pages/html.h"
#include "server/listing.h"
#include "server/routes.h"
#include "server/service.h"
#include "server/ids.h"

namespace {

// Whitespace runs of any kind become one space; ends trimmed. A label is one line.
std::string tidy_label(const std::string& text) {
    std::string out;
    Html h(&out);
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

const char* claim_notice(const std::string& key) {
    if (key == "saved") return "Saved.";
    if (key == "listed") return "Saved. The result is in the public list.";
    if (key == "unlisted") return "Saved. The result is now reachable by link only.";
    return nullptr;
}

// The claim pages share one rule: a code that matches nothing is a plain 404,
// and nothing about them may be cached anywhere.
bool find_claimed(const std::string& code, HttpResponse& res, ResultStore* store, const PageContext& ctx,
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

}  // namespace

std::string render_claim_page(const PageContext& ctx, const StoredResult& result, const std::string& code,
                              const char* notice) {
    DocumentView doc;
    read_document(result.document, &doc);
    std::string out;
    out.reserve(48 * 1024);
    Html h(&out);
    page_begin(&out, ctx, "Your result");
    h.markup("<p class=\"kicker\">Your result</p>");
    append_title(h, result);
    if (notice != nullptr && notice[0] != '\0') {
        h.element("p", notice, {{"class", "notice"}, {"id", "notice"}, {"role", "status"}}).newline();
    }
    h.markup("<section class=\"owner\"><h2>Manage</h2><p>Keep this page's address private: anyone with it can "
               "change or delete the result. The public page is ");
    h.open_result_link(ctx, result.summary.id, "public-link").text("here").close("a").markup(".</p>\n");
    const std::string action = claim_path(ctx, code);
    h.open("form", {{"class", "claim"}, {"id", "claim-form"}, {"method", "post"}, {"action", action}});
    h.markup("<label for=\"label-input\">Label</label>");
    h.open("input", {{"id", "label-input"}, {"name", "label"}, {"type", "text"},
                     {"maxlength", std::to_string(kMaxLabelBytes)}, {"placeholder", "e.g. stock cooler, BIOS 1.2"},
                     {"value", result.summary.label}});
    h.markup("<label class=\"check\">");
    if (result.summary.listed) h.markup("<input id=\"listed\" name=\"listed\" type=\"checkbox\" value=\"1\" checked>");
    else h.markup("<input id=\"listed\" name=\"listed\" type=\"checkbox\" value=\"1\">");
    h.markup(" Show in the public list</label><button type=\"submit\" name=\"action\" value=\"save\">Save"
             "</button></form>\n");
    h.open("form", {{"class", "delete"}, {"method", "post"}, {"action", action}});
    h.markup("<button class=\"danger\" type=\"submit\" name=\"action\" value=\"delete\">Delete this result…"
               "</button></form></section>\n");
    append_result_body(h, result, doc);
    page_end(&out);
    return out;
}

std::string render_delete_confirm_page(const PageContext& ctx, const StoredResult& result, const std::string& code) {
    std::string out;
    Html h(&out);
    page_begin(&out, ctx, "Delete this result?");
    h.markup("<h1>Delete this result?</h1><p>The result for <strong>");
    h.name(result.summary.cpu);
    char date[40];
    format_date(date, sizeof date, result.summary.uploaded_at);
    h.markup("</strong> uploaded ").text(date);
    h.markup(" will be gone for good, and its links will stop working.</p>\n");
    const std::string action = claim_path(ctx, code);
    h.open("form", {{"class", "delete"}, {"method", "post"}, {"action", action}});
    h.markup("<button class=\"danger\" id=\"confirm-delete\" type=\"submit\" name=\"action\" "
             "value=\"delete_confirmed\">Yes, delete it</button> ");
    h.element("a", "No, keep it", {{"href", action}}).markup("</form>\n");
    page_end(&out);
    return out;
}

void page_claim_get(RouteCall& call) {
    HttpResponse& res = call.res;
    ResultStore* store = call.ctx->store;
    const PageContext& ctx = call.pages;
    const std::string& code = call.arg;
    StoredResult result;
    if (!find_claimed(code, res, store, ctx, &result)) return;
    send_page(res, 200, render_claim_page(ctx, result, code, claim_notice(call.query.get("notice"))));
}

void page_claim_post(RouteCall& call) {
    HttpResponse& res = call.res;
    ResultStore* store = call.ctx->store;
    const PageContext& ctx = call.pages;
    const std::string& code = call.arg;
    StoredResult result;
    if (!find_claimed(code, res, store, ctx, &result)) return;
    if (call.req.body.size() > kMaxFormBytes) {
        send_message(res, ctx, 413, "Too large", "The form data is larger than this page ever sends.");
        return;
    }
    const std::string* given_type = call.req.header("Content-Type");
    const std::string type = given_type != nullptr ? *given_type : std::string();
    if (type.rfind("application/x-www-form-urlencoded", 0) != 0) {
        send_message(res, ctx, 415, "Unsupported form", "The form must be sent as a web form.");
        return;
    }
    const Params form = parse_params(call.req.body);
    const std::string what = form.get("action");

    if (what == "save") {
        const std::string label = tidy_label(form.get("label"));
        if (label.size() > kMaxLabelBytes || !valid_utf8(label)) {
            char text[128];
            std::snprintf(text, sizeof text, "Not saved: a label must be valid text of at most %zu bytes.",
                          kMaxLabelBytes);
            send_page(res, 422, render_claim_page(ctx, result, code, text));
            return;
        }
        const int listed = form.has("listed") ? 1 : 0;
        const StoreStatus status = store->set_label_and_listing(result.summary.id, label, listed);
        if (status != StoreStatus::ok) {
            send_store_failure(res, ctx, status);
            return;
        }
        const char* notice = listed == result.summary.listed ? "saved" : listed ? "listed" : "unlisted";
        res.status = 303;
        res.body.clear();
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
