// GET /api/v1/cpus/KEY: one processor's statistics as JSON, the same as its page.
#include <nlohmann/json.hpp>

#include "server/api/api.h"
#include "server/cpu_stats.h"
#include "server/listing.h"
#include "server/pages/pages.h"
#include "server/service.h"

namespace {

using nlohmann::json;

json distribution_json(const Distribution& d) { return {{"median", d.median}, {"p10", d.p10}, {"p90", d.p90}}; }

void send_failure(RouteCall& call, StoreStatus status) {
    call.res.status = store_http_status(status);
    call.res.set_content(json{{"errors", {status == StoreStatus::not_found ? "no such processor"
                                                                            : "the results store is unavailable"}}}
                             .dump(),
                         "application/json");
}

}  // namespace

void api_cpu(RouteCall& call) {
    const int with_flagged = call.query.get("flagged") == "1";
    CpuEntry entry;
    CpuStats stats;
    StoreStatus status = call.ctx->store->cpu_stats(call.arg, with_flagged, &entry, &stats);
    if (status != StoreStatus::ok) return send_failure(call, status);
    std::vector<ResultSummary> results;
    status = call.ctx->store->cpu_results(call.arg, with_flagged, kMaxResultsShown, &results);
    // not_found: the statistics are a moment older than the last result's deletion; none listed.
    if (status != StoreStatus::ok && status != StoreStatus::not_found) return send_failure(call, status);
    json scores, figures, members = json::array();
    for (int i = 0; i < kScoreCount; ++i) scores[kScoreNames[i].key] = distribution_json(stats.scores[i]);
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < kTestCount; ++t)
                figures[kSuites[s].key][kPasses[p].document_key][g_catalogue[t].id] =
                    distribution_json(stats.figures[s][p][t]);
    for (const ResultSummary& r : results)
        members.push_back({{"id", r.id},
                           {"result_url", result_url(call.ctx->public_url, r.id)},
                           {"multi", r.scores[kScoreMulti]},
                           {"single", r.scores[kScoreSingle]},
                           {"flags", flag_names(r.flags)}});
    const json body = {{"processor_key", call.arg},
                       {"cpu", entry.cpu},
                       {"architecture", entry.architecture},
                       {"count", stats.count},
                       {"with_flagged", with_flagged == 1},
                       {"scores", scores},
                       {"figures", figures},
                       {"histogram", {{"low", stats.low}, {"high", stats.high}, {"bins", stats.bins}}},
                       {"results", members}};
    call.res.status = 200;
    call.res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}
