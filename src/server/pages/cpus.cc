// The processors: /cpus lists them with their result counts and median
// headline scores; /cpus/KEY shows one processor's statistics, a histogram
// of its multi-core scores and its results. Built with the HTML builder.
#include <algorithm>
#include <cstdio>

#include "server/cpu_stats.h"
#include "server/listing.h"
#include "server/pages/html.h"
#include "server/pages/internal.h"
#include "server/routes.h"
#include "server/service.h"

std::string score_text(double score) {
    if (!(score > 0)) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", score);
    return text;
}

namespace {

std::string figure_text(double value) {
    char text[32];
    format_figure(text, sizeof text, value);
    return text;
}

std::string cpus_url(const std::string& base, const char* sort, int with_flagged) {
    return base + "/cpus?sort=" + sort + (with_flagged ? "&flagged=1" : "");
}

// A histogram as inline SVG: one bar per bin, heights relative to the
// fullest bin; its only texts are numbers made here.
std::string histogram_svg(const CpuStats& stats) {
    int64_t fullest = 1;
    for (int64_t n : stats.bins) fullest = std::max(fullest, n);
    constexpr double kWidth = 600, kHeight = 160, kBar = kWidth / kHistogramBins;
    std::string svg;
    appendf(&svg, "<svg class=\"chart histogram\" id=\"histogram\" viewBox=\"0 0 %.0f %.0f\" role=\"img\" "
                  "aria-label=\"Multi-core scores from %.0f to %.0f in %d bins\">",
            kWidth, kHeight + 20, stats.low, stats.high, kHistogramBins);
    for (int i = 0; i < kHistogramBins; ++i) {
        const double h = kHeight * static_cast<double>(stats.bins[i]) / static_cast<double>(fullest);
        appendf(&svg, "<rect class=\"bar c0\" data-count=\"%lld\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>",
                static_cast<long long>(stats.bins[i]), i * kBar + 1, kHeight - h, kBar - 2, h);
    }
    appendf(&svg, "<text x=\"0\" y=\"%.0f\">%.0f</text><text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\">%.0f</text></svg>",
            kHeight + 16, stats.low, kWidth, kHeight + 16, stats.high);
    return svg;
}

void append_distribution_cells(Html& h, const Distribution& d, bool is_score) {
    auto shown = [&](double v) { return is_score ? score_text(v) : figure_text(v); };
    h.element("td", shown(d.median), {{"class", "num"}});
    h.element("td", shown(d.p10) + " – " + shown(d.p90), {{"class", "num"}});
}

// One processor's row of the list, and what it shows (the key it is kept under).
std::string cpu_row(const PageContext& ctx, const CpuEntry& c) {
    std::string out;
    Html h(&out);
    h.open("tr", {{"class", "cpu"}, {"data-key", c.processor_key}});
    h.open("td", {{"data-label", "Processor"}}).open("a", {{"href", cpu_url(ctx.base_path, c.processor_key)}});
    h.name(c.cpu).close("a");
    h.close("td").element("td", c.architecture, {{"data-label", "Arch"}});
    h.element("td", std::to_string(c.count), {{"class", "num"}, {"data-label", "Results"}});
    h.element("td", score_text(c.median_multi), {{"class", "num"}, {"data-label", "Multi-core"}});
    h.element("td", score_text(c.median_single), {{"class", "num"}, {"data-label", "Single-core"}});
    h.close("tr").newline();
    return out;
}
std::string cpu_row_key(const CpuEntry& c) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "\n%lld %a %a", static_cast<long long>(c.count), c.median_multi,
                  c.median_single);
    return c.processor_key + '\n' + c.cpu + '\n' + c.architecture + numbers;
}

}  // namespace

