// The one route table of the service (API and pages), and what the routes
// share: the call they receive, and one mapping of store answers to HTTP.
#pragma once

#include <string>

#include "server/http/message.h"
#include "server/http/params.h"
#include "server/pages/pages.h"
#include "server/store.h"

struct ServiceContext;

struct RouteCall {
    ServiceContext* ctx;
    const HttpRequest& req;
    HttpResponse& res;
    Params query;       // the query string, parsed
    std::string arg;    // the one variable path segment ({id} or {code}), if any
    PageContext pages;  // what the page renderers need
};
using RouteHandler = void (*)(RouteCall& call);

struct Route {
    const char* method;
    const char* path;  // under the base path; "{id}" and "{code}" match one segment
    RouteHandler handler;
};

// Answers one request from the table: 404 and 405 (with Allow) for what it
// does not hold, the security headers on every answer.
void route_request(ServiceContext* ctx, const HttpRequest& req, HttpResponse* res);

// One mapping of a store's answer to HTTP: not_found is 404; unavailable and
// every failure (a full disk included) is 503, worth trying again later.
int store_http_status(StoreStatus status);

// The one check of a result id wherever one arrives (a path segment, the
// compare list): 1 to 64 letters, digits, '-' and '_'.
constexpr size_t kMaxResultIdBytes = 64;
bool valid_result_id(const std::string& text);

// A CPU filter is at most this long and valid UTF-8, in the API and the pages alike.
constexpr size_t kMaxCpuFilterBytes = 200;
bool valid_cpu_filter(const std::string& text);

// A refusal in the form the request's path calls for: JSON errors for the
// API, plain text elsewhere; with the security headers.
void send_refusal(const ServiceContext* ctx, const std::string& path, int status, const char* message,
                  HttpResponse* res);

// Whether path (already without the base path) belongs to the API.
bool is_api_path(const std::string& path);
