// The eleven tests, in the order every report and document uses: the
// catalogue's texts and counts paired with each test's run function.
#include "workloads/kernels.h"

unsigned char g_c_backend = 0;
int64_t g_ncores = 1;

namespace {
constexpr TestInfo row(int i, RunFn run) {
    const CatalogueEntry& c = g_catalogue[i];
    return {c.name, c.detail, run, c.start_iterations, c.work_per_iteration, c.unit};
}
}  // namespace

const TestInfo tests[kTestCount] = {
    row(0, run_int32),   row(1, run_int),     row(2, run_fp),      row(3, run_primes),
    row(4, run_simd),    row(5, run_compress), row(6, run_crypto), row(7, run_physics),
    row(8, run_sort),    row(9, run_chase),   row(10, run_stream),
};
