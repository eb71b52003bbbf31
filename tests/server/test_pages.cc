// The pages: escaping, the result page's figures and warning, and over HTTP
// the claim forms, paging and the base path.
#include <cmath>
#include <cstdio>

#include "server/harness.h"
#include "server/pages/internal.h"

namespace {

using nlohmann::json;

const char kForm[] = "application/x-www-form-urlencoded";
const std::string kHostile = "<script>alert(1)</script><img src=x onerror=alert(2)>\"'><svg onload=alert(3)>&amp;";

TEST(HtmlEscape, EscapesMarkupAndDropsControls) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain CPU @ 3.00GHz", "plain CPU @ 3.00GHz"},
        {"<b>&\"'", "&lt;b&gt;&amp;&quot;&#39;"},
        {std::string("a\0b\x01\x7f" "c\td", 8), "abc\td"},
        {"x\x1f\x20y", "x y"},  // the top of the control range goes, the space after it stays
        {"Ünïcødé ✓", "Ünïcødé ✓"},
        // Bidi controls and zero-width characters are shown by name.
        {"Intel\u202E3 2 1\u202C", "IntelU+202E3 2 1U+202C"},
        {"A\u200BM\u200DD\u2066x\u2069\uFEFF\u061C", "AU+200BMU+200DDU+2066xU+2069U+FEFFU+061C"},
        {"\u2010\u2070\u201C", "\u2010\u2070\u201C"},  // neighbours of those ranges stay
    };
    for (const auto& c : cases) EXPECT_EQ(html_escape(c.in), c.out) << c.in;
}

// The golden document's figures as the result page shows them (latency as
// the time per access), and its scaling 1000.5 / 125.25 on 8 threads with its
// efficiency. The browser test checks the page's rows and charts.
TEST(Pages, ResultPageFigures) {
    const std::string html = render_result_page(PageContext(), make_result("abc", "Sample CPU"));
    for (const char* shown : {">1000<", ">125.2<", ">33.16<", ">85.71<", ">9900<", "×7.99", ">100%<"})
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
}

// The golden document samples 10 s at 2.5 % on average, 8123 MB free, 312 processes.
TEST(Pages, BackgroundWarningFollowsTheBenchmarksThreshold) {
    const struct {
        const char* environment;  // what changes in the golden document's
        bool warned, skipped;
    } cases[] = {
        {"{}", false, false},
        {R"({"background_cpu_average_percent": 10.0})", true, false},
        {R"({"background_cpu_average_percent": 9.95})", false, false},
        // Every sample dropped: the other figures still shown.
        {R"({"sample_seconds": 0, "background_cpu_average_percent": 0})", false, false},
        {R"({"sample_seconds": 0, "background_cpu_average_percent": 0, "available_memory_mb": -1,
             "process_count": -1})", false, true},  // --no-system-check
    };
    for (const auto& c : cases) {
        StoredResult r = make_result("abc", "cpu");
        nlohmann::json doc = nlohmann::json::parse(r.document);
        doc["score_details"]["system_environment"].update(nlohmann::json::parse(c.environment));
        r.document = doc.dump();
        const std::string html = render_result_page(PageContext(), r);
        SCOPED_TRACE(c.environment);
        EXPECT_EQ(html.find("id=\"background-warning\"") != std::string::npos, c.warned);
        EXPECT_EQ(html.find("Skipped or unavailable") != std::string::npos, c.skipped);
        EXPECT_EQ(html.find("<dt>Processes</dt><dd>312</dd>") != std::string::npos, !c.skipped);
    }
}

// The browser test checks the ratios themselves; here a figure of 0, which
// has no ratio and leaves the overall mean.
TEST(Pages, CompareRatiosSkipFiguresWithoutARatio) {
    EXPECT_TRUE(std::isnan(figure_ratio(0, 0, 200)));
    const double mixed[] = {2.0, 8.0, NAN, 0.0};
    EXPECT_DOUBLE_EQ(geometric_mean(mixed, 4), 4.0);
    EXPECT_TRUE(std::isnan(geometric_mean(mixed + 2, 2)));
}

using PageRoutes = SeededTest;

