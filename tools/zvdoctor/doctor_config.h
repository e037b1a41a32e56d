// What the platform offers zvdoctor, named once, so that a port stops at
// compile time with the list of what to provide.
#pragma once

#include <climits> // defines __GLIBC__ where glibc is the C library

#if defined(_WIN32)
// PE images, LoadLibrary, GetModuleFileName.
#define ZVDOCTOR_CONFIG_WINDOWS 1
#elif defined(__linux__) && defined(__GLIBC__)
// ELF images (<elf.h>), dlopen, glibc's version (<gnu/libc-version.h>); the
// running program is the target of this link.
#define ZVDOCTOR_CONFIG_SELF_EXE "/proc/self/exe"
#else
#error                                                                                             \
    "zvdoctor: unknown platform. Provide in tools/zvdoctor/doctor_config.h: how to read the libraries a MEX file names, how to load it, the C library's version, and how to find the running program"
#endif
