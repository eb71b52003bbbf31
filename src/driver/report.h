// The console report. Every piece writes to the stream it is given.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/run_record.h"

void print_machine(FILE* out, const SystemInfo* info);
void print_table_header(FILE* out);
void print_suite_heading(FILE* out, bool real_suite);
void print_test_name(FILE* out, int test_index);
void print_test_result(FILE* out, int test_index, const TestResult* multi, const TestResult* single, bool verbose);
void print_closing_rule(FILE* out);
void print_total(FILE* out, uint64_t duration_ms);

// After the table, on err: one warning when worker threads could not be
// started, one when the measured runs of a pass lay more than 10% apart.
// Nothing when the run was sound.
void print_run_warnings(FILE* err, const RunRecord* record);