// An uploaded result whose every text carries markup, and its owner's label:
// no page may let any of it through as markup, in element content or in
// attribute values. The escaping itself is the table above.
TEST_P(PageRoutes, HostileUploadArrivesEscapedInEveryPage) {
    TestServer server(store(), options_with({"--upload-limit", "0"}));
    httplib::Client client = server.client();
    json doc = json::parse(golden_document());
    for (const char* field : {"cpu", "model", "operating_system", "compiler"}) doc[field] = kHostile;
    doc["score_details"]["system_environment"]["kernel"] = kHostile;
    const auto posted = client.Post("/api/v1/submissions", doc.dump(), "application/json");
    ASSERT_EQ(posted->status, 201) << posted->body;
    const std::string id = json::parse(posted->body)["id"];
    const std::string claim = json::parse(posted->body)["claim_url"];
    const std::string claim_path = claim.substr(claim.find("/claim/"));
    std::string encoded;
    for (unsigned char c : kHostile) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        encoded += hex;
    }
    ASSERT_EQ(client.Post(claim_path, "action=save&listed=1&label=" + encoded, kForm)->status, 303);

    const struct {
        const char* name;
        httplib::Result res;
    } pages[] = {
        {"list", client.Get("/?cpu=" + encoded)},
        {"result", client.Get("/results/" + id)},
        {"compare", client.Get("/compare?ids=first," + id)},
        {"claim", client.Get(claim_path)},
        {"confirm", client.Post(claim_path, "action=delete", kForm)},
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(page.name);
        ASSERT_TRUE(page.res);
        ASSERT_EQ(page.res->status, 200);
        const std::string& html = page.res->body;
        // "\"'>": an attribute value broken out of.
        for (const char* never : {"<script", "<img", "<svg onload", "\"'>"})
            EXPECT_EQ(html.find(never), std::string::npos) << never;
        EXPECT_EQ(count_of(html, "<svg"), count_of(html, "<svg class=\"chart\""));
        EXPECT_NE(html.find("&amp;amp;"), std::string::npos);  // escaped once more, never decoded
        // Escaped once, and isolated so that no name's direction reorders its
        // neighbours.
        EXPECT_NE(html.find("<bdi>&lt;script&gt;alert(1)"), std::string::npos);
    }
}

// The browser test walks the claim flow as a visitor; here the answers it
// cannot see: no caching, wrong codes, and refused forms that change nothing.
TEST_P(PageRoutes, ClaimPageRefusesWhatItCannotTake) {
    TestServer server(store());
    httplib::Client client = server.client();
    EXPECT_EQ(client.Get("/claim/code-first")->get_header_value("Cache-Control"), "no-store");
    auto saved = client.Post("/claim/code-first", "label=%20stock%0Acooler%20&action=save", kForm);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 303);
    EXPECT_EQ(saved->get_header_value("Location"), "/claim/code-first?notice=unlisted");
    const struct {
        std::string body;
        const char* type;
        int status;
        const char* code = "code-first";
    } refused[] = {
        {"action=save&listed=1&label=" + std::string(121, 'x'), kForm, 422},
        {"action=save&listed=1&label=%FF%FE", kForm, 422},
        {"action=save&listed=1&label=" + std::string(5000, 'x'), kForm, 413},
        {"action=save&listed=1&label=x", "text/plain", 415},
        {"action=explode", kForm, 400},
        {"action=delete", kForm, 200},  // only asks
        // A wrong code changes nothing and looks like any other missing page.
        {"action=delete_confirmed", kForm, 404, "code-wrong"},
    };
    StoredResult r;
    for (const auto& c : refused) {
        const auto res = client.Post(std::string("/claim/") + c.code, c.body, c.type);
        EXPECT_EQ(res->status, c.status) << c.body.substr(0, 40);
        EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
        ASSERT_EQ(store()->get("first", &r), StoreStatus::ok);
        EXPECT_EQ(r.summary.label, "stock cooler");
        EXPECT_EQ(r.summary.listed, 0);
    }
    EXPECT_EQ(client.Post("/claim/code-first", "action=delete_confirmed", kForm)->status, 200);
    EXPECT_EQ(store()->get("first", &r), StoreStatus::not_found);
    EXPECT_EQ(store()->get("second", &r), StoreStatus::ok);
}

