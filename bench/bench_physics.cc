#include "bench_util.h"

QM_BENCH_TEST(physics, 7);
