#include "bench_util.h"

QM_BENCH_TEST(compression, 5);
QM_BENCH_TEST(encryption, 6);
