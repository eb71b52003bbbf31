// Server-rendered HTML pages. Every function returns a whole HTML5 document;
// every stored text goes through html_escape, which also shows bidi controls
// and zero-width characters by name (U+202E).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "server/store.h"

// Path prefix of every link (from --public-url), "" or "/something".
struct PageContext {
    std::string base_path;
};

std::string html_escape(const std::string& text);

// The list's pager: the cursors of the pages either side ("" where there is
// none). Pages are walked by cursor, never counted.
struct ListLinks {
    std::string newer, older;
};
std::string render_list_page(const PageContext& ctx, const ListQuery& query,
                             const std::vector<ResultSummary>& rows, const ListLinks& links);
// standing: of `of` unflagged results of the same processor, how many the
// result's multi-core score beats; said once `of` reaches kMinStanding.
std::string render_result_page(const PageContext& ctx, const StoredResult& result, int64_t below = 0,
                               int64_t of = 0);
constexpr int64_t kMinStanding = 5;
// rows: the rows rendered last time, keyed by what they show, or null; a
// page rendered again after a few processors changed renders only theirs,
// and *rows becomes this page's.
using CpuRows = std::map<std::string, std::string>;
std::string render_cpus_page(const PageContext& ctx, const std::vector<CpuEntry>& cpus, int with_flagged,
                             CpuRows* rows = nullptr);
// One processor: its entry and statistics, and its best results (at most
// kMaxResultsShown, best first).
constexpr int kMaxResultsShown = 200;
std::string render_cpu_page(const PageContext& ctx, const CpuEntry& entry, const CpuStats& stats,
                            const std::vector<ResultSummary>& results, int with_flagged);
std::string render_compare_page(const PageContext& ctx, const std::vector<StoredResult>& results);
// The owner's page: label, list/unlist, delete (with confirmation).
std::string render_claim_page(const PageContext& ctx, const StoredResult& result, const std::string& code,
                              const char* notice);
std::string render_delete_confirm_page(const PageContext& ctx, const StoredResult& result, const std::string& code);
std::string render_message_page(const PageContext& ctx, int status, const char* title, const char* message);

// Each page's handler, beside its renderer; the route table names them.
struct RouteCall;
void page_list(RouteCall& call);        // GET /?cpu&arch&sort&flagged&after|before
void page_result(RouteCall& call);      // GET /results/{id}
void page_compare(RouteCall& call);     // GET /compare?ids&add
void page_claim_get(RouteCall& call);   // GET /claim/{code}?notice
void page_claim_post(RouteCall& call);  // POST /claim/{code}: the owner's forms
void page_style(RouteCall& call);       // GET /style.css
void page_cpus(RouteCall& call);        // GET /cpus?sort&flagged
void page_cpu(RouteCall& call);         // GET /cpus/{key}?flagged

// The one stylesheet, served at <base_path>/style.css.
extern const char kStylesheet[];
