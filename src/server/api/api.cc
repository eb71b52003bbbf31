#include "server/api/api.h"

#include <nlohmann/json.hpp>

#include "server/ids.h"
#include "server/service.h"
#include "server/listing.h"
#include "server/validate.h"

using nlohmann::json;

namespace {

constexpr int kListDefault = 20;
constexpr int kListMax = 100;

std::string json_errors(const std::vector<std::string>& errors) {
    return json{{"errors", errors}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

void send_json(HttpResponse& res, int status, std::string body) {
    res.status = status;
    res.set_content(std::move(body), "application/json");
}

void send_errors(HttpResponse& res, int status, const std::string& message) {
    send_json(res, status, json_errors({message}));
}

void send_store_failure(HttpResponse& res, StoreStatus status) {
    const int http = store_http_status(status);
    send_errors(res, http, http == 404 ? "no such result" : "the results store is unavailable: try again later");
}

json summary_json(const ServiceContext* ctx, const ResultSummary& s) {
    json figures;
    for (int suite = 0; suite < 2; ++suite)
        for (int pass = 0; pass < 2; ++pass)
            figures[kSuites[suite].key][kPasses[pass].document_key] =
                std::vector<double>(s.figures[suite][pass], s.figures[suite][pass] + kTestCount);
    json scores;
    for (int i = 0; i < kScoreCount; ++i) scores[kScoreNames[i].key] = s.scores[i];
    json flags = json::array();
    for (int bit = 1; bit <= kFlagDuplicate; bit <<= 1)
        if (s.flags & bit) flags.push_back(flag_names(bit));
    return {{"id", s.id},
            {"uploaded_at", s.uploaded_at},
            {"cpu", s.cpu},
            {"model", s.model},
            {"cpu_cores", s.cores},
            {"cpu_threads", s.threads},
            {"architecture", s.architecture},
            {"processor_key", s.processor_key},
            {"operating_system", s.operating_system},
            {"compiler", s.compiler},
            {"label", s.label},
            {"result_url", result_url(ctx->public_url, s.id)},
            {"scores", scores},
            {"flags", flags},
            {"figures", figures}};
}

}  // namespace

void api_submit(RouteCall& call) {
    ServiceContext* ctx = call.ctx;
    HttpResponse& res = call.res;
    if (ctx->limiter != nullptr && !ctx->limiter->allow(limit_key(call.req.client), ctx->steady())) {
        res.set_header("Retry-After", "60");
        return send_errors(res, 429, "too many uploads: the limit per minute for one address is reached");
    }
    StoredResult result;
    std::vector<std::string> errors;
    if (!validate_document(call.req.body, &result.summary, &errors)) return send_json(res, 422, json_errors(errors));
    const std::string code = new_claim_code();
    result.summary.id = new_result_id();
    if (code.empty() || result.summary.id.empty()) return send_errors(res, 503, "no randomness available: try again later");
    result.summary.uploaded_at = ctx->now();
    result.summary.listed = ctx->unlisted ? 0 : 1;
    result.document = call.req.body;
    unsigned char hash[32];
    hash_claim_code(code, hash);
    const StoreStatus stored = ctx->store->insert(result, hash);
    if (stored != StoreStatus::ok) return send_errors(res, 503, "the result could not be stored: try again later");
    const nlohmann::ordered_json reply = {{"id", result.summary.id},
                                          {"result_url", result_url(ctx->public_url, result.summary.id)},
                                          {"claim_url", ctx->public_url + "/claim/" + code}};
    send_json(res, 201, reply.dump());
}

void api_get_result(RouteCall& call) {
    StoredResult result;
    const StoreStatus status = call.ctx->store->get(call.arg, &result);
    if (status != StoreStatus::ok) return send_store_failure(call.res, status);
    send_json(call.res, 200, std::move(result.document));
}

void api_list(RouteCall& call) {
    ListQuery query;
    int64_t value = kListDefault;
    if (call.query.has("limit") && !parse_whole_number(call.query.get("limit"), 1, kListMax, &value))
        return send_errors(call.res, 400, "limit must be a whole number from 1 to 100");
    query.limit = static_cast<int>(value);
    value = 0;
    if (call.query.has("offset") && !parse_whole_number(call.query.get("offset"), 0, 1000000000, &value))
        return send_errors(call.res, 400, "offset must be a whole number from 0 to 1000000000");
    query.offset = value;
    query.cpu_contains = call.query.get("cpu");
    if (!valid_cpu_filter(query.cpu_contains))
        return send_errors(call.res, 400, "the cpu filter must be valid UTF-8 of at most 200 bytes");
    if (!parse_list_options(call.query, &query))
        return send_errors(call.res, 400, "sort must be newest, multi or single; arch at most 32 bytes; flagged 0 or 1");
    // Counting every match is a pass over all of them, so only on request,
    // and never along a cursor's walk.
    query.count = 0;
    if (call.query.has("total")) {
        const std::string asked = call.query.get("total");
        if (asked != "0" && asked != "1") return send_errors(call.res, 400, "total must be 0 or 1");
        query.count = asked == "1";
    }
    if (call.query.has("after")) {
        if (query.offset != 0 || query.count || !parse_cursor(call.query.get("after"), &query))
            return send_errors(call.res, 400,
                               "after must be a next_after cursor from an earlier answer, without offset or total");
    }

    std::vector<ResultSummary> rows;
    int64_t total = 0;
    const StoreStatus status = call.ctx->store->list(query, &rows, &total);
    if (status != StoreStatus::ok) return send_store_failure(call.res, status);
    json list = json::array();
    for (const ResultSummary& row : rows) list.push_back(summary_json(call.ctx, row));
    json body = {{"offset", query.offset}, {"limit", query.limit}, {"sort", list_order_name(query.order)},
                 {"results", list}};
    if (query.count) body["total"] = total;
    // Always given for a full page: the walk ends at the first short or empty one.
    if (!rows.empty() && static_cast<int>(rows.size()) == query.limit)
        body["next_after"] = list_cursor(query, rows.back());
    send_json(call.res, 200, body.dump(-1, ' ', false, json::error_handler_t::replace));
}
