#include "server/cpu_stats.h"

#include <algorithm>

namespace {

Distribution distribution(std::vector<double>* values) {
    return Distribution{percentile(values, 50), percentile(values, 10), percentile(values, 90)};
}

}  // namespace

void compute_cpu_stats(const std::vector<ResultSummary>& results, CpuStats* out) {
    *out = CpuStats();
    out->count = static_cast<int64_t>(results.size());
    if (results.empty()) return;
    std::vector<double> values(results.size());
    for (int i = 0; i < kScoreCount; ++i) {
        for (size_t r = 0; r < results.size(); ++r) values[r] = results[r].scores[i];
        out->scores[i] = distribution(&values);
        if (i == kScoreMulti) {
            out->low = values.front();  // sorted by percentile
            out->high = values.back();
        }
    }
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < kTestCount; ++t) {
                for (size_t r = 0; r < results.size(); ++r) values[r] = results[r].figures[s][p][t];
                out->figures[s][p][t] = distribution(&values);
            }
    const double width = (out->high - out->low) / kHistogramBins;
    for (const ResultSummary& r : results) {
        int bin = width > 0 ? static_cast<int>((r.scores[kScoreMulti] - out->low) / width) : 0;
        out->bins[std::clamp(bin, 0, kHistogramBins - 1)]++;
    }
}
