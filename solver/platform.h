// What the stand-in solver does differently from one platform to another.
#pragma once

#include <cstddef>

// Lets every other thread of the process go first: for work that no
// answer to the block waits on.
void yieldToOtherThreads();

// Asks for large pages behind a block of memory not yet written, where the
// system has them on request; elsewhere it does nothing.
void adviseLargePages(void* start, size_t size);
