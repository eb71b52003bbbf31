// The page renderers: escaping of stored texts, the result page's figures,
// charts and background warning, and the compare page's ratios.
#include <gtest/gtest.h>

#include <cmath>

#include "server/pages_harness.h"
#include "server/pages_internal.h"

namespace {

const std::string kHostile = "<script>alert(1)</script><img src=x onerror=alert(2)>\"'><svg onload=alert(3)>&amp;";

TEST(HtmlEscape, EscapesMarkupAndDropsControls) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain CPU @ 3.00GHz", "plain CPU @ 3.00GHz"},
        {"<b>&\"'", "&lt;b&gt;&amp;&quot;&#39;"},
        {std::string("a\0b\x01\x7f" "c\td", 8), "abc\td"},
        {"Ünïcødé ✓", "Ünïcødé ✓"},
    };
    for (const auto& c : cases) EXPECT_EQ(html_escape(c.in), c.out) << c.in;
}

// Every stored text of a result carries markup; no page may let any of it
// through as markup, in element content or in attribute values.
TEST(Pages, StoredTextsNeverBecomeMarkup) {
    PageContext ctx;
    StoredResult r = make_result("id1", kHostile);
    r.summary.model = kHostile;
    r.summary.operating_system = kHostile;
    r.summary.compiler = kHostile;
    r.summary.label = kHostile;
    nlohmann::json doc = nlohmann::json::parse(r.document);
    doc["score_details"]["system_environment"]["kernel"] = kHostile;
    doc["architecture"] = kHostile;
    r.document = doc.dump();
    StoredResult other = make_result("id2", kHostile, 2.0);
    other.summary.label = kHostile;
    ListQuery query;
    query.cpu_contains = kHostile;

    const struct {
        const char* name;
        std::string html;
    } pages[] = {
        {"list", render_list_page(ctx, query, {r.summary, other.summary}, 2)},
        {"result", render_result_page(ctx, r)},
        {"compare", render_compare_page(ctx, {r, other})},
        {"claim", render_claim_page(ctx, r, "code", "notice")},
        {"confirm", render_delete_confirm_page(ctx, r, "code")},
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(page.name);
        EXPECT_EQ(page.html.find("<script"), std::string::npos);
        EXPECT_EQ(page.html.find("<img"), std::string::npos);
        EXPECT_EQ(page.html.find("<svg onload"), std::string::npos);
        EXPECT_EQ(page.html.find("\"'>"), std::string::npos);  // an attribute value broken out of
        EXPECT_EQ(count_of(page.html, "<svg"), count_of(page.html, "<svg class=\"chart\""));
        EXPECT_NE(page.html.find("&lt;script&gt;alert(1)&lt;/script&gt;&lt;img src=x onerror=alert(2)&gt;"),
                  std::string::npos);
        EXPECT_NE(page.html.find("&amp;amp;"), std::string::npos);  // escaped once more, never decoded
    }
}

TEST(Pages, ResultPageHasEveryFigureAndOneBarPerTestPerSuite) {
    PageContext ctx;
    const std::string html = render_result_page(ctx, make_result("abc", "Sample CPU"));
    EXPECT_EQ(count_of(html, "<tr class=\"figure\""), 2 * kTestCount);
    for (const char* chart : {"id=\"chart-suites\"", "id=\"chart-efficiency\""}) {
        const size_t start = html.find(chart);
        ASSERT_NE(start, std::string::npos) << chart;
        const std::string svg = html.substr(start, html.find("</svg>", start) - start);
        EXPECT_EQ(count_of(svg, "class=\"bar c0\" data-test="), kTestCount) << chart;
        EXPECT_EQ(count_of(svg, "class=\"bar c1\" data-test="), kTestCount) << chart;
    }
    // The golden document's figures as the table shows them, latency included.
    for (const char* figure : {">1000<", ">125.2<", ">33.16<", ">85.71<", ">9900<"})
        EXPECT_NE(html.find(figure), std::string::npos) << figure;
    EXPECT_EQ(count_of(html, "lower is better"), 2);
    EXPECT_NE(html.find("/api/v1/results/abc\""), std::string::npos);
    // Golden scaling 1000.5 / 125.25 on 8 threads.
    EXPECT_NE(html.find("×7.99"), std::string::npos);
    EXPECT_NE(html.find(">100%<"), std::string::npos);
}

TEST(Pages, BackgroundWarningFollowsTheBenchmarksThreshold) {
    const struct {
        int samples;
        double average;
        int64_t memory, processes;
        bool warned, skipped;
    } cases[] = {
        {10, 2.5, 8123, 312, false, false},
        {10, 10.0, 8123, 312, true, false},
        {10, 9.95, 8123, 312, false, false},
        {0, 0.0, 8123, 312, false, false},  // every sample dropped: the other figures still shown
        {0, 0.0, -1, -1, false, true},      // --no-system-check
    };
    for (const auto& c : cases) {
        StoredResult r = make_result("abc", "cpu");
        nlohmann::json doc = nlohmann::json::parse(r.document);
        nlohmann::json& env = doc["score_details"]["system_environment"];
        env["sample_seconds"] = c.samples;
        env["background_cpu_average_percent"] = c.average;
        env["available_memory_mb"] = c.memory;
        env["process_count"] = c.processes;
        r.document = doc.dump();
        const std::string html = render_result_page(PageContext(), r);
        SCOPED_TRACE(c.average);
        EXPECT_EQ(html.find("id=\"background-warning\"") != std::string::npos, c.warned);
        EXPECT_EQ(html.find("Skipped or unavailable") != std::string::npos, c.skipped);
        EXPECT_EQ(html.find("<dt>Processes</dt><dd>312</dd>") != std::string::npos, !c.skipped);
    }
}

TEST(Pages, CompareRatiosAreHigherIsBetterWithLatencyInverted) {
    EXPECT_DOUBLE_EQ(figure_ratio(0, 100, 200), 2.0);
    EXPECT_DOUBLE_EQ(figure_ratio(kMemoryLatencyIndex, 100, 50), 2.0);
    EXPECT_TRUE(std::isnan(figure_ratio(0, 0, 200)));
    const double mixed[] = {2.0, 8.0, NAN, 0.0};
    EXPECT_DOUBLE_EQ(geometric_mean(mixed, 4), 4.0);
    EXPECT_TRUE(std::isnan(geometric_mean(mixed + 2, 2)));

    // A machine twice as fast at everything (latency halved) is ×2 overall
    // in each suite and pass, and ×0.5 the other way round.
    const StoredResult base = make_result("a", "Base"), fast = make_result("b", "Fast", 2.0);
    for (const auto& [order, expected] : {std::pair{std::vector{base, fast}, "×2.00"},
                                          std::pair{std::vector{fast, base}, "×0.50"}}) {
        const std::string html = render_compare_page(PageContext(), order);
        const size_t start = html.find("id=\"overall\"");
        const std::string overall = html.substr(start, html.find("</table>", start) - start);
        EXPECT_EQ(count_of(overall, std::string(">") + expected + "<"), 4) << expected;
        // Log-scale chart per suite: one bar per test for the second result.
        EXPECT_EQ(count_of(html, "data-series=\"r2\""), 2 * kTestCount);
        // The latency row of each table shows the inverted ratio too.
        EXPECT_EQ(count_of(html, std::string("<small class=\"ratio\">") + expected + "</small>"), 4 * kTestCount);
    }
}

}  // namespace
