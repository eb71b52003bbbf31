// json_string_field: a key, a NUL, then the body it is looked up in.
#include "fuzz_input.h"
#include "submit/submit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> pieces = split_at_nul(data, size, 2);
    const std::string key = pieces.size() > 1 ? pieces[0] : "result_url";
    const CString key_text(key), body(pieces.back());
    OutBuffer out(kLinkCapacity);
    const int found = json_string_field(body.get(), key_text.get(), out.get());
    FUZZ_CHECK(out.terminated());
    FUZZ_CHECK(found == 0 || out.get()[0] != '\0');
    return 0;
}
