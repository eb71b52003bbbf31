#pragma once

#include <cstdio>

#include "driver/options.h"

// The exit status when the report could not be written to standard output.
constexpr int kOutputFailedStatus = 3;

// The whole run after option parsing; returns the exit status.
int run_benchmark(const RunOptions* options);

// Flushes out and checks that everything written to it arrived. Returns
// status when it did; otherwise says so on err and returns kOutputFailedStatus.
int finish_output(FILE* out, FILE* err, int status);
