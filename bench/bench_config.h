// What the platform offers the benchmark, named once, so that a port stops
// at compile time with the list of what to provide.
#pragma once

#include <climits> // defines __GLIBC__ where glibc is the C library

#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
// The sanitizers own malloc; Windows has no allocator of the C library to
// hand over to: allocations are not counted.
#define ZVBENCH_CONFIG_COUNT_ALLOCATIONS 0
#elif defined(__linux__) && defined(__GLIBC__)
// malloc and its relatives replaced in the executable, handing the work to
// glibc's own __libc_malloc and relatives.
#define ZVBENCH_CONFIG_COUNT_ALLOCATIONS 1
#else
#error                                                                                             \
    "bench: unknown platform. Provide in bench/bench_config.h: how to replace malloc and its relatives for the whole process and reach the C library's own allocator, or leave allocations uncounted"
#endif
