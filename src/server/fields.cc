#include "server/fields.h"

#include <cstring>

const SuiteName kSuites[2] = {{"raw_tests", "raw", "RAW"}, {"real_tests", "real", "REAL"}};
const PassName kPasses[2] = {{"multicore", "multi", "N-core"}, {"singlecore", "single", "1-core"}};

namespace {

using K = FieldKind;
const Field kTop[] = {
    {"cpu", K::text, 255},          {"model", K::text, 255},
    {"cpu_cores", K::count, 0},     {"cpu_threads", K::count, 0},
    {"architecture", K::text, 32},  {"l1_cache_kb", K::integer, 0},
    {"l2_cache_kb", K::integer, 0}, {"l3_cache_kb", K::integer, 0},
    {"memory_mb", K::integer, 0},   {"operating_system", K::text, 255},
    {"compiler", K::text, 127},     {"lumatile_version", K::text, 32},
    {"workload_suite", K::text, 32}, {"duration_ms", K::unsigned_int, 0},
    {"score_details", K::object, 0},
};
const Field kScore[] = {
    {"minimum_test_seconds", K::figure, 0}, {"repeats", K::count, 0},
    {"system_environment", K::object, 0},   {"raw_tests", K::array, 0},
    {"real_tests", K::array, 0},
};
const Field kEnvironment[] = {
    {"kernel", K::text, 127},
    {"sample_seconds", K::unsigned_int, 0},
    {"background_cpu_average_percent", K::figure, 0},
    {"background_cpu_peak_percent", K::figure, 0},
    {"available_memory_mb", K::integer, 0},
    {"process_count", K::integer, 0},
};
const Field kTest[] = {
    {"id", K::text, 64},
    {"name", K::text, 255},
    {"detail", K::text, 255},
    {"unit", K::text, 32},
    {"start_iterations", K::unsigned_int, 0},
    {"work_per_iteration", K::figure, 0},
    {"multicore", K::object, 0},
    {"singlecore", K::object, 0},
};
const Field kPass[] = {
    {"display_metric", K::figure, 0}, {"rate", K::figure, 0},
    {"seconds", K::figure, 0},        {"iterations", K::unsigned_int, 0},
    {"threads", K::count, 0},         {"checksum", K::checksum, 0},
};
const char* const kArchitectureNames[] = {"x86-64", "arm64"};

}  // namespace

const std::span<const Field> kTopFields(kTop), kScoreFields(kScore), kEnvironmentFields(kEnvironment),
    kTestFields(kTest), kPassFields(kPass);
const std::span<const char* const> kArchitectures(kArchitectureNames);

int test_index(const char* id) {
    for (int i = 0; i < kTestCount; ++i)
        if (std::strcmp(g_catalogue[i].id, id) == 0) return i;
    return -1;
}
