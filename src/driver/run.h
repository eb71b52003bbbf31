#pragma once

#include "driver/options.h"

// The whole run after option parsing; returns the exit status.
int run_benchmark(const RunOptions* options);
