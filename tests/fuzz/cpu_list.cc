// sysfs processor lists ("0-3,8"): the online processors and the thread
// siblings from which the physical cores are counted.
#include "fuzz_input.h"
#include "sysenv/linux_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const CString text(data, size);
    int64_t count = 0, lowest = 0;
    if (parse_cpu_list(text.get(), &count, &lowest)) FUZZ_CHECK(count >= 1 && lowest >= 0);

    if (!fuzz_files()) return 0;
    static FileTree tree;
    tree.write("/sys/devices/system/cpu/online", data, size);
    tree.write("/sys/devices/system/cpu/cpu0/topology/core_cpus_list", data, size);
    const long online = linux_online_processors(tree.root());
    FUZZ_CHECK(online == -1 || online >= 1);
    int32_t cores = 0;
    if (linux_physical_cores(tree.root(), &cores)) FUZZ_CHECK(cores == 1);
    return 0;
}
