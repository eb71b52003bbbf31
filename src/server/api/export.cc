// GET /api/v1/export.csv and /api/v1/export.ndjson: every listed result, one
// row each, streamed a store page at a time so that memory does not grow
// with the number of rows. `since` is the last seq a client already has.
#include <cstdio>
#include <cstring>
#include <memory>

#include <nlohmann/json.hpp>

#include "server/api/api.h"
#include "server/listing.h"
#include "server/service.h"

namespace {

using nlohmann::json;

// The columns, in order (README, "Export"): the store's seq (the cursor for
// `since`), the machine, the six scores, the 44 figures as
// SUITE_PASS_TESTID, and the flags.
std::vector<std::string> export_columns() {
    std::vector<std::string> columns = {"seq", "id", "uploaded_at", "cpu", "model", "cores", "threads",
                                        "architecture", "operating_system", "compiler"};
    for (int i = 0; i < kScoreCount; ++i) columns.push_back(std::string("score_") + kScoreNames[i].key);
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < kTestCount; ++t)
                columns.push_back(std::string(kSuites[s].key) + "_" + kPasses[p].key + "_" + g_catalogue[t].id);
    columns.push_back("flags");
    return columns;
}

std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// RFC 4180: a field with a comma, quote or line break is quoted, quotes doubled.
void append_csv_field(std::string* out, const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out->append(text);
        return;
    }
    out->push_back('"');
    for (char c : text) {
        if (c == '"') out->push_back('"');
        out->push_back(c);
    }
    out->push_back('"');
}

// One row's values as text, in export_columns order; texts flagged so that
// NDJSON writes them as strings.
void row_values(const ResultSummary& r, std::vector<std::pair<std::string, bool>>* values) {
    values->clear();
    values->emplace_back(std::to_string(r.seq), false);
    values->emplace_back(r.id, true);
    values->emplace_back(std::to_string(r.uploaded_at), false);
    values->emplace_back(r.cpu, true);
    values->emplace_back(r.model, true);
    values->emplace_back(std::to_string(r.cores), false);
    values->emplace_back(std::to_string(r.threads), false);
    values->emplace_back(r.architecture, true);
    values->emplace_back(r.operating_system, true);
    values->emplace_back(r.compiler, true);
    for (int i = 0; i < kScoreCount; ++i) values->emplace_back(number(r.scores[i]), false);
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < kTestCount; ++t) values->emplace_back(number(r.figures[s][p][t]), false);
    values->emplace_back(flag_names(r.flags), true);
}

// The state of one export between the pieces the HTTP core asks for.
struct Export {
    ResultStore* store;
    int64_t since;
    bool csv;
    bool header_sent = false;
    bool done = false;
    std::vector<std::string> columns = export_columns();
    std::vector<std::pair<std::string, bool>> values;
};

constexpr int kRowsPerPiece = 500;

int next_piece(Export* e, std::string* out) {
    if (e->done) return 0;
    if (e->csv && !e->header_sent) {
        for (size_t i = 0; i < e->columns.size(); ++i) {
            if (i != 0) out->push_back(',');
            out->append(e->columns[i]);
        }
        out->append("\r\n");
        e->header_sent = true;
        return 1;
    }
    int rows = 0;
    const StoreStatus status = e->store->export_rows(e->since, [&](const ResultSummary& r) {
        row_values(r, &e->values);
        if (e->csv) {
            for (size_t i = 0; i < e->values.size(); ++i) {
                if (i != 0) out->push_back(',');
                const auto& [text, is_text] = e->values[i];
                // A spreadsheet runs a cell that starts like a formula; a
                // leading quote makes it text (numbers are left as they are).
                if (is_text && !text.empty() && std::strchr("=+-@\t\r", text[0]) != nullptr)
                    append_csv_field(out, "'" + text);
                else
                    append_csv_field(out, text);
            }
            out->append("\r\n");
        } else {
            // Numbers are already JSON as printed; texts are quoted and escaped.
            for (size_t i = 0; i < e->values.size(); ++i) {
                const auto& [text, is_text] = e->values[i];
                out->append(i == 0 ? "{\"" : ",\"");
                out->append(e->columns[i]);
                out->append("\":");
                out->append(is_text ? json(text).dump(-1, ' ', false, json::error_handler_t::replace) : text);
            }
            out->append("}\n");
        }
        e->since = r.seq;
        return ++rows < kRowsPerPiece;
    });
    if (status != StoreStatus::ok) return -1;
    if (rows < kRowsPerPiece) e->done = true;
    return out->empty() ? 0 : 1;
}

void export_results(RouteCall& call, bool csv) {
    int64_t since = 0;
    if (call.query.has("since") && !parse_whole_number(call.query.get("since"), 0, INT64_MAX, &since)) {
        call.res.status = 400;
        call.res.set_content(R"({"errors":["since must be a whole number from 0"]})", "application/json");
        return;
    }
    auto state = std::make_shared<Export>(Export{call.ctx->store, since, csv});
    call.res.status = 200;
    call.res.content_type = csv ? "text/csv; charset=utf-8" : "application/x-ndjson";
    call.res.stream = [state](std::string* piece) { return next_piece(state.get(), piece); };
}

}  // namespace

void api_export_csv(RouteCall& call) { export_results(call, true); }
void api_export_ndjson(RouteCall& call) { export_results(call, false); }