std::string render_cpus_page(const PageContext& ctx, const std::vector<CpuEntry>& cpus, int with_flagged,
                             CpuRows* rows) {
    std::string out;
    page_begin(&out, ctx, "Processors");
    Html h(&out);
    h.element("h1", "Processors");
    h.open("p", {{"class", "note"}}).text("Results grouped by architecture and CPU name; medians of the "
                                          "headline scores. ");
    if (with_flagged) h.element("a", "Leave flagged results out", {{"href", cpus_url(ctx.base_path, "name", 0)}});
    else h.element("a", "Count flagged results too", {{"href", cpus_url(ctx.base_path, "name", 1)}});
    h.close("p").newline();
    if (cpus.empty()) {
        h.element("p", "No results here yet.", {{"class", "empty"}});
        page_end(&out);
        return out;
    }
    h.open("div", {{"class", "scroll"}}).open("table", {{"class", "results"}, {"id", "cpus"}}).open("thead").open("tr");
    h.open("th").element("a", "Processor", {{"href", cpus_url(ctx.base_path, "name", with_flagged)}}).close("th");
    h.element("th", "Arch");
    h.open("th", {{"class", "num"}}).element("a", "Results", {{"href", cpus_url(ctx.base_path, "count", with_flagged)}});
    h.close("th").open("th", {{"class", "num"}});
    h.element("a", "Multi-core", {{"href", cpus_url(ctx.base_path, "multi", with_flagged)}}).close("th");
    h.open("th", {{"class", "num"}});
    h.element("a", "Single-core", {{"href", cpus_url(ctx.base_path, "single", with_flagged)}}).close("th");
    h.close("tr").close("thead").open("tbody").newline();
    CpuRows shown;
    for (const CpuEntry& c : cpus) {
        if (rows == nullptr) {
            out += cpu_row(ctx, c);
            continue;
        }
        std::string key = cpu_row_key(c);
        const auto before = rows->find(key);
        std::string row = before != rows->end() ? std::move(before->second) : cpu_row(ctx, c);
        out += row;
        shown.emplace(std::move(key), std::move(row));
    }
    if (rows != nullptr) *rows = std::move(shown);
    h.close("tbody").close("table").close("div").newline();
    page_end(&out);
    return out;
}

std::string render_cpu_page(const PageContext& ctx, const CpuEntry& newest, const CpuStats& stats,
                            const std::vector<ResultSummary>& results, int with_flagged) {
    std::string out;
    page_begin(&out, ctx, newest.cpu);
    Html h(&out);
    h.open("h1", {{"class", "cpu"}, {"id", "cpu"}}).name(newest.cpu).close("h1");
    h.open("p", {{"class", "subtitle"}, {"id", "count"}});
    h.text(newest.architecture + " · " + std::to_string(stats.count) + (stats.count == 1 ? " result" : " results"));
    h.text(with_flagged ? " (flagged ones included) · " : " (flagged ones left out) · ");
    h.element("a", with_flagged ? "leave flagged out" : "include flagged",
              {{"href", cpu_url(ctx.base_path, newest.processor_key) + (with_flagged ? "" : "?flagged=1")}});
    h.close("p").newline();

    h.open("section", {{"class", "scores"}}).element("h2", "Scores");
    h.open("div", {{"class", "scroll"}}).open("table", {{"class", "overall"}, {"id", "score-stats"}});
    h.open("thead").open("tr").element("th", "Score").element("th", "Median", {{"class", "num"}});
    h.element("th", "10th – 90th percentile", {{"class", "num"}}).close("tr").close("thead").open("tbody");
    for (const int i : {kScoreMulti, kScoreSingle, kScoreRawMulti, kScoreRawSingle, kScoreRealMulti, kScoreRealSingle}) {
        h.open("tr", {{"data-score", kScoreNames[i].key}}).element("th", kScoreNames[i].title, {{"scope", "row"}});
        append_distribution_cells(h, stats.scores[i], true);
        h.close("tr").newline();
    }
    h.close("tbody").close("table").close("div");
    h.element("h3", "Multi-core scores");
    h.chart_markup(histogram_svg(stats));
    h.close("section").newline();

    h.open("section", {{"class", "figures"}}).element("h2", "Figures");
    h.open("div", {{"class", "scroll"}}).open("table", {{"class", "figures"}, {"id", "figure-stats"}});
    h.open("thead").open("tr").element("th", "Test").element("th", "Pass");
    h.element("th", "Median", {{"class", "num"}}).element("th", "10th – 90th percentile", {{"class", "num"}});
    h.close("tr").close("thead").open("tbody");
    for (int s = 0; s < 2; ++s)
        for (int t = 0; t < kTestCount; ++t)
            for (int p = 0; p < 2; ++p) {
                h.open("tr", {{"data-test", g_catalogue[t].id}});
                h.element("th", std::string(kSuites[s].title) + " " + g_catalogue[t].name + ", " + g_catalogue[t].unit,
                          {{"scope", "row"}});
                h.element("td", kPasses[p].title);
                append_distribution_cells(h, stats.figures[s][p][t], false);
                h.close("tr").newline();
            }
    h.close("tbody").close("table").close("div").close("section").newline();

    h.open("section", {{"class", "members"}}).element("h2", "Results");
    h.open("ol", {{"id", "members"}});
    for (size_t i = 0; i < results.size() && i < kMaxResultsShown; ++i) {
        const ResultSummary& r = results[i];
        h.open("li").element("a", score_text(r.scores[kScoreMulti]) + " / " + score_text(r.scores[kScoreSingle]),
                             {{"href", result_url(ctx.base_path, r.id)}});
        if (!r.label.empty()) h.text(" ").open("span", {{"class", "label"}}).name(r.label).close("span");
        if (r.flags != 0) h.text(" ").element("span", flag_names(r.flags), {{"class", "flag"}});
        h.close("li");
    }
    h.close("ol");
    if (stats.count > kMaxResultsShown)
        h.element("p", "The best " + std::to_string(kMaxResultsShown) + " by multi-core score.", {{"class", "note"}});
    h.close("section").newline();
    page_end(&out);
    return out;
}

