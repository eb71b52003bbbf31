// The Linux file parsers on good, odd and hostile input (the fuzz targets feed them
// random bytes; these pin the answers).
#include <gtest/gtest.h>

#include <string>

#include "sysenv/linux_files.h"

namespace {

// Each parser's answer as text, "fail" when it refuses the input. Inputs "a|b" carry two texts.
template <int (*Parse)(const char*, uint64_t*)>
std::string number(const char* t) {
    uint64_t v = 0;
    return Parse(t, &v) ? std::to_string(v) : "fail";
}
constexpr auto cache_size = number<parse_cache_size>, meminfo = number<parse_meminfo_bytes>;
std::string cpu_list(const char* t) {
    int64_t count = 0, lowest = 0;
    return parse_cpu_list(t, &count, &lowest) ? std::to_string(count) + " from " + std::to_string(lowest) : "fail";
}
std::string stat_line(const char* t) {
    CpuTicks c{};
    return parse_stat_cpu_line(t, &c) ? std::to_string(c.total) + " idle " + std::to_string(c.idle) : "fail";
}
std::string os_release(const char* t) {
    char out[8];  // small, so that cutting shows
    return parse_os_release_line(t, out, sizeof out) ? out : "fail";
}
std::string quota(const char* t) {
    int64_t cpus = 0;
    return parse_cpu_quota(t, &cpus) ? std::to_string(cpus) : "none";
}
std::string two(const char* t, std::string (*parse)(const char* a, const char* b)) {
    const std::string s = t, a = s.substr(0, s.find('|')), b = s.substr(s.find('|') + 1);
    return parse(a.c_str(), b.c_str());
}
std::string dmi(const char* t) {  // "vendor|product"
    return two(t, [](const char* vendor, const char* product) -> std::string {
        char out[256];
        return compose_dmi_model(vendor, product, out, sizeof out) ? out : "fail";
    });
}
std::string cgroup(const char* t) {  // "controller|line", no controller for v2
    return two(t, [](const char* controller, const char* line) -> std::string {
        const char* path = parse_cgroup_line(line, *controller ? controller : nullptr);
        return path ? path : "fail";
    });
}
std::string mount(const char* t) {  // "controller|line"
    return two(t, [](const char* controller, const char* line) -> std::string {
        char root[64], point[16];
        return parse_cgroup_mount(line, *controller ? controller : nullptr, root, sizeof root, point, sizeof point)
                   ? std::string(root) + " at " + point
                   : "fail";
    });
}

TEST(Parsers, GoodAndBadInput) {
    const struct {
        std::string (*parse)(const char*);
        const char* input;
        const char* expected;
    } cases[] = {
        {cpu_list, "0-3,8,10-11\n", "7 from 0"}, {cpu_list, "12,4-5", "3 from 4"}, {cpu_list, "3-1", "fail"},
        {cpu_list, "1,,2", "fail"}, {cpu_list, "0-3 x", "fail"}, {cpu_list, "0-4294967295", "fail"},
        {cpu_list, "99999999999999999999", "fail"}, {cpu_list, "", "fail"},
        {cache_size, "1024K\n", "1048576"}, {cache_size, "1M", "1048576"}, {cache_size, "4096", "4096"},
        {cache_size, "32KB", "fail"}, {cache_size, "1.5M", "fail"}, {cache_size, "17179869184G", "fail"},
        {meminfo, "24376364 kB", "24961396736"}, {meminfo, "18446744073709551615 kB", "fail"},
        {stat_line, "cpu  4950 1 7584 7239906 124 0 274 3 9 9", "7252842 idle 7240030"},  // guest time not twice
        {stat_line, "cpu 1 2 3 4", "10 idle 4"},                                         // old kernels
        {stat_line, "cpu 5000000000 0 0 7000000000", "12000000000 idle 7000000000"},
        {stat_line, "cpu  1 2 3", "fail"}, {stat_line, "cpu0 1 2 3 4", "fail"}, {stat_line, "cpu 1 2 3 4 zz", "fail"},
        {stat_line, "cpu 18446744073709551615 1 0 0", "fail"}, {stat_line, "cpu 1 2 3 18446744073709551615", "fail"},
        {os_release, "PRETTY_NAME='Arch'", "Arch"}, {os_release, "PRETTY_NAME=Gentoo  ", "Gentoo"},
        {os_release, "PRETTY_NAME=\"\\\"a\\\" \\\\ b\"", "\"a\" \\ b"}, {os_release, "PRETTY_NAME=\"Debian 12\"", "Debian "},
        {os_release, "PRETTY_NAME=\"\"", "fail"}, {os_release, "NAME=\"Debian\"", "fail"},
        {dmi, "LENOVO|20XW0055GE", "LENOVO 20XW0055GE"},
        {dmi, "HP|HP EliteBook 840 G8", "HP EliteBook 840 G8"},  // the product names its maker
        {dmi, "System manufacturer|ROG STRIX B550-F", "ROG STRIX B550-F"},
        {dmi, "ASUS|System Product Name", "fail"}, {dmi, "|to be filled by o.e.m.", "fail"},
        {quota, "150000 100000\n", "2"}, {quota, "100000 100000", "1"}, {quota, "5000 100000", "1"},
        {quota, "max 100000", "none"}, {quota, "-1 100000", "none"}, {quota, "0 100000", "none"},
        {quota, "100000 0", "none"}, {quota, "100000", "none"}, {quota, "1e5 100000", "none"},
        {quota, "18446744073709551615 1", "none"},
        {cgroup, "|0::/user.slice/a b", "/user.slice/a b"}, {cgroup, "cpu|4:cpu,cpuacct:/box", "/box"},
        {cgroup, "cpu|4:cpuacct,cpu:/", "/"}, {cgroup, "cpu|4:cpuacct:/box", "fail"}, {cgroup, "|1:cpu:/", "fail"},
        {cgroup, "|0::", "fail"}, {cgroup, "|0:/", "fail"},
        {mount, "|41 31 0:38 /box /sys/fs/cg rw,relatime shared:9 - cgroup2 cgroup2 rw", "/box at /sys/fs/cg"},
        {mount, "cpu|32 31 0:29 / /mnt/a\\040b rw - cgroup cgroup rw,cpuacct,cpu", "/ at /mnt/a b"},
        {mount, "cpu|33 31 0:30 / /cg rw - cgroup cgroup rw,cpuacct", "fail"},
        {mount, "|41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw", "fail"},  // does not fit
        {mount, "|41 31 0:38 / /cg rw - tmpfs tmpfs rw", "fail"}, {mount, "|41 31 0:38 / /cg rw", "fail"},
        {mount, "|41 31 0:38 / /c\\000 rw - cgroup2 c rw", "fail"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.parse(c.input), c.expected) << c.input;
    // No room at all: nothing is written, not even the trim of an unquoted name.
    char none[1] = {'#'};
    EXPECT_EQ(parse_os_release_line("PRETTY_NAME=x  ", none, 0), 0);
    EXPECT_EQ(none[0], '#');
}

}  // namespace
