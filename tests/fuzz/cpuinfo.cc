// /proc/cpuinfo: the processor name and the physical core count.
#include "fuzz_input.h"
#include "sysenv/linux_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CoreSet set;
    core_set_init(&set);
    for (const std::string& line : split_lines(data, size)) {
        const CString text(line);
        core_set_line(&set, text.get());
        parse_key_value(text.get(), "model name");
    }
    int32_t cores = 0;
    if (core_set_finish(&set, &cores)) FUZZ_CHECK(cores >= 1 && cores <= CoreSet::kMaxCores);

    // The same bytes as the file; no sysfs topology, so the core count comes from it.
    if (!fuzz_files()) return 0;
    static FileTree tree;
    tree.write("/proc/cpuinfo", data, size);
    for (size_t cap : {size_t{1}, size % 16 + 1, size_t{256}}) {
        OutBuffer name(cap);
        if (linux_processor_name(tree.root(), name.get(), name.cap())) FUZZ_CHECK(name.terminated());
    }
    cores = 0;
    if (linux_physical_cores(tree.root(), &cores)) FUZZ_CHECK(cores >= 1 && cores <= CoreSet::kMaxCores);
    return 0;
}
