// The front page: recent listed results, a CPU filter and a pager.
#include <cstring>

#include "server/pages/html.h"
#include "server/listing.h"
#include "server/routes.h"
#include "server/service.h"

namespace {

// The headline figures of a row: N-core RAW and REAL of three tests that
// between them cover integer, floating-point and memory work.
constexpr int kHeadlineTests[] = {0, 2, 10};

// The ranking and filter parameters that differ from the defaults, each
// followed by '&'.
void append_list_options(std::string* target, const ListQuery& query) {
    if (query.order != ListOrder::newest) appendf(target, "sort=%s&", list_order_name(query.order));
    if (!query.architecture.empty()) {
        target->append("arch=");
        append_url_encoded(target, query.architecture);
        target->append("&");
    }
    if (query.with_flagged) target->append("flagged=1&");
}

void append_option(Html& h, const char* value, const char* text, bool selected) {
    if (selected) h.element("option", text, {{"value", value}, {"selected", "selected"}});
    else h.element("option", text, {{"value", value}});
}

void append_score_cell(Html& h, const char* label, double score) {
    if (score > 0) h.printf("<td class=\"num score\" data-label=\"%s\">%.0f</td>", label, score);
    else h.printf("<td class=\"num score\" data-label=\"%s\">n/a</td>", label);
}

void append_page_link(Html& h, const PageContext& ctx, const ListQuery& query, const char* direction,
                      const std::string& cursor, const char* rel, const char* text) {
    std::string target = ctx.base_path + "/?";
    if (!query.cpu_contains.empty()) {
        target.append("cpu=");
        append_url_encoded(&target, query.cpu_contains);
        target.append("&");
    }
    append_list_options(&target, query);
    target.append(direction);
    target.append("=");
    append_url_encoded(&target, cursor);  // a score may be written 1e+20
    h.element("a", text, {{"rel", rel}, {"href", target}});
}

}  // namespace