void page_cpus(RouteCall& call) {
    const std::string sort = call.query.get("sort");
    const std::string flagged = call.query.get("flagged");
    if ((sort != "" && sort != "name" && sort != "count" && sort != "multi" && sort != "single") ||
        (flagged != "" && flagged != "0" && flagged != "1"))
        return send_message(call.res, call.pages, 400, "Bad order", "Order by name, count, multi or single.");
    // The version is read before the list: a list newer than its version is
    // only rendered again once more.
    int64_t version = 0;
    StoreStatus status = call.ctx->store->stats_version(&version);
    if (status != StoreStatus::ok) return send_store_failure(call.res, call.pages, status);
    RenderedCpuLists* kept = call.ctx->cpu_lists.get();
    const std::string key = sort + (flagged == "1" ? "&flagged" : "");
    {
        std::lock_guard<std::mutex> lock(kept->mutex);
        const auto found = kept->pages.find(key);
        if (found != kept->pages.end() && found->second.first == version)
            return send_page(call.res, 200, std::string(found->second.second));
    }
    std::vector<CpuEntry> cpus;
    status = call.ctx->store->cpu_list(flagged == "1", &cpus);
    if (status != StoreStatus::ok) return send_store_failure(call.res, call.pages, status);
    auto by = [&](auto key) {
        std::stable_sort(cpus.begin(), cpus.end(), [&](const CpuEntry& a, const CpuEntry& b) { return key(a) > key(b); });
    };
    if (sort == "count") by([](const CpuEntry& c) { return static_cast<double>(c.count); });
    if (sort == "multi") by([](const CpuEntry& c) { return c.median_multi; });
    if (sort == "single") by([](const CpuEntry& c) { return c.median_single; });
    std::string body;
    {
        std::lock_guard<std::mutex> lock(kept->mutex);
        body = render_cpus_page(call.pages, cpus, flagged == "1", &kept->rows[flagged == "1"]);
        kept->pages[key] = {version, body};
    }
    send_page(call.res, 200, std::move(body));
}

void page_cpu(RouteCall& call) {
    const int with_flagged = call.query.get("flagged") == "1";
    CpuEntry entry;
    CpuStats stats;
    StoreStatus status = call.ctx->store->cpu_stats(call.arg, with_flagged, &entry, &stats);
    int shown_flagged = with_flagged;
    // A processor whose results are all flagged still has a page: with them.
    if (status == StoreStatus::not_found && !with_flagged) {
        status = call.ctx->store->cpu_stats(call.arg, 1, &entry, &stats);
        shown_flagged = 1;
    }
    if (status != StoreStatus::ok) return send_store_failure(call.res, call.pages, status);
    std::vector<ResultSummary> results;
    status = call.ctx->store->cpu_results(call.arg, shown_flagged, kMaxResultsShown, &results);
    // not_found: the statistics are a moment older than the last result's deletion; none shown.
    if (status != StoreStatus::ok && status != StoreStatus::not_found)
        return send_store_failure(call.res, call.pages, status);
    send_page(call.res, 200, render_cpu_page(call.pages, entry, stats, results, shown_flagged));
}
