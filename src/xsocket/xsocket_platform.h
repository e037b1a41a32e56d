// The one place where the socket library's platform differences live:
// Windows Sockets 2 on Windows, BSD sockets everywhere else. The primitives
// declared at the end are implemented, per platform, in xsocket_platform.cpp;
// the rest of the library is written once against them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "xsocket/xsocket_config.h"

#if XSOCKET_CONFIG_WINSOCK
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// gethostbyname and inet_ntoa are what the record types are built around.
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET XSocketHandle;
typedef int XSocketLength;
#define XSOCKET_INVALID_HANDLE INVALID_SOCKET
// The platform's numbers for an interrupted call and a time-out.
#define XSOCKET_EINTR WSAEINTR               /* 10004 */
#define XSOCKET_ETIMEDOUT WSAETIMEDOUT       /* 10060 */
#define XSOCKET_ECONNREFUSED WSAECONNREFUSED /* 10061 */
// Winsock never raises a signal on a dead peer.
#define XSOCKET_SEND_FLAGS 0
// A failed closesocket (e.g. a lingering close that would block) leaves the
// socket open, so the record must keep its handle.
#define XSOCKET_FAILED_CLOSE_KEEPS_HANDLE 1
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
typedef int XSocketHandle;
typedef socklen_t XSocketLength;
#define XSOCKET_INVALID_HANDLE (-1)
// On POSIX the roles of WSAEINTR (10004) and WSAETIMEDOUT (10060) are taken by
// EINTR and ETIMEDOUT: these are the numbers recorded for them here.
#define XSOCKET_EINTR EINTR
#define XSOCKET_ETIMEDOUT ETIMEDOUT
#define XSOCKET_ECONNREFUSED ECONNREFUSED
// Writing to a peer that has gone raises SIGPIPE, whose default action would
// take MATLAB down with the block; ask for EPIPE instead.
#if XSOCKET_CONFIG_SEND_NOSIGNAL
#define XSOCKET_SEND_FLAGS MSG_NOSIGNAL
#else
#error "xsocket: no SIGPIPE guard for this platform (see xsocket_config.h)"
#endif
// close() releases the descriptor even when it reports an error; keeping the
// number would later close whatever descriptor reuses it.
#define XSOCKET_FAILED_CLOSE_KEEPS_HANDLE 0
#endif

typedef struct sockaddr_in XSocketAddress;

// Starts / stops the platform socket layer; 1 on success.
int xsocketPlatformStart(void);
void xsocketPlatformStop(void);
// The platform's error number for the socket call that just failed.
int32_t xsocketLastError(void);
// 0 on success, -1 on failure (error number in xsocketLastError()).
int xsocketCloseHandle(XSocketHandle handle);
// Keeps a socket out of processes started later (the solver is one).
void xsocketNoInherit(XSocketHandle handle);
// ioctl / ioctlsocket with a 32-bit argument; 0 on success, -1 on failure.
int xsocketIoctl(XSocketHandle handle, long command, uint32_t* argument);
// Non-blocking mode on (1) or off (0); 0 on success, -1 on failure.
int xsocketSetNonBlocking(XSocketHandle handle, int on);
// Whether the error number of a non-blocking connect means it goes on in
// the background.
int xsocketConnectPending(int32_t code);
// Waits up to `milliseconds` for the handle to become readable (forReading
// != 0) or writable. 1 ready, 0 timed out, -1 failed. Signals do not cut the
// wait short: it resumes with the time that is left.
int xsocketWaitHandle(XSocketHandle handle, int forReading, int32_t milliseconds);
// One send (sendto when destination is given). With noWait it never blocks:
// it takes what the send buffer has room for, and a full buffer fails with
// an error number that xsocketWouldBlock accepts. Bytes sent, or -1.
long long xsocketSend(XSocketHandle handle, const char* data, int32_t length,
                      const XSocketAddress* destination, int noWait);
int xsocketWouldBlock(int32_t code);
// The system's text for a platform error number, truncated to fit `size`
// (at least 1); never empty.
void xsocketSystemErrorText(int32_t code, char* text, size_t size);
