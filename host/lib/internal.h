// Shared inside libzvhost: the bookkeeping of the MEX calls in progress.
#pragma once

#include "zvhost.h"

namespace zvhost::detail {

// Memory and arrays made while a call is in progress belong to it and are
// released when it returns; outside a call they belong to whoever made them.
void trackMemory(void* p);
// Returns the depth of the call that held it (-1: none).
int untrackMemory(void* p); // mxFree, mxRealloc, persistence
void trackMemoryAt(void* p, int depth);
void trackArray(mxArray* a);
void untrackArray(mxArray* a); // mxDestroyArray, persistence

// Releases an array without looking at the bookkeeping.
void destroyArrayStorage(mxArray* a);

} // namespace zvhost::detail
