// The compiler that built the program, as the machine description names it.
#include <cstdio>
#include <cstring>

#include "sysenv/sysenv_seams.h"

void compiler_text(char* out, size_t cap) {
#if defined(__clang__)  // checked first: Clang calls itself GNU C as well
    std::snprintf(out, cap, "Clang %s", __clang_version__);
#elif defined(__GNUC__)
    std::snprintf(out, cap, "GCC %s", __VERSION__);
#else
    std::snprintf(out, cap, "unknown compiler");
#endif
    // Some builds end the version with a blank ("14.0.6 ").
    size_t n = std::strlen(out);
    while (n > 0 && out[n - 1] == ' ') out[--n] = '\0';
}