// The pager's links carry cursors: older and back to newer again, in either
// order, with the filter kept.
TEST_P(PageRoutes, PagerWalksByCursorAndKeepsTheFilter) {
    for (int i = 0; i < 45; ++i) {
        const std::string id = "r" + std::to_string(i);
        backend.add(make_result(id, "Big & Fast " + id, 1.0 + i, 1700000000 + i), id);
    }
    TestServer server(store());
    httplib::Client client = server.client();
    // The link of the given rel on a page, unescaped; "" when there is none.
    const auto link = [](const std::string& body, const char* rel) {
        const std::string start = std::string("rel=\"") + rel + "\" href=\"";
        const size_t at = body.find(start);
        if (at == std::string::npos) return std::string();
        std::string href = body.substr(at + start.size(), body.find('"', at + start.size()) - at - start.size());
        for (size_t amp; (amp = href.find("&amp;")) != std::string::npos;) href.replace(amp, 5, "&");
        return href;
    };
    for (const char* sort : {"", "&sort=multi"}) {
        SCOPED_TRACE(sort);
        const struct {
            const char* rel;  // followed from the page before
            int rows;
            const char* first;
            bool newer, older;
        } steps[] = {
            {nullptr, 20, "r44", false, true}, {"next", 20, "r24", true, true}, {"next", 5, "r4", true, false},
            {"prev", 20, "r24", true, true},   {"prev", 20, "r44", false, true},
        };
        std::string body = client.Get(std::string("/?cpu=big+%26+fast") + sort)->body;
        for (const auto& s : steps) {
            if (s.rel) {
                const std::string href = link(body, s.rel);
                ASSERT_EQ(href.rfind(std::string("/?cpu=big%20%26%20fast&") + (*sort ? "sort=multi&" : "") +
                                         (s.rel[0] == 'n' ? "after=" : "before="), 0),
                          0u)
                    << href;
                const auto res = client.Get(href);
                ASSERT_EQ(res->status, 200) << href;
                body = res->body;
            }
            SCOPED_TRACE(s.first);
            EXPECT_EQ(count_of(body, "<tr class=\"result\""), s.rows);
            EXPECT_NE(body.find(std::string("<tr class=\"result\" data-id=\"") + s.first + "\""), std::string::npos);
            EXPECT_EQ(link(body, "prev") != "", s.newer);
            EXPECT_EQ(link(body, "next") != "", s.older);
        }
    }
    for (const char* bad : {"/?after=12", "/?before=x_1", "/?after=1_2&before=1_2"})
        EXPECT_EQ(client.Get(bad)->status, 400) << bad;
}

// Pages live under the public URL's path; the API answers there and at the
// root. In unlisted mode uploads are reachable by link only.
TEST_P(PageRoutes, EverythingLivesUnderTheBasePath) {
    TestServer server(store(), options_with({"--public-url", "https://x.example/bench-q/", "--unlisted"}));
    httplib::Client client = server.client();
    const auto front = client.Get("/bench-q/");
    ASSERT_TRUE(front);
    EXPECT_EQ(front->status, 200);
    EXPECT_NE(front->body.find("href=\"/bench-q/style.css\""), std::string::npos);
    EXPECT_NE(front->body.find("href=\"/bench-q/results/first\""), std::string::npos);
    const auto bare = client.Get("/bench-q");
    EXPECT_EQ(bare->status, 308);
    EXPECT_EQ(bare->get_header_value("Location"), "/bench-q/");
    EXPECT_EQ(client.Get("/")->status, 404);
    EXPECT_EQ(client.Get("/bench-qx/")->status, 404);
    const auto saved = client.Post("/bench-q/claim/code-first", "action=save&listed=1", kForm);
    EXPECT_EQ(saved->get_header_value("Location"), "/bench-q/claim/code-first?notice=saved");

    ASSERT_EQ(client.Post("/api/v1/submissions", golden_document(), "application/json")->status, 201);
    const auto posted = client.Post("/bench-q/api/v1/submissions", golden_document(), "application/json");
    ASSERT_EQ(posted->status, 201);
    const std::string id = nlohmann::json::parse(posted->body)["id"];
    EXPECT_EQ(nlohmann::json::parse(posted->body)["result_url"], "https://x.example/bench-q/results/" + id);
    EXPECT_EQ(client.Get("/bench-q/api/v1/results/" + id)->status, 200);
    EXPECT_EQ(client.Get("/api/v1/results/" + id)->status, 200);
    EXPECT_EQ(nlohmann::json::parse(client.Get("/bench-q/api/v1/results?total=1")->body)["total"], 2);
}

