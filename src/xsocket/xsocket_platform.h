// The one place where the socket library's platform differences live:
// Windows Sockets 2 on Windows, BSD sockets everywhere else.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET XSocketHandle;
#define XSOCKET_INVALID_HANDLE INVALID_SOCKET
// The platform's numbers for an interrupted call and a time-out.
#define XSOCKET_EINTR WSAEINTR         /* 10004 */
#define XSOCKET_ETIMEDOUT WSAETIMEDOUT /* 10060 */
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
typedef int XSocketHandle;
#define XSOCKET_INVALID_HANDLE (-1)
// On POSIX the roles of WSAEINTR (10004) and WSAETIMEDOUT (10060) are taken by
// EINTR and ETIMEDOUT: these are the numbers recorded for them here.
#define XSOCKET_EINTR EINTR
#define XSOCKET_ETIMEDOUT ETIMEDOUT
#endif

typedef struct sockaddr_in XSocketAddress;
