// GET /api/v1/export.csv and /api/v1/export.ndjson: every listed result, one
// row each, streamed a store page at a time so that memory does not grow
// with the number of rows. `since` is the last seq a client already has.
#include <charconv>
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

// Written straight into the piece: an export is 5 million values, so no
// value gets a string of its own. std::to_chars with precision 17 prints
// exactly what printf's %.17g does, several times faster.
void append_number(std::string* out, double value) {
    char text[40];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17).ptr;
    out->append(text, end);
}

void append_integer(std::string* out, int64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out->append(text, end);
}

// RFC 4180: a field with a comma, quote or line break is quoted, quotes
// doubled. A spreadsheet runs a cell that starts like a formula; a leading
// quote makes it text (numbers are written without this).
void append_csv_text(std::string* out, const std::string& text) {
    const bool formula = !text.empty() && std::strchr("=+-@\t\r", text[0]) != nullptr;
    const bool quoted = text.find_first_of(",\"\r\n") != std::string::npos;
    if (quoted) out->push_back('"');
    if (formula) out->push_back('\'');
    if (!quoted) {
        out->append(text);
        return;
    }
    for (char c : text) {
        if (c == '"') out->push_back('"');
        out->push_back(c);
    }
    out->push_back('"');
}

// A JSON string. Plain printable ASCII, nearly every name, is copied as it
// is; anything else goes through the JSON library (escapes, invalid UTF-8
// replaced).
void append_json_text(std::string* out, const std::string& text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
            out->append(json(text).dump(-1, ' ', false, json::error_handler_t::replace));
            return;
        }
    }
    out->push_back('"');
    out->append(text);
    out->push_back('"');
}

// The state of one export between the pieces the HTTP core asks for.
struct Export {
    ResultStore* store = nullptr;
    int64_t since = 0;
    bool csv = false;
    bool header_sent = false;
    bool done = false;
    // NDJSON: what comes before each value, `{"seq":` then `,"id":` and so on.
    std::vector<std::string> keys;
};

// One row in export_columns order.
void append_row(const Export& e, const ResultSummary& r, std::string* out) {
    size_t column = 0;
    const auto next = [&] {
        if (e.csv) {
            if (column != 0) out->push_back(',');
        } else {
            out->append(e.keys[column]);
        }
        ++column;
    };
    const auto integer = [&](int64_t value) { next(), append_integer(out, value); };
    const auto real = [&](double value) { next(), append_number(out, value); };
    const auto text = [&](const std::string& value) {
        next();
        if (e.csv) append_csv_text(out, value);
        else append_json_text(out, value);
    };
    integer(r.seq);
    text(r.id);
    integer(r.uploaded_at);
    text(r.cpu);
    text(r.model);
    integer(r.cores);
    integer(r.threads);
    text(r.architecture);
    text(r.operating_system);
    text(r.compiler);
    for (int i = 0; i < kScoreCount; ++i) real(r.scores[i]);
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < kTestCount; ++t) real(r.figures[s][p][t]);
    text(flag_names(r.flags));
    out->append(e.csv ? "\r\n" : "}\n");
}

constexpr int kRowsPerPiece = 500;

int next_piece(Export* e, std::string* out) {
    if (e->done) return 0;
    if (e->csv && !e->header_sent) {
        const std::vector<std::string> columns = export_columns();
        for (size_t i = 0; i < columns.size(); ++i) {
            if (i != 0) out->push_back(',');
            out->append(columns[i]);
        }
        out->append("\r\n");
        e->header_sent = true;
        return 1;
    }
    int rows = 0;
    const StoreStatus status = e->store->export_rows(e->since, [&](const ResultSummary& r) {
        append_row(*e, r, out);
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
    auto state = std::make_shared<Export>();
    state->store = call.ctx->store;
    state->since = since;
    state->csv = csv;
    if (!csv) {
        const std::vector<std::string> columns = export_columns();
        for (size_t i = 0; i < columns.size(); ++i) state->keys.push_back((i == 0 ? "{\"" : ",\"") + columns[i] + "\":");
    }
    call.res.status = 200;
    call.res.content_type = csv ? "text/csv; charset=utf-8" : "application/x-ndjson";
    call.res.stream = [state](std::string* piece) { return next_piece(state.get(), piece); };
}

}  // namespace

void api_export_csv(RouteCall& call) { export_results(call, true); }
void api_export_ndjson(RouteCall& call) { export_results(call, false); }
