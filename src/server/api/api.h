// The JSON API: upload a document, fetch one, list them.
#pragma once

#include "server/routes.h"

void api_submit(RouteCall& call);      // POST /api/v1/submissions
void api_get_result(RouteCall& call);  // GET /api/v1/results/{id}
void api_list(RouteCall& call);        // GET /api/v1/results?limit&offset&cpu
void api_export_csv(RouteCall& call);     // GET /api/v1/export.csv?since
void api_export_ndjson(RouteCall& call);  // GET /api/v1/export.ndjson?since
void api_cpu(RouteCall& call);  // GET /api/v1/cpus/{key}?flagged
