// What is derived from a result's figures and document: the scores, the
// processor key that groups results per CPU, the flags that keep a result out
// of statistics, and the hash that finds repeated uploads.
#pragma once

#include <string>

#include "workloads/catalogue.h"

// The four suite scores, then the two headline scores.
enum {
    kScoreRawMulti,
    kScoreRawSingle,
    kScoreRealMulti,
    kScoreRealSingle,
    kScoreMulti,   // geometric mean of the two N-core scores
    kScoreSingle,  // of the two 1-core scores
    kScoreCount
};
struct ScoreName {
    const char* key;    // "raw_multi": columns, JSON, CSV
    const char* title;  // "RAW N-core"
};
extern const ScoreName kScoreNames[kScoreCount];

// The scores of figures[suite][pass][test] measured with workload suite
// `suite`: 1000 x the geometric mean over the tests of figure / reference
// (reference / figure for memory latency), so that higher is better and the
// reference run scores 1000. Returns 0 and zeros when the suite has no
// reference; a score with a zero figure is 0.
int compute_scores(const std::string& suite, const double figures[2][2][kTestCount], double scores[kScoreCount]);

enum {
    kFlagBusy = 1,       // the background check averaged 10% or more
    kFlagUnchecked = 2,  // the background check was skipped
    kFlagDuplicate = 4,  // the same document bytes were stored before
};
constexpr double kBusyPercent = 10.0;
// "busy unchecked duplicate" style, in that order; "" for none.
std::string flag_names(int flags);
int document_flags(double background_average_percent, long long sample_seconds);

// Architecture plus the CPU name case-folded (ASCII) with runs of white space
// collapsed to one space and the ends trimmed: "x86-64:intel core i5", which
// a link carries percent-encoded.
std::string processor_key(const std::string& architecture, const std::string& cpu);

// SHA-256 of the document bytes, 32 raw bytes ("" when libcrypto failed).
std::string content_hash(const std::string& document);

#include <vector>
// The p-th percentile (0..100) of values, linearly interpolated between the
// nearest ranks; sorts values. 0 for none.
double percentile(std::vector<double>* values, double p);
