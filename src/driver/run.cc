// The fixed run sequence, on the main thread.
#include "driver/run.h"

#include <cstdio>

#include "driver/report.h"
#include "engine/clock.h"
#include "engine/run_test.h"
#include "submit/submit.h"
#include "sysenv/sysenv.h"
#include "workloads/workloads.h"

namespace {

void run_suite(bool real_suite, const RunOptions* options, TestResult* multi, TestResult* single) {
    print_suite_heading(stdout, real_suite);
    g_c_backend = real_suite ? 1 : 0;
    for (int i = 0; i < kTestCount; ++i) {
        print_test_name(stdout, i);
        run_test(&multi[i], &tests[i], static_cast<int32_t>(g_ncores));
        run_test(&single[i], &tests[i], 1);
        print_test_result(stdout, i, &multi[i], &single[i], options->verbose, g_ncores);
    }
}

}  // namespace

int run_benchmark(const RunOptions* options) {
    static SystemInfo info;
    static BackgroundStats stats;
    static TestResult raw_multi[kTestCount], raw_single[kTestCount];
    static TestResult real_multi[kTestCount], real_single[kTestCount];

    probe_system_info(&info);
    g_ncores = usable_processors(&info);
    print_usable_processors(stderr, g_ncores, info.cpu_threads);

    if (options->system_check) {
        check_background_activity(&info, &stats);
    } else {
        stats = kBackgroundSkipped;
    }

    const double start = now_seconds();
    std::printf("\n  preparing workloads...");
    std::fflush(stdout);
    prepare_workloads();
    std::printf(" done\n");

    print_machine(stdout, &info);
    print_table_header(stdout);

    run_suite(false, options, raw_multi, raw_single);
    run_suite(true, options, real_multi, real_single);

    print_closing_rule(stdout);
    const double end = now_seconds();
    const uint64_t duration_ms = static_cast<uint64_t>((end - start) * 1000.0);
    print_total(stdout, duration_ms);

    release_workloads();

    bool go = false;
    if (options->upload_mode == UploadMode::upload) {
        go = true;
    } else if (options->upload_mode == UploadMode::ask) {
        go = ask_upload(stdin, stdout, results_url);
    }
    if (!go) {
        std::printf("  Result was not uploaded.\n");
        return 0;
    }
    upload_result(&info, &stats, duration_ms, raw_multi, raw_single, real_multi, real_single);
    return 0;
}
