#include "bench_util.h"

QM_BENCH_TEST(native_integer, 0);
QM_BENCH_TEST(wide_integer, 1);
QM_BENCH_TEST(floating_point, 2);
