// Shared by libmx and libmex: the bookkeeping of the MEX calls in progress,
// kept in libmx.
#pragma once

#include "zvhost.h"

namespace zvhost::detail {

// Memory and arrays made while a call is in progress belong to it and are
// released when it returns; outside a call they belong to whoever made them.
ZVHOST_API void trackMemory(void* p);
// Returns the depth of the call that held it (-1: none).
ZVHOST_API int untrackMemory(void* p); // mxFree, mxRealloc, persistence
ZVHOST_API void trackMemoryAt(void* p, int depth);
ZVHOST_API void trackArray(mxArray* a);
ZVHOST_API void untrackArray(mxArray* a); // mxDestroyArray, persistence

// mexAtExit's bookkeeping: the exit function of the MEX file whose call is in
// progress (null: none). 0 on success.
ZVHOST_API int registerExitFunction(void (*exitFcn)(void));

// Releases an array without looking at the bookkeeping.
ZVHOST_API void destroyArrayStorage(mxArray* a);

} // namespace zvhost::detail
