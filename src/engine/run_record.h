// Everything one run produces, owned by the driver for the whole run and
// read by the console report, the result document and the upload.
#pragma once

#include <cstdint>

#include "engine/measure.h"
#include "sysenv/sysenv.h"

// The four passes of every test, in the order the result arrays are kept.
constexpr int kRawMulti = 0;
constexpr int kRawSingle = 1;
constexpr int kRealMulti = 2;
constexpr int kRealSingle = 3;
constexpr int kPassCount = 4;

struct RunRecord {
    SystemInfo info;
    BackgroundStats stats;
    uint64_t duration_ms;
    TestResult results[kPassCount][kTestCount];
    PassNotes notes[kPassCount][kTestCount];  // kept for the warnings only; never printed in the table or sent
};
