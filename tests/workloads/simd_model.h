// The RAW vector round loop modelled lane by lane, for the parity test. The
// reciprocal and reciprocal-square-root estimates are the one architecture-
// specific part, so each architecture defines the model in its own folder:
// SSE2 intrinsics on x86-64 (the processor's own rcpps/rsqrtps), plain C++
// with models of FRECPE/FRSQRTE on arm64.
#pragma once

#include <cstdint>

uint64_t simd_model(const uint8_t* block, uint64_t rounds);
