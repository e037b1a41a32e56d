// What the platform offers zvsim, named once, so that a port stops at
// compile time with the list of what to provide.
#pragma once

#include <climits> // defines __GLIBC__ where glibc is the C library

#if defined(_WIN32)
// The block is a DLL (LoadLibrary); the running program is found with
// GetModuleFileName.
#define ZVSIM_CONFIG_WINDOWS 1
#elif defined(__linux__) && defined(__GLIBC__)
// The block is a shared object (dlopen); the running program is the target
// of this link.
#define ZVSIM_CONFIG_SELF_EXE "/proc/self/exe"
#else
#error                                                                                             \
    "zvsim: unknown platform. Provide in host/zvsim/zvsim_config.h: how to load a shared library and find a symbol in it, the MEX file's suffix, and how to find the running program (for the block next to it)"
#endif
