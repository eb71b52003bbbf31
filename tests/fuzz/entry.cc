// A fuzz binary's entry point: QM_FUZZ_TARGET names the target it runs,
// through its plain-bytes wrapper in targets.cc, so that this file needs no
// large header and each of the ten binaries compiles in a moment.
#include <cstddef>
#include <cstdint>

#define QM_JOIN(a, b) a##b
#define QM_WRAPPER(name) QM_JOIN(fuzz_bytes_, name)
int QM_WRAPPER(QM_FUZZ_TARGET)(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return QM_WRAPPER(QM_FUZZ_TARGET)(data, size);
}
