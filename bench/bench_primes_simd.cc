#include "bench_util.h"

QM_BENCH_TEST(primes, 3);
QM_BENCH_TEST(extended_instructions, 4);