// Scores rank the list and the API, flagged results are marked and kept out
// of the ranking, and a result page says where it stands among its
// processor's results once there are enough of them.
TEST_P(PageRoutes, ScoresRankResultsAndPlaceThemAmongTheirProcessor) {
    const double speeds[] = {0.5, 0.8, 1.2, 3.0};
    for (int i = 0; i < 4; ++i) backend.add(make_result("alpha" + std::to_string(i), "alpha  CPU", speeds[i]), "c" + std::to_string(i));
    backend.add(make_result("again", "Alpha CPU", 1.0, 1800000000), "c");  // the bytes of "first"
    TestServer server(store());
    httplib::Client client = server.client();

    const json ranked = json::parse(client.Get("/api/v1/results?sort=multi&limit=3&total=1")->body);
    EXPECT_EQ(ranked["sort"], "multi");
    ASSERT_EQ(ranked["results"].size(), 3u);
    EXPECT_EQ(ranked["results"][0]["id"], "alpha3");
    EXPECT_EQ(ranked["results"][1]["id"], "second");
    EXPECT_EQ(ranked["results"][2]["id"], "alpha2");
    EXPECT_EQ(ranked["total"], 6);  // "again" is a duplicate: not ranked
    const json next = json::parse(
        client.Get("/api/v1/results?sort=multi&limit=3&after=" + ranked["next_after"].get<std::string>())->body);
    ASSERT_EQ(next["results"].size(), 3u);
    EXPECT_EQ(next["results"][0]["id"], "first");
    EXPECT_EQ(next["results"][2]["id"], "alpha0");
    EXPECT_FALSE(next.contains("total"));
    EXPECT_GT(ranked["results"][0]["scores"]["multi"].get<double>(), ranked["results"][1]["scores"]["multi"].get<double>());
    EXPECT_EQ(ranked["results"][0]["architecture"], "x86-64");
    EXPECT_EQ(ranked["results"][0]["processor_key"], "x86-64:alpha cpu");
    const json newest = json::parse(client.Get("/api/v1/results?limit=1")->body);
    EXPECT_EQ(newest["results"][0]["flags"], json::array({"duplicate"}));
    EXPECT_FALSE(newest.contains("total"));  // counting every match is asked for
    EXPECT_EQ(json::parse(client.Get("/api/v1/results?arch=arm64&total=1")->body)["total"], 0);
    EXPECT_EQ(json::parse(client.Get("/api/v1/results?sort=multi&flagged=1&total=1")->body)["total"], 7);
    for (const char* bad : {"sort=fastest", "flagged=yes", "arch=%FF", "after=12", "after=x_1", "after=1_2&offset=3",
                            "total=2", "after=1_2&total=1"})
        EXPECT_EQ(client.Get(std::string("/api/v1/results?") + bad)->status, 400) << bad;

    // "first" beats 0.5 and 0.8 of the five unflagged Alpha results.
    const std::string page = client.Get("/results/first")->body;
    EXPECT_NE(page.find("Faster than 40% of 5 results"), std::string::npos);
    EXPECT_NE(page.find("data-score=\"multi\">"), std::string::npos);
    const std::string repeated = client.Get("/results/again")->body;
    EXPECT_NE(repeated.find("id=\"flags\">Flagged duplicate"), std::string::npos);
    EXPECT_EQ(repeated.find("Faster than"), std::string::npos);
    const std::string list = client.Get("/?sort=multi")->body;
    EXPECT_LT(list.find("data-id=\"alpha3\""), list.find("data-id=\"second\""));
    EXPECT_EQ(list.find("data-id=\"again\""), std::string::npos);
}

