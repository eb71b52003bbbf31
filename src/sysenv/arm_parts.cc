// Names of arm64 processors from the identifiers in /proc/cpuinfo: most arm64
// kernels give no "model name", only "CPU implementer" and "CPU part" (MIDR_EL1).
#include <cstdio>
#include <cstring>

#include "sysenv/linux_files.h"

namespace {

struct ArmPart {
    uint32_t implementer, part;
    const char* name;
};

// Cloud processors are named by the core they use (AWS Graviton2, 3 and 4 are
// Neoverse N1, V1 and V2; Ampere Altra is Neoverse N1): the model line names the
// machine.
constexpr ArmPart kParts[] = {
    {0x41, 0xd03, "Arm Cortex-A53"},    {0x41, 0xd04, "Arm Cortex-A35"},     {0x41, 0xd05, "Arm Cortex-A55"},
    {0x41, 0xd07, "Arm Cortex-A57"},    {0x41, 0xd08, "Arm Cortex-A72"},     {0x41, 0xd09, "Arm Cortex-A73"},
    {0x41, 0xd0a, "Arm Cortex-A75"},    {0x41, 0xd0b, "Arm Cortex-A76"},     {0x41, 0xd0c, "Arm Neoverse N1"},
    {0x41, 0xd0d, "Arm Cortex-A77"},    {0x41, 0xd40, "Arm Neoverse V1"},    {0x41, 0xd41, "Arm Cortex-A78"},
    {0x41, 0xd44, "Arm Cortex-X1"},     {0x41, 0xd46, "Arm Cortex-A510"},    {0x41, 0xd47, "Arm Cortex-A710"},
    {0x41, 0xd48, "Arm Cortex-X2"},     {0x41, 0xd49, "Arm Neoverse N2"},    {0x41, 0xd4a, "Arm Neoverse E1"},
    {0x41, 0xd4b, "Arm Cortex-A78C"},   {0x41, 0xd4d, "Arm Cortex-A715"},    {0x41, 0xd4e, "Arm Cortex-X3"},
    {0x41, 0xd4f, "Arm Neoverse V2"},   {0x41, 0xd80, "Arm Cortex-A520"},    {0x41, 0xd81, "Arm Cortex-A720"},
    {0x41, 0xd82, "Arm Cortex-X4"},     {0x41, 0xd84, "Arm Neoverse V3"},    {0x41, 0xd8e, "Arm Neoverse N3"},
    {0x43, 0x0a1, "Cavium ThunderX"},   {0x43, 0x0af, "Cavium ThunderX2"},   {0x46, 0x001, "Fujitsu A64FX"},
    {0x48, 0xd01, "HiSilicon TaiShan v110"},                                 {0x4e, 0x004, "NVIDIA Carmel"},
    {0x50, 0x000, "Applied Micro X-Gene"},
    {0x51, 0x001, "Qualcomm Oryon"},    {0x51, 0x800, "Qualcomm Kryo 2xx Gold"}, {0x51, 0x801, "Qualcomm Kryo 2xx Silver"},
    {0x51, 0x802, "Qualcomm Kryo 3xx Gold"}, {0x51, 0x803, "Qualcomm Kryo 3xx Silver"},
    {0x51, 0x804, "Qualcomm Kryo 4xx Gold"}, {0x51, 0x805, "Qualcomm Kryo 4xx Silver"},
    {0x51, 0xc00, "Qualcomm Falkor"},   {0x51, 0xc01, "Qualcomm Saphira"},
    {0x61, 0x022, "Apple M1 Icestorm"}, {0x61, 0x023, "Apple M1 Firestorm"},
    {0x61, 0x024, "Apple M1 Pro Icestorm"}, {0x61, 0x025, "Apple M1 Pro Firestorm"},
    {0x61, 0x028, "Apple M1 Max Icestorm"}, {0x61, 0x029, "Apple M1 Max Firestorm"},
    {0x61, 0x032, "Apple M2 Blizzard"}, {0x61, 0x033, "Apple M2 Avalanche"},
    {0xc0, 0xac3, "Ampere AmpereOne"},  {0xc0, 0xac4, "Ampere AmpereOne AC04"},
};

// "0x41" as /proc/cpuinfo writes the identifiers; 0 for anything else.
int parse_hex(const char* text, uint32_t* value) {
    if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return 0;
    uint32_t v = 0;
    const char* s = text + 2;
    for (; *s != '\0'; ++s) {
        const char c = *s;
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) break;
        if (v > 0xFFFFFu) return 0;  // identifiers are at most 12 bits; this keeps v in range
        v = v * 16 + static_cast<uint32_t>(d);
    }
    if (s == text + 2) return 0;
    while (*s == ' ' || *s == '\t' || *s == '\r' || *s == '\n') ++s;
    if (*s != '\0') return 0;
    *value = v;
    return 1;
}

}  // namespace

const char* arm_part_name(uint32_t implementer, uint32_t part) {
    for (const ArmPart& p : kParts) {
        if (p.implementer == implementer && p.part == part) return p.name;
    }
    return nullptr;
}

void arm_parts_init(ArmParts* parts) { std::memset(parts, 0, sizeof *parts); }

void arm_parts_line(ArmParts* parts, const char* line) {
    const char* value;
    if (parse_key_value(line, "processor")) {
        parts->have_implementer = false;
    } else if ((value = parse_key_value(line, "CPU implementer"))) {
        parts->have_implementer = parse_hex(value, &parts->implementer);
    } else if ((value = parse_key_value(line, "CPU part"))) {
        uint32_t part = 0;
        if (!parts->have_implementer || !parse_hex(value, &part)) return;
        for (int i = 0; i < parts->count; ++i) {
            if (parts->kinds[i].implementer == parts->implementer && parts->kinds[i].part == part) return;
        }
        if (parts->count < ArmParts::kMaxKinds) parts->kinds[parts->count++] = {parts->implementer, part};
    }
}

int arm_parts_name(const ArmParts* parts, char* out, size_t cap) {
    if (parts->count == 0 || cap == 0) return 0;
    size_t n = 0;
    out[0] = '\0';
    for (int i = 0; i < parts->count; ++i) {
        const uint32_t implementer = parts->kinds[i].implementer, part = parts->kinds[i].part;
        const char* name = arm_part_name(implementer, part);
        const char* sep = i > 0 ? " + " : "";
        const int w = name ? std::snprintf(out + n, cap - n, "%s%s", sep, name)
                           : std::snprintf(out + n, cap - n, "%simplementer 0x%02x part 0x%03x", sep,
                                           static_cast<unsigned>(implementer), static_cast<unsigned>(part));
        if (w < 0 || static_cast<size_t>(w) >= cap - n) break;  // cut, still terminated
        n += static_cast<size_t>(w);
    }
    return 1;
}
