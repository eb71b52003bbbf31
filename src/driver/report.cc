// The console report: fixed texts and a fixed column layout.
#include "driver/report.h"

#include "quillmoth_config.h"

namespace {

const char kShortRule[] = "  ------------------------------------------------------------------\n";
const char kLongRule[] = "  --------------------------------------------------------------------------\n";

const char* or_unknown(const char* text) { return text[0] != '\0' ? text : "unknown"; }

const char* const kPassSuite[kPassCount] = {"RAW", "RAW", "REAL", "REAL"};

void print_thread_warning(FILE* err, const RunRecord* record) {
    int affected = 0, parallel = 0, worst = 0, threads = 0;
    for (int p = 0; p < kPassCount; ++p) {
        for (int i = 0; i < kTestCount; ++i) {
            if (record->results[p][i].threads < 2) continue;
            ++parallel;
            const int32_t failed = record->notes[p][i].threads_not_started;
            if (failed <= 0) continue;
            ++affected;
            if (failed > worst) {
                worst = failed;
                threads = record->results[p][i].threads;
            }
        }
    }
    if (affected == 0) return;
    std::fprintf(err,
                 "  warning: %d of %d threads could not be started in %d of %d multi-core measurements; "
                 "their figures did not run %sin parallel\n",
                 worst, threads, affected, parallel, worst == threads - 1 ? "" : "fully ");
}

void print_spread_warning(FILE* err, const RunRecord* record) {
    int noisy = 0, worst_pass = 0, worst_test = 0;
    double worst = 0.0;
    for (int p = 0; p < kPassCount; ++p) {
        for (int i = 0; i < kTestCount; ++i) {
            const PassNotes* n = &record->notes[p][i];
            // Compared as a product so that runs exactly 10% apart do not count.
            if (n->fastest <= 0.0 || !(n->slowest > 1.1 * n->fastest)) continue;
            ++noisy;
            const double spread = (n->slowest - n->fastest) / n->fastest;
            if (spread > worst) {
                worst = spread;
                worst_pass = p;
                worst_test = i;
            }
        }
    }
    if (noisy == 0) return;
    std::fprintf(err,
                 "  warning: %d of %d measurements varied by more than 10%% between their runs "
                 "(worst: %s, %s %ld-core, %.1f%%); rerun on an idle machine for steadier figures\n",
                 noisy, kPassCount * kTestCount, tests[worst_test].name, kPassSuite[worst_pass],
                 static_cast<long>(record->results[worst_pass][worst_test].threads), worst * 100.0);
}

}  // namespace

void print_machine(FILE* out, const SystemInfo* info) {
    std::fprintf(out, "\n");
    std::fprintf(out, "  quillmoth %s - multi-core CPU benchmark\n", QUILLMOTH_VERSION);
    std::fputs(kShortRule, out);
    std::fprintf(out, "  CPU:       %s\n", info->cpu);
    std::fprintf(out, "  model:     %s\n", or_unknown(info->model));
    std::fprintf(out, "  cores:     %ld physical / %ld threads\n", static_cast<long>(info->cpu_cores),
                 static_cast<long>(info->cpu_threads));
    std::fprintf(out, "  memory:    %ld MB\n", static_cast<long>(info->memory_mb));
    std::fprintf(out, "  caches:    L1 %ld KB / L2 %ld KB / L3 %ld KB\n", static_cast<long>(info->l1_cache_kb),
                 static_cast<long>(info->l2_cache_kb), static_cast<long>(info->l3_cache_kb));
    std::fprintf(out, "  OS:        %s (%s)\n", info->operating_system, architecture_name());
    std::fprintf(out, "  kernel:    %s\n", or_unknown(info->kernel));
    std::fprintf(out, "  compiler:  %s\n", info->compiler);
    std::fprintf(out, "\n");
}

void print_table_header(FILE* out) {
    std::fprintf(out, "  %-24s %12s  %-11s %8s\n", "TEST", "RATE", "UNIT", "TIME");
    std::fputs(kLongRule, out);
    std::fflush(out);
}

void print_suite_heading(FILE* out, bool real_suite) {
    if (real_suite) {
        std::fputs(kLongRule, out);
        std::fprintf(out, "  REAL score suite (optimised portable C)\n");
    } else {
        std::fprintf(out, "  RAW score suite (architecture assembly)\n");
    }
}

void print_test_name(FILE* out, int test_index) {
    std::fprintf(out, "  %-24s", tests[test_index].name);
    std::fflush(out);
}

void print_test_result(FILE* out, int test_index, const TestResult* multi, const TestResult* single, bool verbose) {
    const TestInfo& test = tests[test_index];
    std::fprintf(out, " %12.1f  %-11s %7.2fs\n", display_value(test_index, multi), test.unit, multi->seconds);
    if (verbose) {
        std::fprintf(out, "  %-24s   %s\n  %-24s   1-core: %.1f %s   %ld-core: %.1f %s\n", "", test.detail, "",
                     display_value(test_index, single), test.unit, static_cast<long>(multi->threads),
                     display_value(test_index, multi), test.unit);
    }
}

void print_closing_rule(FILE* out) { std::fputs(kLongRule, out); }

void print_total(FILE* out, uint64_t duration_ms) {
    std::fprintf(out, "  %-24s %41.2fs\n", "TOTAL DURATION", static_cast<double>(duration_ms) / 1000.0);
    std::fprintf(out, "\n");
}

void print_run_warnings(FILE* err, const RunRecord* record) {
    print_thread_warning(err, record);
    print_spread_warning(err, record);
}
