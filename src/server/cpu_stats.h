// Statistics of one processor's results: count, median and 10th/90th
// percentiles of each score and each figure, and a histogram of the
// multi-core score.
#pragma once

#include <vector>

#include "server/store.h"

struct Distribution {
    double median = 0, p10 = 0, p90 = 0;
};

constexpr int kHistogramBins = 20;

struct CpuStats {
    int64_t count = 0;
    Distribution scores[kScoreCount];
    Distribution figures[2][2][kTestCount];
    // The multi-core scores in kHistogramBins equal bins from low to high.
    double low = 0, high = 0;
    int64_t bins[kHistogramBins] = {};
};

void compute_cpu_stats(const std::vector<ResultSummary>& results, CpuStats* out);
