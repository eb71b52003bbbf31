// sysfs cache entries: size ("32K"), level and type, as three NUL-separated pieces.
#include "fuzz_input.h"
#include "sysenv/linux_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> pieces = split_at_nul(data, size, 3);
    const CString text(pieces[0]);
    uint64_t bytes = 0;
    parse_cache_size(text.get(), &bytes);

    if (!fuzz_files()) return 0;
    static FileTree tree;
    tree.write("/sys/devices/system/cpu/cpu0/cache/index0/size", pieces[0]);
    tree.write("/sys/devices/system/cpu/cpu0/cache/index0/level", pieces.size() > 1 ? pieces[1] : "1");
    tree.write("/sys/devices/system/cpu/cpu0/cache/index0/type", pieces.size() > 2 ? pieces[2] : "Data");
    for (CacheSlot slot : {kCacheL1Data, kCacheL1Instruction, kCacheL2, kCacheL3}) {
        bytes = 0;
        linux_cache_bytes(tree.root(), slot, &bytes);
        linux_sysfs_cache(tree.root(), slot, &bytes);
    }
    return 0;
}
