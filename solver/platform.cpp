#include "solver/platform.h"

#include <cstdint>

#ifdef __linux__
#include <sys/mman.h>
#include <sys/resource.h>
#endif

void yieldToOtherThreads() {
#ifdef __linux__
    // Linux keeps a nice value per thread; elsewhere this would renice
    // the whole process, so other systems keep the default.
    setpriority(PRIO_PROCESS, 0, 19);
#endif
}

void adviseLargePages(void* start, size_t size) {
#ifdef __linux__
    // Only whole pages inside the block: its edges may share a page with
    // other allocations.
    const uintptr_t page = 4096, from = (uintptr_t(start) + page - 1) & ~(page - 1),
                    to = (uintptr_t(start) + size) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)start;
    (void)size;
#endif
}
