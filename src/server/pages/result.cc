// One result: machine, background check, the 22 rows of figures and charts;
// and the message page that every refusal shows.
#include <cmath>

#include "server/pages/charts.h"
#include "server/pages/html.h"
#include "server/listing.h"
#include "server/routes.h"
#include "server/service.h"

namespace {


void append_cache(Html& h, int64_t kb) {
    if (kb < 0) h.markup("unknown");
    else if (kb >= 1024 && kb % 1024 == 0) h.printf("%lld MB", static_cast<long long>(kb / 1024));
    else h.printf("%lld KB", static_cast<long long>(kb));
}

void append_text_item(Html& h, const char* term, const std::string& text) {
    h.element("dt", term).open("dd");
    if (text.empty()) h.markup("<span class=\"muted\">unknown</span>");
    else h.name(text);
    h.markup("</dd>");
}

// The figure shown for a pass: the summary column, which the store extracted
// from the same document.
double figure(const StoredResult& result, int suite, int pass, int test) {
    return result.summary.figures[suite][pass][test];
}

// N-core throughput over 1-core throughput. Rates, not displayed figures, so
// that memory latency scales the same way as the rest.
double scaling(const DocumentView& doc, const StoredResult& result, int suite, int test) {
    const PassView& multi = doc.tests[suite][kPassMulti][test];
    const PassView& single = doc.tests[suite][kPassSingle][test];
    if (multi.present && single.present) return multi.rate > 0 && single.rate > 0 ? multi.rate / single.rate : NAN;
    const double m = figure(result, suite, kPassMulti, test), s = figure(result, suite, kPassSingle, test);
    if (!(m > 0) || !(s > 0)) return NAN;
    return g_catalogue[test].lower_is_better ? s / m : m / s;
}

int64_t multi_threads(const DocumentView& doc, const StoredResult& result, int suite, int test) {
    const PassView& multi = doc.tests[suite][kPassMulti][test];
    return multi.present && multi.threads > 0 ? multi.threads : result.summary.threads;
}

void append_machine(Html& h, const StoredResult& result, const DocumentView& doc) {
    const ResultSummary& s = result.summary;
    h.markup("<section class=\"machine\"><h2>Machine</h2><dl class=\"facts\">");
    append_text_item(h, "CPU", s.cpu);
    append_text_item(h, "Model", s.model);
    h.printf("<dt>Cores / threads</dt><dd>%lld / %lld</dd>", static_cast<long long>(s.cores),
            static_cast<long long>(s.threads));
    h.markup("<dt>Memory</dt><dd>");
    if (doc.memory_mb >= 0) h.printf("%lld MB", static_cast<long long>(doc.memory_mb));
    else h.markup("unknown");
    h.markup("</dd><dt>Caches</dt><dd>L1 ");
    append_cache(h, doc.l1_cache_kb);
    h.markup(" · L2 ");
    append_cache(h, doc.l2_cache_kb);
    h.markup(" · L3 ");
    append_cache(h, doc.l3_cache_kb);
    h.markup("</dd>");
    append_text_item(h, "Operating system", s.operating_system);
    append_text_item(h, "Kernel", doc.kernel);
    append_text_item(h, "Compiler", s.compiler);
    append_text_item(h, "Architecture", doc.architecture);
    h.markup("</dl></section>\n");

    char date[40], duration[48];
    format_date(date, sizeof date, s.uploaded_at);
    if (doc.duration_ms >= 0) format_duration(duration, sizeof duration, static_cast<uint64_t>(doc.duration_ms));
    else std::snprintf(duration, sizeof duration, "unknown");
    h.markup("<section class=\"run\"><h2>Run</h2><dl class=\"facts\"><dt>Uploaded</dt>");
    h.element("dd", date, {{"id", "uploaded"}}).markup("<dt>Duration</dt>").element("dd", duration, {{"id", "duration"}});
    append_text_item(h, "Benchmark version", doc.version);
    append_text_item(h, "Workload suite", doc.suite);
    h.markup("</dl></section>\n");
}

// The check the benchmark runs before measuring; it warns at the same
// average load as the benchmark does.
void append_background(Html& h, const DocumentView& doc) {
    h.markup("<section class=\"background\" id=\"background\"><h2>Background check</h2>");
    const bool skipped = doc.sample_seconds <= 0 && doc.available_memory_mb < 0 && doc.process_count < 0;
    if (skipped) {
        h.markup("<p class=\"muted\">Skipped or unavailable: the run's figures were taken without checking "
                    "for other activity.</p></section>\n");
        return;
    }
    h.markup("<dl class=\"facts\">");
    if (doc.sample_seconds > 0)
        h.printf("<dt>Background CPU</dt><dd>%.1f%% average / %.1f%% peak over %lld s</dd>",
                doc.background_average, doc.background_peak, static_cast<long long>(doc.sample_seconds));
    else
        h.markup("<dt>Background CPU</dt><dd>no usable sample</dd>");
    if (doc.available_memory_mb >= 0) {
        h.printf("<dt>Available memory</dt><dd>%lld MB", static_cast<long long>(doc.available_memory_mb));
        if (doc.memory_mb >= 0) h.printf(" of %lld MB", static_cast<long long>(doc.memory_mb));
        h.markup("</dd>");
    }
    if (doc.process_count >= 0)
        h.printf("<dt>Processes</dt><dd>%lld</dd>", static_cast<long long>(doc.process_count));
    h.markup("</dl>");
    if (doc.sample_seconds > 0 && doc.background_average >= kBackgroundWarningPercent)
        h.markup("<p class=\"warning\" id=\"background-warning\">Warning: background CPU activity may have "
                    "reduced these scores.</p>");
    h.markup("</section>\n");
}

void append_figures(Html& h, const StoredResult& result, const DocumentView& doc) {
    h.markup("<section class=\"figures\"><h2>Figures</h2><div class=\"scroll\"><table class=\"figures\" "
                "id=\"figures\"><thead><tr><th>Test</th><th class=\"num\">N-core</th><th class=\"num\">1-core</th>"
                "<th class=\"num\">Scaling</th></tr></thead>\n");
    for (int s = 0; s < 2; ++s) {
        h.printf("<tbody data-suite=\"%s\"><tr class=\"suite\"><th colspan=\"4\">%s suite · %s</th></tr>\n",
                kSuites[s].key, kSuites[s].title, s == kSuiteRaw ? "hand-written assembly" : "portable C++");
        for (int t = 0; t < kTestCount; ++t) {
            char multi[32], single[32], scale[32];
            format_figure(multi, sizeof multi, figure(result, s, kPassMulti, t));
            format_figure(single, sizeof single, figure(result, s, kPassSingle, t));
            const double x = scaling(doc, result, s, t);
            if (std::isfinite(x)) std::snprintf(scale, sizeof scale, "×%.2f", x);
            else std::snprintf(scale, sizeof scale, "n/a");
            h.printf("<tr class=\"figure\" data-suite=\"%s\" data-test=\"%s\"><th scope=\"row\">%s"
                         "<small class=\"unit\">%s%s</small></th><td class=\"num\" title=\"%lld threads\">%s</td>"
                         "<td class=\"num\">%s</td><td class=\"num\">%s</td></tr>\n",
                    kSuites[s].key, g_catalogue[t].id, g_catalogue[t].name, g_catalogue[t].unit,
                    g_catalogue[t].lower_is_better ? " <span class=\"lower\">lower is better</span>" : "",
                    static_cast<long long>(multi_threads(doc, result, s, t)), multi, single, scale);
        }
        h.markup("</tbody>\n");
    }
    h.markup("</table></div><p class=\"note\">Scaling is N-core throughput divided by 1-core throughput.</p>"
                "</section>\n");
}

void append_charts(Html& h, const StoredResult& result, const DocumentView& doc) {
    ChartSeries suites[2];
    ChartSeries efficiency[2];
    for (int s = 0; s < 2; ++s) {
        suites[s].name = s == kSuiteRaw ? "RAW (assembly)" : "REAL (C++)";
        suites[s].key = kSuites[s].key;
        suites[s].colour = s;
        efficiency[s].name = suites[s].name;
        efficiency[s].key = kSuites[s].key;
        efficiency[s].colour = s;
        for (int t = 0; t < kTestCount; ++t) {
            const double v = figure(result, s, kPassMulti, t);
            // Bars show "better", so latency's bar is its inverse; the label keeps the figure.
            suites[s].values[t] = g_catalogue[t].lower_is_better ? (v > 0 ? 1.0 / v : NAN) : v;
            char text[32];
            format_figure(text, sizeof text, v);
            suites[s].labels[t] = text;
            const int64_t threads = multi_threads(doc, result, s, t);
            const double e = threads > 0 ? scaling(doc, result, s, t) / static_cast<double>(threads) : NAN;
            efficiency[s].values[t] = e;
            if (std::isfinite(e)) std::snprintf(text, sizeof text, "%.0f%%", e * 100);
            else std::snprintf(text, sizeof text, "n/a");
            efficiency[s].labels[t] = text;
        }
    }
    h.markup("<section class=\"charts\"><div class=\"chart-pair\"><div><h2>REAL against RAW</h2><p "
                "class=\"note\">N-core figures; each test's longer bar is the better one (for memory latency, the "
                "shorter time).</p>\n");
    append_bar_chart(h, ChartSpec{"chart-suites", "REAL against RAW, N-core, per test", ChartScale::per_test, 0,
                                    nullptr},
                     suites, 2);
    h.markup("</div><div><h2>Scaling efficiency</h2><p class=\"note\">Scaling divided by the thread count: "
                "100% means every thread ran as fast as one thread alone.</p>\n");
    append_bar_chart(h, ChartSpec{"chart-efficiency", "Scaling efficiency per test", ChartScale::linear, 1.0,
                                    "100%"},
                     efficiency, 2);
    h.markup("</div></div></section>\n");
}

// The headline scores first, then the four they are made of, and the flags
// that keep the result out of rankings and statistics.
void append_scores(Html& h, const StoredResult& result) {
    const ResultSummary& s = result.summary;
    h.markup("<section class=\"scores\"><h2>Scores</h2><dl class=\"facts\" id=\"scores\">");
    for (const int i : {kScoreMulti, kScoreSingle, kScoreRawMulti, kScoreRawSingle, kScoreRealMulti, kScoreRealSingle}) {
        if (s.scores[i] > 0) h.printf("<dt>%s</dt><dd data-score=\"%s\">%.0f</dd>", kScoreNames[i].title,
                                     kScoreNames[i].key, s.scores[i]);
        else h.printf("<dt>%s</dt><dd data-score=\"%s\">n/a</dd>", kScoreNames[i].title, kScoreNames[i].key);
    }
    h.markup("</dl>");
    if (s.flags != 0)
        h.element("p", "Flagged " + flag_names(s.flags) + ": left out of rankings and statistics.",
                  {{"class", "flags"}, {"id", "flags"}});
    h.markup("<p class=\"note\">1000 is the reference machine; higher is better.</p></section>\n");
}

}  // namespace

