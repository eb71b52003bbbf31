// Stands in for the result pages until they are built: a plain front page.
#include <httplib.h>

#include "server/pages.h"

void add_page_routes(httplib::Server* http, ResultStore*, const PageContext& ctx) {
    http->Get(ctx.base_path.empty() ? "/" : ctx.base_path + "/?", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>quillmoth results</title>"
                        "</head><body><h1>quillmoth results</h1></body></html>\n",
                        "text/html; charset=utf-8");
    });
}
