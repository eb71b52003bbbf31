// Pieces shared by the page renderers: output helpers, number and date
// formats, the common page frame, and a reading of the stored document.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/pages/pages.h"

// Appends printf-formatted text: every fixed part of a page goes through it.
void appendf(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vappendf(std::string* out, const char* format, va_list args);
// Appends html_escape(text) without a temporary: the escaping primitive,
// used by the HTML builder (html.h), through which the pages insert text.
void append_escaped(std::string* out, const std::string& text);
// Appends text percent-encoded for a URL query value or path segment.
void append_url_encoded(std::string* out, const std::string& text);

// The page frame: doctype, head with the one stylesheet, site header; the
// title is escaped. page_end closes what page_begin opened.
void page_begin(std::string* out, const PageContext& ctx, const std::string& title);
void page_end(std::string* out);

// A figure with about four significant digits, never in exponent form;
// "n/a" when it is not a finite number.
void format_figure(char* buffer, size_t size, double value);
// "YYYY-MM-DD HH:MM UTC".
void format_date(char* buffer, size_t size, int64_t unix_seconds);
// "2 min 03.5 s", "41.2 s".
void format_duration(char* buffer, size_t size, uint64_t milliseconds);

// One measured pass as the document carries it.
struct PassView {
    double display = 0, rate = 0, seconds = 0;
    int64_t iterations = 0, threads = 0;
    int present = 0;
};

// The parts of a stored document that the summary columns do not hold.
// Missing or mistyped members keep their defaults: the pages still render.
struct DocumentView {
    std::string architecture, kernel, version, suite;
    int64_t memory_mb = -1, l1_cache_kb = -1, l2_cache_kb = -1, l3_cache_kb = -1;
    int64_t duration_ms = -1;
    int64_t sample_seconds = 0;
    double background_average = 0, background_peak = 0;
    int64_t available_memory_mb = -1, process_count = -1;
    PassView tests[2][2][kTestCount];  // [suite][pass][test]
    int readable = 0;                  // 0: the document did not parse
};
void read_document(const std::string& document, DocumentView* out);

// Ratio of other's figure to base's, turned so that above 1 always means
// other is better (latency inverted); NaN where either figure is not positive.
double figure_ratio(int test, double base, double other);
// Geometric mean of the finite positive ratios; NaN when there is none.
double geometric_mean(const double* ratios, int count);

// Average background load at or above which the benchmark itself warns that
// the scores may be low.
constexpr double kBackgroundWarningPercent = 10.0;

// The result's heading (CPU name, label, listing) and its body (machine,
// background, figures, charts): the result page and the claim page share them.
class Html;
void append_title(Html& h, const StoredResult& result);
void append_result_body(Html& h, const StoredResult& result, const DocumentView& doc);

// Answers with a whole page.
struct HttpResponse;
void send_page(HttpResponse& res, int status, std::string page);
void send_message(HttpResponse& res, const PageContext& ctx, int status, const char* title, const char* text);
// A store that did not answer ok, as a page: the status from store_http_status.
void send_store_failure(HttpResponse& res, const PageContext& ctx, StoreStatus status);

// Bounds of what the pages accept.
constexpr size_t kMaxLabelBytes = 120;
constexpr int kMaxCompareIds = 8;
constexpr int kListPageSize = 20;
constexpr size_t kMaxFormBytes = 4096;
