#include "server/cpu_stats.h"

#include <algorithm>
#include <cstring>

namespace {

Distribution distribution(std::vector<double>* values) {
    return Distribution{percentile(values, 50), percentile(values, 10), percentile(values, 90)};
}

// The layout's first bytes: a format number, then the sizes it was written
// with, so that a build with another catalogue does not misread it.
constexpr unsigned char kFormat = 1;

void put_u64(std::string* out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void put_double(std::string* out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_u64(out, bits);
}
void put_distribution(std::string* out, const Distribution& d) {
    put_double(out, d.median);
    put_double(out, d.p10);
    put_double(out, d.p90);
}

struct Reader {
    const std::string& bytes;
    size_t at = 0;
    bool ok = true;
    uint64_t u64() {
        if (at + 8 > bytes.size()) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
        at += 8;
        return v;
    }
    double real() {
        const uint64_t bits = u64();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    Distribution distribution() {
        Distribution d;
        d.median = real();
        d.p10 = real();
        d.p90 = real();
        return d;
    }
};

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

void compute_processor_stats(const std::vector<ResultSummary>& results, CpuEntry entry[2], CpuStats stats[2]) {
    std::vector<ResultSummary> unflagged;
    for (const ResultSummary& r : results)
        if (r.flags == 0) unflagged.push_back(r);
    for (int with_flagged = 0; with_flagged < 2; ++with_flagged) {
        const std::vector<ResultSummary>& these = with_flagged ? results : unflagged;
        compute_cpu_stats(these, &stats[with_flagged]);
        CpuEntry& e = entry[with_flagged];
        e = CpuEntry();
        e.count = stats[with_flagged].count;
        e.median_multi = stats[with_flagged].scores[kScoreMulti].median;
        e.median_single = stats[with_flagged].scores[kScoreSingle].median;
        const ResultSummary* newest = nullptr;
        for (const ResultSummary& r : these)
            if (newest == nullptr || r.uploaded_at > newest->uploaded_at ||
                (r.uploaded_at == newest->uploaded_at && r.seq > newest->seq))
                newest = &r;
        if (newest != nullptr) {
            e.processor_key = newest->processor_key;
            e.cpu = newest->cpu;
            e.architecture = newest->architecture;
        }
    }
}

std::string encode_cpu_stats(const CpuStats& stats) {
    std::string out;
    out.reserve(8 + 8 * (1 + 3 * (kScoreCount + 4 * kTestCount) + 2 + kHistogramBins));
    out.push_back(static_cast<char>(kFormat));
    out.push_back(static_cast<char>(kScoreCount));
    out.push_back(static_cast<char>(kTestCount));
    out.push_back(static_cast<char>(kHistogramBins));
    put_u64(&out, static_cast<uint64_t>(stats.count));
    for (const Distribution& d : stats.scores) put_distribution(&out, d);
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < kTestCount; ++t) put_distribution(&out, stats.figures[s][p][t]);
    put_double(&out, stats.low);
    put_double(&out, stats.high);
    for (int64_t n : stats.bins) put_u64(&out, static_cast<uint64_t>(n));
    return out;
}

bool decode_cpu_stats(const std::string& bytes, CpuStats* out) {
    const unsigned char header[4] = {kFormat, kScoreCount, kTestCount, kHistogramBins};
    if (bytes.size() < 4 || std::memcmp(bytes.data(), header, 4) != 0) return false;
    Reader in{bytes, 4};
    CpuStats s;
    s.count = static_cast<int64_t>(in.u64());
    for (Distribution& d : s.scores) d = in.distribution();
    for (int su = 0; su < 2; ++su)
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < kTestCount; ++t) s.figures[su][p][t] = in.distribution();
    s.low = in.real();
    s.high = in.real();
    for (int64_t& n : s.bins) n = static_cast<int64_t>(in.u64());
    if (!in.ok || in.at != bytes.size()) return false;
    *out = s;
    return true;
}
