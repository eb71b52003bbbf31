// The page routes over HTTP against an in-memory store: status codes, the
// claim flow, paging and the base path.
#include <gtest/gtest.h>

#include "server/pages_harness.h"

namespace {

const char kForm[] = "application/x-www-form-urlencoded";

struct RoutesTest : ::testing::Test {
    TempStore temp;
    ResultStore& store = *temp.store;
    void SetUp() override {
        temp.add(make_result("first", "Alpha CPU", 1.0, 1700000000), "code-first");
        temp.add(make_result("second", "Beta CPU", 2.0, 1700000100), "code-second");
    }
};

TEST_F(RoutesTest, StatusOfEachPage) {
    PageServer server(&store);
    httplib::Client client = server.client();
    const std::string nine = "a,b,c,d,e,f,g,h,i";
    const struct {
        std::string path;
        int status;
        const char* contains;
    } cases[] = {
        {"/", 200, "Beta CPU"},
        {"/?cpu=alpha", 200, "1 result with"},
        {"/?page=0", 400, "Bad page"},
        {"/?page=2x", 400, "Bad page"},
        {"/?page=99999999999999999999", 400, "Bad page"},
        {"/?cpu=" + std::string(201, 'x'), 400, "Bad filter"},
        {"/?page=9", 200, "page 9 of 1"},
        {"/results/first", 200, "Alpha CPU"},
        {"/results/missing", 404, "Not found"},
        {"/compare?ids=first,second", 200, "Compare 2 results"},
        {"/compare?ids=first&ids=second", 200, "Compare 2 results"},
        {"/compare?ids=first&add=http%3A%2F%2Fhost%2Fresults%2Fsecond", 200, "Compare 2 results"},
        {"/compare?ids=first,first", 200, "Compare 1 result"},
        {"/compare", 400, "Nothing to compare"},
        {"/compare?ids=first,%3Cb%3E", 400, "Bad request"},
        {"/compare?ids=" + nine, 400, "At most 8"},
        {"/compare?ids=first,nothere", 404, "no result with the id nothere"},
        {"/claim/wrong-code", 404, "Not found"},
        {"/style.css", 200, "svg.chart"},
    };
    for (const auto& c : cases) {
        const auto res = client.Get(c.path);
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.path;
        EXPECT_NE(res->body.find(c.contains), std::string::npos) << c.path;
    }
}

TEST_F(RoutesTest, ClaimFlowLabelsUnlistsAndDeletesWithConfirmation) {
    PageServer server(&store);
    httplib::Client client = server.client();

    auto page = client.Get("/claim/code-first");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");

    // A wrong code changes nothing and looks like any other missing page.
    auto wrong = client.Post("/claim/code-wrong", "action=delete_confirmed", kForm);
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 404);
    EXPECT_EQ(wrong->get_header_value("Cache-Control"), "no-store");

