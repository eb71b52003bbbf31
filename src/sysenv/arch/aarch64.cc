// Built into arm64 programs only (CMake picks this file by target architecture).
#include "sysenv/sysenv.h"

const char* architecture_name() { return "arm64"; }
