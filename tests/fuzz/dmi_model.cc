// DMI vendor and product names (two NUL-separated pieces): the model text.
#include "fuzz_input.h"
#include "sysenv/linux_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> pieces = split_at_nul(data, size, 2);
    const std::string& vendor = pieces[0];
    const std::string product = pieces.size() > 1 ? pieces[1] : "";
    const CString vendor_text(vendor), product_text(product);
    for (size_t cap : {size_t{0}, size % 16 + 1, size_t{256}}) {
        OutBuffer out(cap);
        if (compose_dmi_model(vendor_text.get(), product_text.get(), out.get(), out.cap()))
            FUZZ_CHECK(out.terminated());
    }
    if (!fuzz_files()) return 0;
    static FileTree tree;
    tree.write("/sys/devices/virtual/dmi/id/sys_vendor", vendor);
    tree.write("/sys/devices/virtual/dmi/id/product_name", product);
    for (size_t cap : {size % 16 + 1, size_t{256}}) {
        OutBuffer out(cap);
        if (linux_model(tree.root(), out.get(), out.cap())) FUZZ_CHECK(out.terminated());
    }
    return 0;
}
