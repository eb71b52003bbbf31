// /proc/meminfo: total and available memory.
#include "fuzz_input.h"
#include "sysenv/linux_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const std::string& line : split_lines(data, size)) {
        const CString text(line);
        for (const char* key : {"MemTotal", "MemAvailable"}) {
            uint64_t bytes = 0;
            if (const char* value = parse_key_value(text.get(), key)) {
                FUZZ_CHECK(value >= text.get() && value <= text.get() + line.size());
                if (parse_meminfo_bytes(value, &bytes)) FUZZ_CHECK(bytes % 1024 == 0);
            }
        }
    }
    if (!fuzz_files()) return 0;
    static FileTree tree;
    tree.write("/proc/meminfo", data, size);
    uint64_t bytes = 0;
    linux_memory_bytes(tree.root(), &bytes);
    linux_available_memory_bytes(tree.root(), &bytes);
    return 0;
}