    auto saved = client.Post("/claim/code-first", "label=%20stock%0Acooler%20&action=save", kForm);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 303);
    EXPECT_EQ(saved->get_header_value("Location"), "/claim/code-first?notice=unlisted");
    StoredResult r;
    ASSERT_EQ(store.get("first", &r), StoreStatus::ok);
    EXPECT_EQ(r.summary.label, "stock cooler");
    EXPECT_EQ(r.summary.listed, 0);
    EXPECT_EQ(client.Get("/")->body.find("Alpha CPU"), std::string::npos);
    EXPECT_NE(client.Get("/results/first")->body.find("stock cooler"), std::string::npos);
    EXPECT_NE(client.Get("/claim/code-first?notice=unlisted")->body.find("reachable by link only"), std::string::npos);

    const struct {
        std::string body;
        const char* type;
        int status;
    } refused[] = {
        {"action=save&listed=1&label=" + std::string(121, 'x'), kForm, 422},
        {"action=save&listed=1&label=%FF%FE", kForm, 422},
        {"action=save&listed=1&label=" + std::string(5000, 'x'), kForm, 413},
        {"action=save&listed=1&label=x", "text/plain", 415},
        {"action=explode", kForm, 400},
    };
    for (const auto& c : refused) {
        const auto res = client.Post("/claim/code-first", c.body, c.type);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status) << c.body.substr(0, 40);
        ASSERT_EQ(store.get("first", &r), StoreStatus::ok);
        EXPECT_EQ(r.summary.label, "stock cooler");
        EXPECT_EQ(r.summary.listed, 0);
    }

    // Deleting takes two steps; the first only asks.
    auto ask = client.Post("/claim/code-first", "action=delete", kForm);
    ASSERT_TRUE(ask);
    EXPECT_EQ(ask->status, 200);
    EXPECT_NE(ask->body.find("value=\"delete_confirmed\""), std::string::npos);
    EXPECT_EQ(store.get("first", &r), StoreStatus::ok);
    auto done = client.Post("/claim/code-first", "action=delete_confirmed", kForm);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 200);
    EXPECT_EQ(store.get("first", &r), StoreStatus::not_found);
    EXPECT_EQ(client.Get("/results/first")->status, 404);
    EXPECT_EQ(client.Get("/claim/code-first")->status, 404);
    EXPECT_EQ(store.get("second", &r), StoreStatus::ok);
}

TEST(PageRoutes, PagerWalksNewestFirstAndKeepsTheFilter) {
    TempStore store;
    for (int i = 0; i < 45; ++i) {
        char id[16], cpu[32];
        std::snprintf(id, sizeof id, "r%d", i);
        std::snprintf(cpu, sizeof cpu, "Big & Fast %d", i);
        store.add(make_result(id, cpu, 1.0, 1700000000 + i), id);
    }
    PageServer server(store.store.get());
    httplib::Client client = server.client();
    const struct {
        int page, rows;
        const char *first, *newer, *older;
    } cases[] = {
        {1, 20, "r44", nullptr, "page=2"},
        {2, 20, "r24", "page=1", "page=3"},
        {3, 5, "r4", "page=2", nullptr},
    };
    for (const auto& c : cases) {
        const auto res = client.Get("/?cpu=big+%26+fast&page=" + std::to_string(c.page));
        ASSERT_TRUE(res);
        SCOPED_TRACE(c.page);
        EXPECT_EQ(count_of(res->body, "<tr class=\"result\""), c.rows);
        EXPECT_NE(res->body.find(std::string("<tr class=\"result\" data-id=\"") + c.first + "\""), std::string::npos);
        const std::string link = "href=\"/?cpu=big%20%26%20fast&amp;";
        EXPECT_EQ(res->body.find("rel=\"prev\" " + link + (c.newer ? c.newer : "")) != std::string::npos,
                  c.newer != nullptr);
        EXPECT_EQ(res->body.find("rel=\"next\" " + link + (c.older ? c.older : "")) != std::string::npos,
                  c.older != nullptr);
    }
}

TEST(PageRoutes, EverythingLivesUnderTheBasePath) {
    TempStore store;
    store.add(make_result("one", "Alpha"), "code-one");
    PageServer server(store.store.get(), "/bench.q");
    httplib::Client client = server.client();
    const auto front = client.Get("/bench.q/");
    ASSERT_TRUE(front);
    EXPECT_EQ(front->status, 200);
    EXPECT_NE(front->body.find("href=\"/bench.q/style.css\""), std::string::npos);
    EXPECT_NE(front->body.find("href=\"/bench.q/results/one\""), std::string::npos);
    const auto bare = client.Get("/bench.q");
    EXPECT_EQ(bare->status, 308);
    EXPECT_EQ(bare->get_header_value("Location"), "/bench.q/");
    EXPECT_EQ(client.Get("/")->status, 404);
    EXPECT_EQ(client.Get("/benchxq/")->status, 404);  // the dot is not a wildcard
    const auto saved = client.Post("/bench.q/claim/code-one", "action=save&listed=1", kForm);
    EXPECT_EQ(saved->get_header_value("Location"), "/bench.q/claim/code-one?notice=saved");
}

}  // namespace
