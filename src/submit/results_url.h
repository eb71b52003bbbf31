// The results service, fixed at build time from QUILLMOTH_RESULTS_URL. The
// definitions are generated into a library of their own, so a test build can
// link the same program against a loopback URL.
#pragma once

extern const char results_url[];        // as configured; shown in the upload question
extern const char results_host[];       // host name or IPv4 address
extern const char results_port[];       // "80" when the URL names none
extern const char results_base_path[];  // "" or "/path", without a trailing slash
