// The front page: recent listed results, a CPU filter and a pager.
#include <cstring>

#include "server/pages/internal.h"
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

void append_option(std::string* out, const char* value, const char* text, bool selected) {
    out->append("<option value=\"");
    append_escaped(out, value);
    out->append(selected ? "\" selected>" : "\">");
    append_escaped(out, text);
    out->append("</option>");
}

void append_score_cell(std::string* out, const char* label, double score) {
    if (score > 0) appendf(out, "<td class=\"num score\" data-label=\"%s\">%.0f</td>", label, score);
    else appendf(out, "<td class=\"num score\" data-label=\"%s\">n/a</td>", label);
}

void append_page_link(std::string* out, const PageContext& ctx, const ListQuery& query, const char* direction,
                      const std::string& cursor, const char* rel, const char* text) {
    out->append("<a rel=\"");
    out->append(rel);
    out->append("\" href=\"");
    append_escaped(out, ctx.base_path);
    out->append("/?");
    std::string target;
    if (!query.cpu_contains.empty()) {
        target.append("cpu=");
        append_url_encoded(&target, query.cpu_contains);
        target.append("&");
    }
    append_list_options(&target, query);
    target.append(direction);
    target.append("=");
    append_url_encoded(&target, cursor);  // a score may be written 1e+20
    append_escaped(out, target);
    appendf(out, "\">%s</a>", text);
}

}  // namespace

std::string render_list_page(const PageContext& ctx, const ListQuery& query, const std::vector<ResultSummary>& rows,
                             const ListLinks& links) {
    std::string out;
    out.reserve(8192 + rows.size() * 1200);
    page_begin(&out, ctx, "Recent results");
    out.append("<h1>Recent results</h1>\n<form class=\"filter\" method=\"get\" action=\"");
    append_escaped(&out, ctx.base_path);
    out.append("/\"><label for=\"cpu\">CPU name contains</label><input id=\"cpu\" name=\"cpu\" type=\"search\" "
               "maxlength=\"200\" value=\"");
    append_escaped(&out, query.cpu_contains);
    out.append("\"><label for=\"arch\">Architecture</label><select id=\"arch\" name=\"arch\">");
    append_option(&out, "", "any", query.architecture.empty());
    for (const char* arch : kArchitectures) append_option(&out, arch, arch, query.architecture == arch);
    out.append("</select><label for=\"sort\">Order</label><select id=\"sort\" name=\"sort\">");
    append_option(&out, "newest", "newest first", query.order == ListOrder::newest);
    append_option(&out, "multi", "multi-core score", query.order == ListOrder::multi);
    append_option(&out, "single", "single-core score", query.order == ListOrder::single);
    appendf(&out, "</select><label><input type=\"checkbox\" name=\"flagged\" value=\"1\"%s> rank flagged results "
                  "too</label><button type=\"submit\">Filter</button>",
            query.with_flagged ? " checked" : "");
    if (!query.cpu_contains.empty() || !query.architecture.empty() || query.order != ListOrder::newest) {
        out.append("<a class=\"clear\" href=\"");
        append_escaped(&out, ctx.base_path);
        out.append("/\">Show all</a>");
    }
    out.append("</form>\n");

    out.append("<p class=\"count\" id=\"count\">");
    out.append(query.order == ListOrder::multi    ? "By multi-core score"
               : query.order == ListOrder::single ? "By single-core score"
                                                  : "Newest first");
    if (!query.cpu_contains.empty()) {
        out.append(", with a CPU name containing “");
        append_escaped(&out, query.cpu_contains);
        out.append("”");
    }
    out.append("</p>\n");

    if (rows.empty()) {
        out.append("<p class=\"empty\">No results here yet. Run <code>quillmoth --upload</code> to add one.</p>\n");
    } else {
        // The table sits in a GET form so that ticked rows open the compare page.
        out.append("<form method=\"get\" action=\"");
        append_escaped(&out, ctx.base_path);
        out.append("/compare\"><div class=\"scroll\"><table class=\"results\" id=\"results\"><thead><tr>"
                   "<th><span class=\"sr\">Compare</span></th><th>Date</th><th>CPU</th><th>Model</th>"
                   "<th>Cores / threads</th><th>Arch</th><th>OS</th><th>Compiler</th>"
                   "<th class=\"num\">Multi-core<br><small>score</small></th>"
                   "<th class=\"num\">Single-core<br><small>score</small></th>");
        for (const int t : kHeadlineTests)
            appendf(&out, "<th class=\"num\">%s<br><small>RAW / REAL, %s</small></th>", g_catalogue[t].name,
                    g_catalogue[t].unit);
        out.append("</tr></thead>\n<tbody>\n");
        for (const ResultSummary& row : rows) {
            char date[40];
            format_date(date, sizeof date, row.uploaded_at);
            // The day on one line, the time under it: keeps the column narrow.
            const char* time_of_day = "";
            if (std::strlen(date) > 11 && date[10] == ' ') {
                date[10] = '\0';
                time_of_day = date + 11;
            }
            out.append("<tr class=\"result\" data-id=\"");
            append_escaped(&out, row.id);
            out.append("\"><td class=\"pick\"><input type=\"checkbox\" name=\"ids\" aria-label=\"compare\" value=\"");
            append_escaped(&out, row.id);
            appendf(&out, "\"></td><td class=\"date\" data-label=\"Date\">%s <small>%s</small></td><td class=\"cpu\" "
                          "data-label=\"CPU\"><a href=\"",
                    date, time_of_day);
            append_escaped(&out, result_url(ctx.base_path, row.id));
            out.append("\">");
            append_name(&out, row.cpu);
            out.append("</a>");
            if (row.flags != 0) appendf(&out, " <span class=\"flag\">%s</span>", flag_names(row.flags).c_str());
            if (!row.label.empty()) {
                out.append(" <span class=\"label\">");
                append_name(&out, row.label);
                out.append("</span>");
            }
            out.append("</td><td data-label=\"Model\">");
            append_name(&out, row.model);
            appendf(&out, "</td><td data-label=\"Cores / threads\">%lld / %lld</td><td data-label=\"Arch\">",
                    static_cast<long long>(row.cores), static_cast<long long>(row.threads));
            append_name(&out, row.architecture);
            out.append("</td><td data-label=\"OS\">");
            append_name(&out, row.operating_system);
            out.append("</td><td data-label=\"Compiler\">");
            append_name(&out, row.compiler);
            out.append("</td>");
            append_score_cell(&out, "Multi-core", row.scores[kScoreMulti]);
            append_score_cell(&out, "Single-core", row.scores[kScoreSingle]);
            for (const int t : kHeadlineTests) {
                char raw[32], real[32];
                format_figure(raw, sizeof raw, row.figures[kSuiteRaw][kPassMulti][t]);
                format_figure(real, sizeof real, row.figures[kSuiteReal][kPassMulti][t]);
                appendf(&out, "<td class=\"num\" data-label=\"%s\">%s / %s</td>", g_catalogue[t].name, raw, real);
            }
            out.append("</tr>\n");
        }
        out.append("</tbody></table></div><p><button type=\"submit\">Compare ticked results</button></p></form>\n");
    }

    if (!links.newer.empty() || !links.older.empty()) {
        out.append("<nav class=\"pager\">");
        if (!links.newer.empty()) append_page_link(&out, ctx, query, "before", links.newer, "prev", "← Newer");
        if (!links.older.empty()) append_page_link(&out, ctx, query, "after", links.older, "next", "Older →");
        out.append("</nav>\n");
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
