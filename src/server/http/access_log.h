// The access log: one line per answer, written with one call so that the
// lines of concurrent requests never mix.
#pragma once

#include <cstdio>
#include <string>

#include "server/http/message.h"

void write_access_log(FILE* log, const HttpRequest& req, const HttpResponse& res);

// The log's form of a path: a claim code never reaches the log, and bytes
// that could forge log lines are escaped.
std::string loggable_path(const std::string& path);
