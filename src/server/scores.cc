#include "server/scores.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "server/fields.h"

const ScoreName kScoreNames[kScoreCount] = {
    {"raw_multi", "RAW N-core"},   {"raw_single", "RAW 1-core"}, {"real_multi", "REAL N-core"},
    {"real_single", "REAL 1-core"}, {"multi", "Multi-core"},     {"single", "Single-core"},
};

namespace {

// The reference for "quillmoth-cpu-v2": one run on the shared development
// machine (AMD EPYC, 2 cores, Debian 12, GCC 12.2), figures as the benchmark
// printed them (reference/quillmoth-cpu-v2.txt). [suite][pass][test] in
// catalogue order; a later suite gets a table of its own.
const double kReferenceV2[2][2][kTestCount] = {
    {{9215.0, 3875.2, 1165.7, 509.2, 6161.0, 557.0, 376.9, 170.1, 108.6, 289.8, 26152.0},
     {4927.8, 2174.2, 1107.0, 401.0, 6367.6, 530.5, 373.6, 162.3, 113.8, 175.6, 31746.5}},
    {{3502.0, 3568.9, 1310.3, 1172.5, 18145.1, 1031.4, 573.9, 283.8, 176.2, 214.0, 43446.1},
     {3586.6, 4488.0, 1109.9, 652.0, 8963.4, 520.5, 410.6, 167.4, 148.7, 154.6, 45014.8}},
};

}  // namespace

int compute_scores(const std::string& suite, const double figures[2][2][kTestCount], double scores[kScoreCount]) {
    for (int i = 0; i < kScoreCount; ++i) scores[i] = 0;
    if (suite != "quillmoth-cpu-v2") return 0;
    const int latency = test_index("memory_latency");
    for (int s = 0; s < 2; ++s)
        for (int p = 0; p < 2; ++p) {
            double sum = 0;
            bool zero = false;
            for (int t = 0; t < kTestCount; ++t) {
                const double f = figures[s][p][t], r = kReferenceV2[s][p][t];
                zero = zero || !(f > 0);
                if (!zero) sum += std::log(t == latency ? r / f : f / r);
            }
            scores[s * 2 + p] = zero ? 0 : 1000 * std::exp(sum / kTestCount);
        }
    scores[kScoreMulti] = std::sqrt(scores[kScoreRawMulti] * scores[kScoreRealMulti]);
    scores[kScoreSingle] = std::sqrt(scores[kScoreRawSingle] * scores[kScoreRealSingle]);
    return 1;
}

std::string flag_names(int flags) {
    static const char* const kNames[] = {"busy", "unchecked", "duplicate"};
    std::string out;
    for (int i = 0; i < 3; ++i)
        if (flags & (1 << i)) out += (out.empty() ? "" : " ") + std::string(kNames[i]);
    return out;
}

int document_flags(double background_average_percent, long long sample_seconds) {
    if (sample_seconds == 0) return kFlagUnchecked;
    return background_average_percent >= kBusyPercent ? kFlagBusy : 0;
}

std::string processor_key(const std::string& architecture, const std::string& cpu) {
    std::string out = architecture + ":";
    bool space = false;
    for (char c : cpu) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            space = true;
            continue;
        }
        if (space && out.back() != ':') out += ' ';
        space = false;
        out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

std::string content_hash(const std::string& document) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(document.data(), document.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length != 32)
        return std::string();
    return std::string(reinterpret_cast<const char*>(digest), length);
}

double percentile(std::vector<double>* values, double p) {
    if (values->empty()) return 0;
    std::sort(values->begin(), values->end());
    const double rank = p / 100 * static_cast<double>(values->size() - 1);
    const size_t below = static_cast<size_t>(rank);
    if (below + 1 >= values->size()) return values->back();
    const double fraction = rank - static_cast<double>(below);
    return (*values)[below] + fraction * ((*values)[below + 1] - (*values)[below]);
}
