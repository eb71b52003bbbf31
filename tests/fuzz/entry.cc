// A fuzz binary's entry point: QM_FUZZ_TARGET names the target it runs.
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {
int QM_FUZZ_TARGET(const std::string& in);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::QM_FUZZ_TARGET(std::string(reinterpret_cast<const char*>(data), size));
}
