#include "solver/platform.h"

#ifdef __linux__
#include <sys/resource.h>
#endif

void yieldToOtherThreads() {
#ifdef __linux__
    // Linux keeps a nice value per thread; elsewhere this would renice
    // the whole process, so other systems keep the default.
    setpriority(PRIO_PROCESS, 0, 19);
#endif
}