std::string render_list_page(const PageContext& ctx, const ListQuery& query, const std::vector<ResultSummary>& rows,
                             const ListLinks& links) {
    std::string out;
    out.reserve(8192 + rows.size() * 1200);
    Html h(&out);
    page_begin(&out, ctx, "Recent results");
    h.markup("<h1>Recent results</h1>\n");
    h.open("form", {{"class", "filter"}, {"method", "get"}, {"action", ctx.base_path + "/"}});
    h.markup("<label for=\"cpu\">CPU name contains</label>");
    h.open("input", {{"id", "cpu"}, {"name", "cpu"}, {"type", "search"}, {"maxlength", "200"},
                     {"value", query.cpu_contains}});
    h.markup("<label for=\"arch\">Architecture</label><select id=\"arch\" name=\"arch\">");
    append_option(h, "", "any", query.architecture.empty());
    for (const char* arch : kArchitectures) append_option(h, arch, arch, query.architecture == arch);
    h.markup("</select><label for=\"sort\">Order</label><select id=\"sort\" name=\"sort\">");
    append_option(h, "newest", "newest first", query.order == ListOrder::newest);
    append_option(h, "multi", "multi-core score", query.order == ListOrder::multi);
    append_option(h, "single", "single-core score", query.order == ListOrder::single);
    h.markup("</select><label>");
    if (query.with_flagged) h.markup("<input type=\"checkbox\" name=\"flagged\" value=\"1\" checked>");
    else h.markup("<input type=\"checkbox\" name=\"flagged\" value=\"1\">");
    h.markup(" rank flagged results too</label><button type=\"submit\">Filter</button>");
    if (!query.cpu_contains.empty() || !query.architecture.empty() || query.order != ListOrder::newest)
        h.element("a", "Show all", {{"class", "clear"}, {"href", ctx.base_path + "/"}});
    h.markup("</form>\n");

    h.markup("<p class=\"count\" id=\"count\">");
    h.text(query.order == ListOrder::multi    ? "By multi-core score"
           : query.order == ListOrder::single ? "By single-core score"
                                              : "Newest first");
    if (!query.cpu_contains.empty()) {
        h.markup(", with a CPU name containing “");
        h.text(query.cpu_contains);
        h.markup("”");
    }
    h.markup("</p>\n");

    if (rows.empty()) {
        h.markup("<p class=\"empty\">No results here yet. Run <code>quillmoth --upload</code> to add one.</p>\n");
    } else {
        // The table sits in a GET form so that ticked rows open the compare page.
        h.open("form", {{"method", "get"}, {"action", ctx.base_path + "/compare"}});
        h.markup("<div class=\"scroll\"><table class=\"results\" id=\"results\"><thead><tr>"
                   "<th><span class=\"sr\">Compare</span></th><th>Date</th><th>CPU</th><th>Model</th>"
                   "<th>Cores / threads</th><th>Arch</th><th>OS</th><th>Compiler</th>"
                   "<th class=\"num\">Multi-core<br><small>score</small></th>"
                   "<th class=\"num\">Single-core<br><small>score</small></th>");
        for (const int t : kHeadlineTests)
            h.printf("<th class=\"num\">%s<br><small>RAW / REAL, %s</small></th>", g_catalogue[t].name,
                    g_catalogue[t].unit);
        h.markup("</tr></thead>\n<tbody>\n");
        for (const ResultSummary& row : rows) {
            char date[40];
            format_date(date, sizeof date, row.uploaded_at);
            // The day on one line, the time under it: keeps the column narrow.
            const char* time_of_day = "";
            if (std::strlen(date) > 11 && date[10] == ' ') {
                date[10] = '\0';
                time_of_day = date + 11;
            }
            h.open("tr", {{"class", "result"}, {"data-id", row.id}}).open("td", {{"class", "pick"}});
            h.open("input", {{"type", "checkbox"}, {"name", "ids"}, {"aria-label", "compare"}, {"value", row.id}});
            h.close("td").open("td", {{"class", "date"}, {"data-label", "Date"}}).text(date).text(" ");
            h.element("small", time_of_day).close("td").open("td", {{"class", "cpu"}, {"data-label", "CPU"}});
            h.open_result_link(ctx, row.id).name(row.cpu);
            h.close("a");
            if (row.flags != 0) h.text(" ").element("span", flag_names(row.flags), {{"class", "flag"}});
            if (!row.label.empty()) h.text(" ").open("span", {{"class", "label"}}).name(row.label).close("span");
            h.close("td").open("td", {{"data-label", "Model"}}).name(row.model).close("td");
            h.printf("<td data-label=\"Cores / threads\">%lld / %lld</td>", static_cast<long long>(row.cores),
                     static_cast<long long>(row.threads));
            h.open("td", {{"data-label", "Arch"}}).name(row.architecture).close("td");
            h.open("td", {{"data-label", "OS"}}).name(row.operating_system).close("td");
            h.open("td", {{"data-label", "Compiler"}}).name(row.compiler).close("td");
            append_score_cell(h, "Multi-core", row.scores[kScoreMulti]);
            append_score_cell(h, "Single-core", row.scores[kScoreSingle]);
            for (const int t : kHeadlineTests) {
                char raw[32], real[32];
                format_figure(raw, sizeof raw, row.figures[kSuiteRaw][kPassMulti][t]);
                format_figure(real, sizeof real, row.figures[kSuiteReal][kPassMulti][t]);
                h.printf("<td class=\"num\" data-label=\"%s\">%s / %s</td>", g_catalogue[t].name, raw, real);
            }
            h.markup("</tr>\n");
        }
        h.markup("</tbody></table></div><p><button type=\"submit\">Compare ticked results</button></p></form>\n");
    }

    if (!links.newer.empty() || !links.older.empty()) {
        h.markup("<nav class=\"pager\">");
        if (!links.newer.empty()) append_page_link(h, ctx, query, "before", links.newer, "prev", "← Newer");
        if (!links.older.empty()) append_page_link(h, ctx, query, "after", links.older, "next", "Older →");
        h.markup("</nav>\n");
    }
    page_end(&out);
    return out;
}

void page_list(RouteCall& call) {
    ListQuery query;
    query.limit = kListPageSize;
    query.cpu_contains = call.query.get("cpu");
    if (!valid_cpu_filter(query.cpu_contains) || !parse_list_options(call.query, &query))
        return send_message(call.res, call.pages, 400, "Bad filter", "The CPU filter is too long or not valid text.");
    const bool after = call.query.has("after"), before = call.query.has("before");
    if ((after && before) || ((after || before) && !parse_cursor(call.query.get(after ? "after" : "before"), &query)))
        return send_message(call.res, call.pages, 400, "Bad page", "The page link is not one this site made.");
    query.before = before;
    // One row more than the page tells whether there is another page that
    // way, without counting the matches.
    query.count = 0;
    query.limit = kListPageSize + 1;
    std::vector<ResultSummary> rows;
    int64_t total = 0;
    StoreStatus status = call.ctx->store->list(query, &rows, &total);
    if (status == StoreStatus::ok && before && rows.size() <= static_cast<size_t>(kListPageSize)) {
        // Back at the top: the first page, whole.
        query.after_set = query.before = 0;
        status = call.ctx->store->list(query, &rows, &total);
    }
    if (status != StoreStatus::ok) return send_store_failure(call.res, call.pages, status);
    const bool more = rows.size() > static_cast<size_t>(kListPageSize);
    if (more) rows.erase(query.before ? rows.begin() : rows.end() - 1);
    ListLinks links;
    if (!rows.empty() && query.after_set && (!query.before || more)) links.newer = list_cursor(query, rows.front());
    if (!rows.empty() && (query.before || more)) links.older = list_cursor(query, rows.back());
    query.limit = kListPageSize;
    send_page(call.res, 200, render_list_page(call.pages, query, rows, links));
}
