// What the platform offers the socket library, named once. A platform not
// listed here stops the build with the list of what to provide, instead of
// building a block that a vanished solver can kill.
#pragma once

#include <climits> // defines __GLIBC__ where glibc is the C library

#if defined(_WIN32)
// Windows Sockets 2; a write to a vanished peer raises no signal.
#define XSOCKET_CONFIG_WINSOCK 1
#elif defined(__linux__) && defined(__GLIBC__)
// BSD sockets; send() takes MSG_NOSIGNAL, so a write to a vanished peer
// fails with EPIPE instead of raising SIGPIPE.
#define XSOCKET_CONFIG_SEND_NOSIGNAL 1
#else
#error                                                                                             \
    "xsocket: unknown platform. Provide in src/xsocket/xsocket_config.h: BSD or Windows sockets, and how a write to a vanished peer is kept from raising SIGPIPE (MSG_NOSIGNAL as a send flag, or SO_NOSIGPIPE set on every socket made)"
#endif
