// What the API and the pages share about listing results: the ranking and
// filter parameters, and the one place where a result's address is made.
#pragma once

#include <string>

#include "server/http/params.h"
#include "server/store.h"

// Reads sort (newest, multi, single), arch (an architecture, at most 32
// bytes) and flagged (0 or 1) into query; false when one is malformed.
bool parse_list_options(const Params& params, ListQuery* query);
const char* list_order_name(ListOrder order);

// A keyset cursor as text: "VALUE_SEQ", VALUE the row's uploaded_at or
// ordering score. parse_cursor sets query's after_* fields; false when
// malformed.
std::string list_cursor(const ListQuery& query, const ResultSummary& last);
bool parse_cursor(const std::string& text, ListQuery* query);

// The address of a result's page under base ("" for a path from the site's
// root, or a public URL); every link to a result is made here.
std::string result_url(const std::string& base, const std::string& id);
// The address of a processor's page: its key percent-encoded as one segment.
std::string cpu_url(const std::string& base, const std::string& processor_key);
