// Checking an uploaded result document before anything is stored.
#pragma once

#include <string>
#include <vector>

#include "server/store.h"

constexpr size_t kMaxDocumentBytes = 131072;
constexpr const char kWorkloadSuite[] = "quillmoth-cpu-v2";

// Checks body against every rule of the document format. Returns 1 and fills
// the summary's extracted columns (cpu, model, operating_system, compiler,
// cores, threads, figures, architecture, and the derived scores, flags,
// processor key and content hash) when the document is valid; otherwise 0 with one
// message per failed rule in *errors, each naming the rule and the key.
int validate_document(const std::string& body, ResultSummary* summary, std::vector<std::string>* errors);
// The same columns, with the scores, flags, processor key and content hash,
// from a document that was valid when stored (no rules are checked, so that
// a later rule never makes a stored result unreadable). 0 when it does not
// parse or lacks a field.
int read_document(const std::string& body, ResultSummary* summary);
