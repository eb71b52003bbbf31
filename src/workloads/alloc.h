// Checked 64-byte aligned allocation, for the workload data and the engine's
// per-run memory alike. Release with std::free.
#pragma once

#include <cstddef>

// Ends the process with status 1 when no buffer can be had.
void* alloc_aligned(size_t size);

// Prints "quillmoth: out of memory (<size> bytes)" and ends with status 1.
[[noreturn]] void fatal_out_of_memory(size_t size);
