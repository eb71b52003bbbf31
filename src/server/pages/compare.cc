// Results side by side, each figure as a ratio to the first result.
#include <cmath>

#include "server/pages/charts.h"
#include "server/pages/html.h"
#include "server/listing.h"
#include "server/routes.h"
#include "server/service.h"

namespace {


void append_ratio(Html& h, double ratio) {
    if (std::isfinite(ratio)) h.printf("×%.2f", ratio);
    else h.markup("n/a");
}

void append_result_link(Html& h, const PageContext& ctx, const StoredResult& r) {
    h.open_result_link(ctx, r.summary.id).name(r.summary.cpu).close("a");
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
            if (!valid_result_id(item)) return false;
            if (std::find(ids->begin(), ids->end(), item) == ids->end()) ids->push_back(item);
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

std::string render_compare_page(const PageContext& ctx, const std::vector<StoredResult>& results) {
    const int n = static_cast<int>(results.size());
    std::string out;
    out.reserve(16384 + static_cast<size_t>(n) * 8192);
    Html h(&out);
    page_begin(&out, ctx, "Compare results");
    h.printf("<h1>Compare %d result%s</h1>\n", n, n == 1 ? "" : "s");
    if (n == 0) {
        page_end(&out);
        return out;
    }

    // ratios[r][suite][pass][test], each against result 0.
    std::vector<double> ratios(static_cast<size_t>(n) * 2 * 2 * kTestCount);
    auto ratio_at = [&](int r, int s, int p, int t) -> double& {
        return ratios[((static_cast<size_t>(r) * 2 + s) * 2 + p) * kTestCount + t];
    };
    for (int r = 0; r < n; ++r)
        for (int s = 0; s < 2; ++s)
            for (int p = 0; p < 2; ++p)
                for (int t = 0; t < kTestCount; ++t)
                    ratio_at(r, s, p, t) = figure_ratio(t, results[0].summary.figures[s][p][t],
                                                        results[static_cast<size_t>(r)].summary.figures[s][p][t]);

    h.markup("<ol class=\"compared\" id=\"compared\">");
    for (int r = 0; r < n; ++r) {
        const ResultSummary& s = results[static_cast<size_t>(r)].summary;
        char date[40];
        format_date(date, sizeof date, s.uploaded_at);
        h.open("li", {{"class", "c" + std::to_string(r & 7)}, {"data-id", s.id}}).markup("<span class=\"key\"></span>");
        append_result_link(h, ctx, results[static_cast<size_t>(r)]);
        if (!s.label.empty()) h.text(" ").open("span", {{"class", "label"}}).name(s.label).close("span");
        h.markup("<br><small>");
        h.name(s.model);
        h.printf(" · %lld / %lld threads · ", static_cast<long long>(s.cores), static_cast<long long>(s.threads));
        h.name(s.operating_system);
        h.text(" · ").text(date);
        if (r == 0) h.markup(" · <strong>baseline</strong>");
        h.markup("</small></li>");
    }
    h.markup("</ol>\n");

    h.markup("<section class=\"compare-scores\"><h2>Scores</h2><div class=\"scroll\"><table class=\"overall\" "
               "id=\"compare-scores\"><thead><tr><th>Score</th>");
    for (int r = 0; r < n; ++r) h.printf("<th class=\"num\">#%d</th>", r + 1);
    h.markup("</tr></thead><tbody>\n");
    for (const int i : {kScoreMulti, kScoreSingle, kScoreRawMulti, kScoreRawSingle, kScoreRealMulti, kScoreRealSingle}) {
        h.printf("<tr data-score=\"%s\"><th scope=\"row\">%s</th>", kScoreNames[i].key, kScoreNames[i].title);
        for (int r = 0; r < n; ++r) {
            const ResultSummary& s = results[static_cast<size_t>(r)].summary;
            if (s.scores[i] > 0) h.printf("<td class=\"num\">%.0f</td>", s.scores[i]);
            else h.markup("<td class=\"num\">n/a</td>");
        }
        h.markup("</tr>\n");
    }
    h.markup("</tbody></table></div></section>\n");

    h.markup("<section class=\"overall\"><h2>Overall</h2><p class=\"note\">Geometric mean of the per-test ratios "
               "to the first result; above ×1.00 is faster. Memory latency counts inverted, so higher is always "
               "better.</p><div class=\"scroll\"><table class=\"overall\" id=\"overall\"><thead><tr><th>Suite</th>");
    for (int r = 0; r < n; ++r) h.printf("<th class=\"num\">#%d</th>", r + 1);
    h.markup("</tr></thead><tbody>\n");
    for (int s = 0; s < 2; ++s) {
        for (int p = 0; p < 2; ++p) {
            h.printf("<tr data-suite=\"%s\" data-pass=\"%s\"><th scope=\"row\">%s %s</th>", kSuites[s].title,
                    kPasses[p].title, kSuites[s].title, kPasses[p].title);
            for (int r = 0; r < n; ++r) {
                h.markup("<td class=\"num geomean\">");
                append_ratio(h, geometric_mean(&ratio_at(r, s, p, 0), kTestCount));
                h.markup("</td>");
            }
            h.markup("</tr>\n");
        }
    }
    h.markup("</tbody></table></div></section>\n");

    if (n > 1) {
        h.markup("<section class=\"charts\"><h2>Ratios per test</h2><p class=\"note\">N-core figures against the "
                   "first result, log scale: bars to the right are faster, to the left slower.</p>\n<div "
                   "class=\"chart-pair\">");
        for (int s = 0; s < 2; ++s) {
            std::vector<ChartSeries> series(static_cast<size_t>(n - 1));
            static const char* const keys[] = {"r2", "r3", "r4", "r5", "r6", "r7", "r8", "r9"};
            for (int r = 1; r < n; ++r) {
                ChartSeries& c = series[static_cast<size_t>(r - 1)];
                char name[16];
                std::snprintf(name, sizeof name, "#%d ", r + 1);
                c.name = name + results[static_cast<size_t>(r)].summary.cpu;
                c.key = keys[(r - 1) & 7];
                c.colour = r & 7;
                for (int t = 0; t < kTestCount; ++t) {
                    c.values[t] = ratio_at(r, s, kPassMulti, t);
                    char text[32];
                    if (std::isfinite(c.values[t])) std::snprintf(text, sizeof text, "×%.2f", c.values[t]);
                    else std::snprintf(text, sizeof text, "n/a");
                    c.labels[t] = text;
                }
            }
            h.printf("<div><h3>%s suite</h3>\n", kSuites[s].title);
            append_bar_chart(h,
                             ChartSpec{s == 0 ? "chart-ratio-raw" : "chart-ratio-real",
                                       std::string(kSuites[s].title) + " N-core ratios to the first result",
                                       ChartScale::log_ratio, 1.0, "×1"},
                             series.data(), n - 1);
            h.markup("</div>");
        }
        h.markup("</div></section>\n");
    }

    for (int s = 0; s < 2; ++s) {
        for (int p = 0; p < 2; ++p) {
            h.printf("<section class=\"side-by-side\"><h2>%s · %s</h2><div class=\"scroll\"><table "
                          "class=\"compare\" data-suite=\"%s\" data-pass=\"%s\"><thead><tr><th>Test</th>",
                    kSuites[s].title, kPasses[p].title, kSuites[s].title, kPasses[p].title);
            for (int r = 0; r < n; ++r) h.printf("<th class=\"num\">#%d</th>", r + 1);
            h.markup("</tr></thead><tbody>\n");
            for (int t = 0; t < kTestCount; ++t) {
                h.printf("<tr data-test=\"%s\"><th scope=\"row\">%s<small class=\"unit\">%s%s</small></th>",
                        g_catalogue[t].id, g_catalogue[t].name, g_catalogue[t].unit,
                        g_catalogue[t].lower_is_better ? " <span class=\"lower\">lower is better</span>" : "");
                for (int r = 0; r < n; ++r) {
                    char value[32];
                    format_figure(value, sizeof value, results[static_cast<size_t>(r)].summary.figures[s][p][t]);
                    h.open("td", {{"class", "num"}}).text(value);
                    if (r > 0) {
                        h.markup(" <small class=\"ratio\">");
                        append_ratio(h, ratio_at(r, s, p, t));
                        h.markup("</small>");
                    }
                    h.markup("</td>");
                }
                h.markup("</tr>\n");
            }
            h.markup("</tbody></table></div></section>\n");
        }
    }

    if (n < kMaxCompareIds) {
        std::string ids;
        for (int r = 0; r < n; ++r) ids += (r > 0 ? "," : "") + results[static_cast<size_t>(r)].summary.id;
        h.open("form", {{"class", "compare-with"}, {"method", "get"}, {"action", ctx.base_path + "/compare"}});
        h.open("input", {{"type", "hidden"}, {"name", "ids"}, {"value", ids}});
        h.markup("<label for=\"add\">Add another result</label><input id=\"add\" name=\"add\" type=\"text\" "
                   "maxlength=\"600\" placeholder=\"a result's link or id\" required><button "
                   "type=\"submit\">Add</button></form>\n");
    }
    page_end(&out);
    return out;
}

void page_compare(RouteCall& call) {
    const PageContext& ctx = call.pages;
    std::vector<std::string> ids;
    bool well_formed = true;
    const size_t given = call.query.count("ids");
    for (size_t i = 0; i < given && well_formed; ++i)
        well_formed = call.query.get("ids", i).size() <= 2048 && collect_ids(call.query.get("ids", i), &ids);
    if (well_formed && call.query.has("add"))
        well_formed = call.query.get("add").size() <= 2048 && collect_ids(call.query.get("add"), &ids);
    if (!well_formed)
        return send_message(call.res, ctx, 400, "Bad request", "The ids to compare must be result ids separated by commas.");
    if (ids.empty())
        return send_message(call.res, ctx, 400, "Nothing to compare",
                            "Pick results to compare: tick them in the list, or use the form on a result's page.");
    if (ids.size() > static_cast<size_t>(kMaxCompareIds)) {
        char text[96];
        std::snprintf(text, sizeof text, "At most %d results can be compared at once.", kMaxCompareIds);
        return send_message(call.res, ctx, 400, "Too many results", text);
    }
    std::vector<StoredResult> results(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        const StoreStatus status = call.ctx->store->get(ids[i], &results[i]);
        if (status == StoreStatus::not_found) {
            const std::string text = "There is no result with the id " + ids[i] + ".";
            return send_page(call.res, 404, render_message_page(ctx, 404, "Not found", text.c_str()));
        }
        if (status != StoreStatus::ok) return send_store_failure(call.res, ctx, status);
    }
    send_page(call.res, 200, render_compare_page(ctx, results));
}
