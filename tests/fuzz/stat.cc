// /proc/stat: the first line's CPU time counters.
#include "fuzz_input.h"
#include "sysenv/linux_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const CString text(data, size);
    CpuTicks ticks = {};
    if (parse_stat_cpu_line(text.get(), &ticks)) FUZZ_CHECK(ticks.idle <= ticks.total);

    if (!fuzz_files()) return 0;
    static FileTree tree;
    tree.write("/proc/stat", data, size);
    ticks = {};
    if (linux_cpu_ticks(tree.root(), &ticks)) FUZZ_CHECK(ticks.idle <= ticks.total);
    return 0;
}
