// malloc and its relatives, replaced for the whole process: the executable
// exports them, so the MEX file loaded with dlopen and every shared library
// bind to these, and operator new reaches them through malloc. Each one
// hands the work to glibc's own allocator.
#include "alloc_hook.h"

#include <cstddef>
#include <cstdlib>

#include "bench_config.h"

#if !ZVBENCH_CONFIG_COUNT_ALLOCATIONS

namespace zvbench {
bool allocationsCounted() {
    return false;
}
void startCountingAllocations() {}
long stopCountingAllocations() {
    return 0;
}
} // namespace zvbench

#else

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {
// One thread drives the block; the counter needs no more than this.
bool counting = false;
long counted = 0;

inline void count() {
    if (counting) ++counted;
}
} // namespace

#define ZV_BENCH_EXPORT extern "C" __attribute__((visibility("default")))

ZV_BENCH_EXPORT void* malloc(size_t size) noexcept {
    count();
    return __libc_malloc(size);
}

ZV_BENCH_EXPORT void* calloc(size_t n, size_t size) noexcept {
    count();
    return __libc_calloc(n, size);
}

ZV_BENCH_EXPORT void* realloc(void* p, size_t size) noexcept {
    count();
    return __libc_realloc(p, size);
}

ZV_BENCH_EXPORT void free(void* p) noexcept {
    __libc_free(p);
}

ZV_BENCH_EXPORT void* memalign(size_t alignment, size_t size) noexcept {
    count();
    return __libc_memalign(alignment, size);
}

ZV_BENCH_EXPORT void* aligned_alloc(size_t alignment, size_t size) noexcept {
    count();
    return __libc_memalign(alignment, size);
}

ZV_BENCH_EXPORT int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    count();
    void* p = __libc_memalign(alignment, size);
    if (!p) return 12; // ENOMEM
    *out = p;
    return 0;
}

namespace zvbench {
bool allocationsCounted() {
    return true;
}
void startCountingAllocations() {
    counted = 0;
    counting = true;
}
long stopCountingAllocations() {
    counting = false;
    return counted;
}
} // namespace zvbench

#endif
