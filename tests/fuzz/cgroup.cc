// cgroup CPU quotas: /proc/self/cgroup, /proc/self/mountinfo and a quota file
// (cpu.max, or cpu.cfs_quota_us), as three NUL-separated pieces.
#include "fuzz_input.h"
#include "sysenv/linux_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> pieces = split_at_nul(data, size, 3);
    const std::string& cgroup = pieces[0];
    const std::string mountinfo = pieces.size() > 1 ? pieces[1] : "";
    const std::string quota = pieces.size() > 2 ? pieces[2] : "";

    for (const char* controller : {static_cast<const char*>(nullptr), "cpu"}) {
        for (const std::string& line : split_lines(reinterpret_cast<const uint8_t*>(cgroup.data()), cgroup.size())) {
            const CString text(line);
            if (const char* path = parse_cgroup_line(text.get(), controller))
                FUZZ_CHECK(path >= text.get() && path <= text.get() + line.size());
        }
        for (const std::string& line :
             split_lines(reinterpret_cast<const uint8_t*>(mountinfo.data()), mountinfo.size())) {
            const CString text(line);
            for (size_t cap : {size % 16 + 1, size_t{4096}}) {
                OutBuffer mount_root(cap), point(cap);
                if (parse_cgroup_mount(text.get(), controller, mount_root.get(), cap, point.get(), cap))
                    FUZZ_CHECK(mount_root.terminated() && point.terminated());
            }
        }
    }
    const CString quota_text(quota);
    int64_t cpus = 0;
    if (parse_cpu_quota(quota_text.get(), &cpus)) FUZZ_CHECK(cpus >= 0);

    if (!fuzz_files()) return 0;
    static FileTree tree;
    tree.write("/proc/self/cgroup", cgroup);
    tree.write("/proc/self/mountinfo", mountinfo);
    tree.write("/sys/fs/cgroup/cpu.max", quota);
    tree.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", quota);
    tree.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    cpus = 0;
    if (linux_cgroup_cpu_limit(tree.root(), &cpus)) FUZZ_CHECK(cpus >= 0);
    const int64_t usable = linux_usable_processors(tree.root(), 8, 4);
    FUZZ_CHECK(usable >= 1 && usable <= 4);
    return 0;
}