void append_result_body(Html& h, const StoredResult& result, const DocumentView& doc) {
    append_scores(h, result);
    append_machine(h, result, doc);
    append_background(h, doc);
    append_figures(h, result, doc);
    append_charts(h, result, doc);
}

void append_title(Html& h, const StoredResult& result) {
    h.open("h1", {{"class", "cpu"}, {"id", "cpu"}}).name(result.summary.cpu).close("h1");
    if (!result.summary.label.empty()) {
        h.open("p", {{"class", "subtitle"}}).open("span", {{"class", "label"}, {"id", "label"}});
        h.name(result.summary.label).close("span").close("p");
    }
    if (!result.summary.listed) h.markup("<p class=\"muted\">Unlisted: reachable by link only.</p>");
    h.markup("\n");
}

std::string render_result_page(const PageContext& ctx, const StoredResult& result, int64_t below, int64_t of) {
    DocumentView doc;
    read_document(result.document, &doc);
    std::string out;
    out.reserve(48 * 1024);
    Html h(&out);
    page_begin(&out, ctx, result.summary.cpu);
    append_title(h, result);
    if (of >= kMinStanding && result.summary.flags == 0) {
        h.printf("<p class=\"standing\" id=\"standing\">Faster than %lld%% of %lld results for ",
                 static_cast<long long>(below * 100 / of), static_cast<long long>(of));
        h.element("a", "this processor", {{"href", cpu_url(ctx.base_path, result.summary.processor_key)}});
        h.markup(".</p>\n");
    }
    append_result_body(h, result, doc);

    h.markup("<section class=\"more\"><h2>More</h2><p>");
    h.element("a", "The document as uploaded (JSON)",
              {{"id", "raw-document"}, {"href", ctx.base_path + "/api/v1/results/" + result.summary.id}});
    h.markup("</p>\n").open("form", {{"class", "compare-with"}, {"method", "get"}, {"action", ctx.base_path + "/compare"}});
    h.open("input", {{"type", "hidden"}, {"name", "ids"}, {"value", result.summary.id}});
    h.markup("<label for=\"add\">Compare with…</label><input id=\"add\" name=\"add\" type=\"text\" "
               "maxlength=\"600\" placeholder=\"another result's link or id\" required>"
               "<button type=\"submit\">Compare</button></form>\n<p class=\"muted\">Result id: <code>");
    h.text(result.summary.id).markup("</code></p></section>\n");
    page_end(&out);
    return out;
}

std::string render_message_page(const PageContext& ctx, int status, const char* title, const char* message) {
    std::string out;
    Html h(&out);
    page_begin(&out, ctx, title);
    h.printf("<h1>%d · ", status);
    h.text(title).close("h1").element("p", message, {{"class", "message"}});
    h.open("p").element("a", "Recent results", {{"href", ctx.base_path + "/"}}).close("p").newline();
    page_end(&out);
    return out;
}

void page_result(RouteCall& call) {
    StoredResult result;
    const StoreStatus status = call.ctx->store->get(call.arg, &result);
    if (status != StoreStatus::ok) return send_store_failure(call.res, call.pages, status);
    int64_t below = 0, of = 0;
    // The standing is a nicety: without it the page still answers.
    if (call.ctx->store->processor_rank(result.summary.processor_key, result.summary.scores[kScoreMulti], &below,
                                        &of) != StoreStatus::ok)
        of = 0;
    send_page(call.res, 200, render_result_page(call.pages, result, below, of));
}
