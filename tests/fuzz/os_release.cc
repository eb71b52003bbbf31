// os-release: the PRETTY_NAME line, in /etc or in /usr/lib.
#include "fuzz_input.h"
#include "sysenv/linux_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A small capacity that varies with the input, to reach the cuts, and a roomy one.
    const size_t caps[] = {size % 8 + 1, 256};
    for (const std::string& line : split_lines(data, size)) {
        const CString text(line);
        for (size_t cap : caps) {
            OutBuffer out(cap);
            if (parse_os_release_line(text.get(), out.get(), out.cap())) FUZZ_CHECK(out.get()[0] != '\0');
            FUZZ_CHECK(out.terminated() || std::strncmp(text.get(), "PRETTY_NAME=", 12) != 0);
        }
    }
    if (!fuzz_files()) return 0;
    static FileTree tree;
    // Alternate between the two places the file can be; /etc wins when both exist.
    tree.write(size % 2 == 0 ? "/etc/os-release" : "/usr/lib/os-release", data, size);
    for (size_t cap : caps) {
        OutBuffer out(cap);
        if (linux_os_text(tree.root(), out.get(), out.cap())) FUZZ_CHECK(out.terminated() && out.get()[0] != '\0');
    }
    return 0;
}
