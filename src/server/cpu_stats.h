// Statistics of one processor's results: count, median and 10th/90th
// percentiles of each score and each figure, and a histogram of the
// multi-core score. Kept per processor in the database (as encode_cpu_stats
// writes them) and brought up to date off the request path by the
// StatsRefresher (stats_refresher.h).
#pragma once

#include <string>
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

// What the store keeps for one processor, for the list of processors and
// for its own page: out[0] over the unflagged results only, out[1] over all
// of them; results are the processor's listed results in any order. An entry
// with count 0 means that variant has no results.
void compute_processor_stats(const std::vector<ResultSummary>& results, CpuEntry entry[2], CpuStats stats[2]);

// A compact, byte-order independent form of CpuStats for the database (about
// 1.4 KB). Decoding refuses bytes of another layout (a catalogue with other
// tests); the caller then computes afresh.
std::string encode_cpu_stats(const CpuStats& stats);
bool decode_cpu_stats(const std::string& bytes, CpuStats* out);
