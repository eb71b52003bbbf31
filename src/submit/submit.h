// The JSON result document and the HTTP upload client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "engine/run_record.h"
#include "submit/results_url.h"

// Fixed buffer sizes, each including the terminating NUL.
constexpr size_t kDocumentCapacity = 131072;
constexpr size_t kRequestCapacity = 140000;
constexpr size_t kReplyCapacity = 4096;
constexpr size_t kBodyCapacity = 2048;
constexpr size_t kLinkCapacity = 1024;

// ---- Result document -------------------------------------------------------

// Copies src into out (capacity bytes, NUL-terminated) with the five JSON
// escapes; other control bytes are dropped, everything else is copied as is.
// An escape that does not fit whole ends the output before it.
void json_escape(const char* src, char* out, size_t capacity);

// Appends the eleven test objects of one suite at *length. Returns 1 when all
// eleven fit; otherwise 0 with *length at the end of the last whole object.
int append_result_tests(char* doc, size_t* length, const TestResult* multi, const TestResult* single);

// Renders the whole document of a run into doc (kDocumentCapacity bytes).
// Returns 1 and the length without the terminator, or 0 when it does not fit.
int build_result_document(char* doc, size_t* length, const RunRecord* record);

// The same two with the capacity given, so the overflow paths can be reached
// with a real document.
int append_result_tests_with(char* doc, size_t capacity, size_t* length, const TestResult* multi,
                             const TestResult* single);
int build_result_document_with(char* doc, size_t capacity, size_t* length, const RunRecord* record);

// ---- Upload client ---------------------------------------------------------

// Looks up the string value of "key" in a JSON body (first occurrence of the
// quoted key only) and copies it, with backslash escapes taken literally, into
// out (kLinkCapacity bytes). Returns 1 for a non-empty value copied whole.
int json_string_field(const char* body, const char* key, char* out);

// Where and how patiently to upload. The program uses the build-time URL with
// 10 s to connect and 30 s for the reply; tests point it at a loopback server.
struct UploadTarget {
    const char* host;
    const char* port;
    const char* path;        // the request path, e.g. "/api/v1/submissions"
    int connect_timeout_ms;  // per address
    int reply_timeout_ms;    // for each send, and for the whole reply
};

// Resolves, connects, sends the request and reads the reply until the server
// closes, kReplyCapacity - 1 bytes are held or the reply time-out passes.
// Returns 1 with the reply NUL-terminated in reply (kReplyCapacity bytes);
// otherwise prints the transport error on err and returns 0. The socket is
// closed on every path.
int http_exchange(const UploadTarget* target, const char* request, size_t request_length, char* reply,
                  size_t* reply_length, FILE* err);

// Replaces every control byte (below 0x20, and 0x7f) with '?', so that text
// from elsewhere cannot move the cursor or forge lines on the terminal.
void replace_control_bytes(char* text);

// Reads the status and body of a reply (reply[length] must be NUL) and prints
// the outcome: the result link and claim code on out, refusals on err.
// Returns 1 when the result was accepted and its link printed.
int report_reply(const char* reply, size_t length, FILE* out, FILE* err);

// The whole upload against a given target, printing on out and err. When out
// cannot be written, the link and claim code go to err as well.
void upload_result_with(const UploadTarget* target, FILE* out, FILE* err, const RunRecord* record);

// Builds the document, sends it to the results service and prints the
// outcome. Never changes the exit status.
void upload_result(const RunRecord* record);
