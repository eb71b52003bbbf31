// The result document's fields and the names of its suites and passes, in
// one table for the validator, the document reader, the stores and the JSON
// summaries.
#pragma once

#include <cstddef>
#include <span>

#include "workloads/catalogue.h"

enum { kSuiteRaw = 0, kSuiteReal = 1 };
enum { kPassMulti = 0, kPassSingle = 1 };

struct SuiteName {
    const char* document_key;  // "raw_tests": the document's array
    const char* key;           // "raw": stored rows, JSON summaries, page anchors
    const char* title;         // "RAW": shown on pages
};
struct PassName {
    const char* document_key;  // "multicore"
    const char* key;           // "multi"
    const char* title;         // "N-core"
};
extern const SuiteName kSuites[2];
extern const PassName kPasses[2];

enum class FieldKind {
    text,         // string of at most `limit` bytes
    count,        // integer >= 1
    integer,      // integer >= -1 (the benchmark writes -1 for "unknown")
    unsigned_int, // integer >= 0
    figure,       // any finite number >= 0
    checksum,     // decimal string that fits 64 bits
    object,
    array,
};

struct Field {
    const char* key;
    FieldKind kind;
    size_t limit;  // texts only
};

// The document's objects, from the top down to one pass of one test.
extern const std::span<const Field> kTopFields, kScoreFields, kEnvironmentFields, kTestFields, kPassFields;

// The values "architecture" may take.
extern const std::span<const char* const> kArchitectures;

// Index of a test id in the catalogue; -1 when there is none.
int test_index(const char* id);
