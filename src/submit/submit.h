// The JSON result document and the HTTP upload client.
#pragma once

#include <cstdint>

#include "engine/run_test.h"
#include "sysenv/sysenv.h"

// Builds the document, sends it to the results service and prints the
// outcome. Never changes the exit status.
void upload_result(const SystemInfo* info, const BackgroundStats* stats, uint64_t duration_ms,
                   const TestResult* raw_multi, const TestResult* raw_single, const TestResult* real_multi,
                   const TestResult* real_single);