// A processor's statistics: medians and percentiles over its unflagged
// results, the same in its page and its JSON; unknown processors are 404.
TEST_P(PageRoutes, ProcessorPagesGatherTheirResults) {
    backend.add(make_result("slow", "ALPHA cpu", 0.5), "c-slow");
    backend.add(make_result("fast", "Alpha  CPU", 2.0), "c-fast");
    backend.add(make_result("repeat", "Alpha  CPU", 2.0), "c-repeat");  // the bytes of "fast"
    TestServer server(store());
    httplib::Client client = server.client();
    const char* key = "x86-64:alpha%20cpu";

    ASSERT_TRUE(statistics_fresh(store()));
    const json cpu = json::parse(client.Get(std::string("/api/v1/cpus/") + key)->body);
    EXPECT_EQ(cpu["count"], 3);
    StoredResult first, slow, fast;
    ASSERT_EQ(store()->get("first", &first), StoreStatus::ok);
    ASSERT_EQ(store()->get("slow", &slow), StoreStatus::ok);
    ASSERT_EQ(store()->get("fast", &fast), StoreStatus::ok);
    EXPECT_DOUBLE_EQ(cpu["scores"]["multi"]["median"].get<double>(), first.summary.scores[kScoreMulti]);
    // Linear between ranks: the 10th percentile is a fifth of the way from the lowest to the middle.
    EXPECT_DOUBLE_EQ(cpu["scores"]["multi"]["p10"].get<double>(),
                     slow.summary.scores[kScoreMulti] +
                         0.2 * (first.summary.scores[kScoreMulti] - slow.summary.scores[kScoreMulti]));
    EXPECT_DOUBLE_EQ(cpu["figures"]["raw"]["multicore"]["native_integer"]["median"].get<double>(),
                     first.summary.figures[kSuiteRaw][kPassMulti][0]);
    int64_t binned = 0;
    for (const auto& n : cpu["histogram"]["bins"]) binned += n.get<int64_t>();
    EXPECT_EQ(binned, 3);
    EXPECT_EQ(cpu["results"][0]["id"], "fast");
    EXPECT_EQ(json::parse(client.Get(std::string("/api/v1/cpus/") + key + "?flagged=1")->body)["count"], 4);
    // An upload or a deletion is seen once the refresher has run.
    std::string upload = golden_document();
    upload.replace(upload.find("Sample CPU @ 3.00GHz"), 20, "alpha cpu");
    const auto posted = client.Post("/api/v1/submissions", upload, "application/json");
    ASSERT_EQ(posted->status, 201) << posted->body;
    const std::string claim = json::parse(posted->body)["claim_url"];
    const std::string claim_path = claim.substr(claim.find("/claim/"));
    const auto count_now = [&] {
        EXPECT_TRUE(statistics_fresh(store()));
        return json::parse(client.Get(std::string("/api/v1/cpus/") + key)->body)["count"];
    };
    EXPECT_EQ(count_now(), 4);
    EXPECT_NE(client.Get(std::string("/cpus/") + key)->body.find(json::parse(posted->body)["id"].get<std::string>()),
              std::string::npos);
    ASSERT_EQ(client.Post(claim_path, "action=delete_confirmed", kForm)->status, 200);
    EXPECT_EQ(count_now(), 3);

    const std::string page = client.Get(std::string("/cpus/") + key)->body;
    EXPECT_NE(page.find("id=\"histogram\""), std::string::npos);
    EXPECT_NE(page.find("href=\"/results/slow\""), std::string::npos);
    EXPECT_EQ(page.find("href=\"/results/repeat\""), std::string::npos);
    const std::string list = client.Get("/cpus?sort=multi")->body;
    EXPECT_LT(list.find("data-key=\"x86-64:beta cpu\""), list.find("data-key=\"x86-64:alpha cpu\""));
    EXPECT_NE(list.find("href=\"/cpus/x86-64%3Aalpha%20cpu\""), std::string::npos);
    EXPECT_EQ(client.Get("/cpus?sort=fastest")->status, 400);

    for (const char* unknown : {"/cpus/x86-64:nothing", "/api/v1/cpus/x86-64:nothing", "/cpus/%3Cscript%3E"}) {
        const auto res = client.Get(unknown);
        EXPECT_EQ(res->status, 404) << unknown;
        EXPECT_EQ(res->body.find("<script>"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, PageRoutes, testing::ValuesIn(store_backends()));

}  // namespace
