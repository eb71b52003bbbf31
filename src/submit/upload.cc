// The upload: document, request, exchange, outcome.
#include <cstdio>
#include <cstring>

#include "submit/submit.h"

void upload_result_with(const UploadTarget* target, FILE* out, FILE* err, const RunRecord* record) {
    // Too large for a thread's stack on some systems; the upload runs once.
    static char document[kDocumentCapacity];
    static char request[kRequestCapacity];
    size_t document_length = 0;
    if (!build_result_document(document, &document_length, record)) return;
    // The empty %s is the block of additional header lines: none are sent.
    const int n = std::snprintf(request, sizeof request,
                                "POST %s HTTP/1.1\r\nHost: %s:%s\r\nContent-Type: application/json\r\n"
                                "Content-Length: %d\r\nConnection: close\r\n%s\r\n%s",
                                target->path, target->host, target->port, static_cast<int>(document_length), "",
                                document);
    if (n < 0 || static_cast<size_t>(n) >= sizeof request) return;

    char reply[kReplyCapacity];
    size_t reply_length = 0;
    if (!http_exchange(target, request, static_cast<size_t>(n), reply, &reply_length, err)) return;
    if (!report_reply(reply, reply_length, out, err)) return;
    // The claim code exists nowhere else: if it could not be shown, show it
    // where it can be.
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fprintf(err, "  the result was uploaded, but standard output could not be written:\n");
        report_reply(reply, reply_length, err, err);
    }
}

void upload_result(const RunRecord* record) {
    char host[256];
    char port[16];
    char path[512];
    const int h = std::snprintf(host, sizeof host, "%s", results_host);
    const int p = std::snprintf(port, sizeof port, "%s", results_port);
    const int r = std::snprintf(path, sizeof path, "%.*s/api/v1/submissions",
                                static_cast<int>(std::strlen(results_base_path)), results_base_path);
    // The configure step rejects URLs whose pieces would not fit.
    if (h < 0 || static_cast<size_t>(h) >= sizeof host || p < 0 || static_cast<size_t>(p) >= sizeof port ||
        r < 0 || static_cast<size_t>(r) >= sizeof path)
        return;
    const UploadTarget target = {host, port, path, 10000, 30000};
    upload_result_with(&target, stdout, stderr, record);
}
