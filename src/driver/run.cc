// The fixed run sequence, on the main thread.
#include "driver/run.h"

#include <cstdio>

#include "driver/report.h"
#include "engine/clock.h"
#include "engine/measure.h"
#include "engine/run_record.h"
#include "submit/submit.h"
#include "sysenv/sysenv.h"
#include "workloads/workloads.h"

namespace {

void run_suite(bool real_suite, const RunOptions* options, RunRecord* record) {
    const int multi = real_suite ? kRealMulti : kRawMulti;
    const int single = real_suite ? kRealSingle : kRawSingle;
    print_suite_heading(stdout, real_suite);
    g_c_backend = real_suite ? 1 : 0;
    for (int i = 0; i < kTestCount; ++i) {
        print_test_name(stdout, i);
        run_test(&record->results[multi][i], &tests[i], static_cast<int32_t>(g_ncores), &record->notes[multi][i]);
        run_test(&record->results[single][i], &tests[i], 1, &record->notes[single][i]);
        print_test_result(stdout, i, &record->results[multi][i], &record->results[single][i], options->verbose);
    }
}

}  // namespace

int finish_output(FILE* out, FILE* err, int status) {
    if (std::fflush(out) == 0 && !std::ferror(out)) return status;
    std::fprintf(err, "quillmoth: cannot write to standard output\n");
    return kOutputFailedStatus;
}

int run_benchmark(const RunOptions* options) {
    RunRecord record = {};

    probe_system_info(&record.info);
    g_ncores = usable_processors(&record.info);
    print_usable_processors(stderr, g_ncores, record.info.cpu_threads);

    if (options->system_check) {
        check_background_activity(&record.info, &record.stats);
    } else {
        record.stats = kBackgroundSkipped;
    }

    const double start = now_seconds();
    std::printf("\n  preparing workloads...");
    std::fflush(stdout);
    prepare_workloads();
    std::printf(" done\n");

    print_machine(stdout, &record.info);
    print_table_header(stdout);

    run_suite(false, options, &record);
    run_suite(true, options, &record);

    print_closing_rule(stdout);
    const double end = now_seconds();
    record.duration_ms = static_cast<uint64_t>((end - start) * 1000.0);
    print_total(stdout, record.duration_ms);
    // The table is complete on the screen before any warning about it.
    std::fflush(stdout);
    print_run_warnings(stderr, &record);

    release_workloads();

    bool go = false;
    if (options->upload_mode == UploadMode::upload) {
        go = true;
    } else if (options->upload_mode == UploadMode::ask) {
        go = ask_upload(stdin, stdout, results_url);
    }
    if (!go) {
        std::printf("  Result was not uploaded.\n");
        return finish_output(stdout, stderr, 0);
    }
    upload_result(&record);
    return finish_output(stdout, stderr, 0);
}
