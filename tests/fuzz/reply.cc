// The results service's reply: status line, body and the two links printed.
#include "fuzz_input.h"
#include "submit/submit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The client never holds more than kReplyCapacity - 1 bytes.
    if (size > kReplyCapacity - 1) size = kReplyCapacity - 1;
    const CString reply(data, size);
    char* out_text = nullptr;
    size_t out_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    static FILE* err = std::fopen("/dev/null", "w");
    report_reply(reply.get(), size, out, err);
    std::fclose(out);
    // Whatever the reply, the outcome is whole lines, each link within its buffer.
    FUZZ_CHECK(out_size == 0 || out_text[out_size - 1] == '\n');
    for (const char* line = out_text; line < out_text + out_size;) {
        const char* end = static_cast<const char*>(std::memchr(line, '\n', out_text + out_size - line));
        FUZZ_CHECK(end != nullptr && static_cast<size_t>(end - line) < 64 + kLinkCapacity);
        line = end + 1;
    }
    std::free(out_text);
    return 0;
}
