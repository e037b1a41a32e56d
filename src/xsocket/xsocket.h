// XSocket: a small TCP/IPv4 socket library. Every operation records its
// failure inside the record (never logs) and answers 1 for success, 0 for
// failure, unless documented otherwise. Single-threaded use.
#pragma once

#include <cstdint>

#include "xsocket/xsocket_platform.h"

enum {
    XERROR_NONE = 0,
    XERROR_SOCKET_CLOSED = 1,
    XERROR_SOCKET_INIT = 2,
    XERROR_OUTOFMEMORY = 3,
    XERROR_INVALID_PORTADDRESS = 4,
    XERROR_INVALID_HOST = 5,
    XERROR_SOCKET_CONNECTED = 6,
    XERROR_SOCKET_NOTLISTEN = 7,
    XERROR_INCOMPLETE_MESSAGE = 8,
    XERROR_BAD_ARG = 9,
    XERROR_UNKNOWN = 10 // ends every search of the error table
};

#define XSOCKET_READ_AHEAD_SIZE 4096

struct XSocket {
    XSocketHandle handle;         // XSOCKET_INVALID_HANDLE when unopened
    XSocketAddress remoteAddress; // peer: connect target, or filled by accept
    XSocketAddress localAddress;  // bound address; port learned when bound to 0
    int32_t timeout;              // seconds; 0 = no wait (block in the platform)
    // Steady-clock milliseconds at which every wait ends, whatever
    // `timeout` says; 0: none. Bounds a whole exchange, not each wait.
    int64_t deadline;
    int32_t refCount;
    uint8_t libraryError; // 1: errorCode is an XERROR_*; 0: a platform error number
    int32_t errorCode;
    char* errorMessage; // owned; what failed last, or nullptr
    // Bytes received but not yet read: a small stream read takes what has
    // arrived in one receive, so that a small frame costs one system call,
    // not one per field.
    int32_t readAheadStart;
    int32_t readAheadEnd;
    char readAhead[XSOCKET_READ_AHEAD_SIZE];
};

// Socket layer start and stop (WSAStartup / WSACleanup; no-ops on POSIX).
// startXSockets answers 1 when the layer is usable.
int startXSockets(void);
void stopXSockets(void);

// Records and reference counting. A new record has refCount 1 and no handle;
// the last releaseXSocket closes it and frees it. Both accept nullptr.
// closeXSocket on a record without a handle succeeds and does nothing.
XSocket* newXSocket(void); // nullptr when memory runs out
XSocket* retainXSocket(XSocket* s);
void releaseXSocket(XSocket* s);
int closeXSocket(XSocket* s);

// Error recording. setXSocketError is the common path every operation uses:
// it sets libraryError and errorCode and, when message is not nullptr,
// replaces errorMessage with a copy of it; nullptr leaves the message as it
// was (use setXSocketMessage(s, nullptr) to clear it). Success never clears
// a recorded error. When memory runs out the code is still recorded and the
// message is simply none; allocXSocketMessage then returns nullptr.
void setXSocketMessage(XSocket* s, const char* text);
char* allocXSocketMessage(XSocket* s, int size);
void setXSocketError(XSocket* s, int libraryError, int32_t code, const char* message);
// Turns (libraryError, errorCode) into text. Returns 0 when the text was
// written, else the buffer size needed. name, when given, receives the
// error's name ("System Error" or the XERROR_* name); it points to static text.
int getXSocketErrorText(const XSocket* s, char* buffer, int size, const char** name);

// Addresses. address/port in: address in network order, port in host order.
void setXSocketAddress(XSocketAddress* address, const uint32_t* ipv4, uint16_t port);
void setXSocketAddressFromHost(XSocketAddress* address, const struct hostent* entry, uint16_t port);

// Connection set-up. Ports are in host order. A connect on a socket with a
// time limit gives up when the limit has passed. A failed connect is recorded
// as the platform's error (XSOCKET_ECONNREFUSED, XSOCKET_ETIMEDOUT, ...). A socket
// created before a later step failed stays in the record until closeXSocket
// or releaseXSocket. Errors of acceptXSocket are recorded in the server.
int initXSocket(XSocket* s);
int connectXSocket(XSocket* s);
int connectXSocketToAddress(XSocket* s, const uint32_t* ipv4, uint16_t port,
                            const uint32_t* localIpv4, uint16_t localPort);
int connectXSocketToHost(XSocket* s, const char* host, uint16_t port, const uint32_t* localIpv4,
                         uint16_t localPort);
int listenXSocket(XSocket* s, int backlog);
int acceptXSocket(XSocket* server, XSocket* client);
// Whether an accepted connection comes from this machine: its peer's
// address is a loopback one (127.0.0.0/8) or the one it was accepted on.
int isXSocketPeerLocal(const XSocket* s);

// Time limits.
int setXSocketTimeout(XSocket* s, int32_t seconds);
int getXSocketTimeout(const XSocket* s, int32_t* seconds);
// Every wait from now on ends milliseconds from now, however many waits
// there are; 0 or less takes the deadline away. While a deadline stands,
// sends never block past it: a send takes what the socket has room for.
void setXSocketDeadline(XSocket* s, int32_t milliseconds);
// Waits for the handle to be readable (forReading != 0) or writable within
// s->timeout seconds, or until the deadline; a time-out records
// XSOCKET_ETIMEDOUT (platform error) with "select() timed out.". Call it
// only with a timeout above 0 or a deadline.
int waitXSocket(XSocket* s, int forReading);

// Stream I/O. readXSocket: *length in = most bytes wanted, out = bytes
// received or -1 at end of stream (again on every later read); asking for 0
// bytes succeeds with 0 and no receive. writeXSocket: bytes sent (possibly
// fewer than asked), -1 on failure, 0 when the wait for writability failed.
// A negative length is refused with XERROR_BAD_ARG. A receive or send cut
// short by a signal before any data moved is simply resumed. A write to a
// peer that has gone fails with -1 (EPIPE on POSIX) and raises no signal.
// The address of readFromXSocket/writeToXSocket may be nullptr.
int readXSocket(XSocket* s, void* buffer, int32_t* length);
int readFromXSocket(XSocket* s, void* buffer, int32_t* length, XSocketAddress* source);
int32_t writeXSocket(XSocket* s, const void* data, int32_t length);
int32_t writeToXSocket(XSocket* s, const void* data, int32_t length,
                       const XSocketAddress* destination);

// Options. A failed get leaves the flag unchanged (no-delay, keep-alive) or
// sets the size / seconds to -1. getXSocketLinger gives -1 when lingering is
// off; setXSocketLinger refuses seconds outside 0..65535 with XERROR_BAD_ARG.
int getXSocketRecvBufferSize(XSocket* s, int32_t* size);
int setXSocketRecvBufferSize(XSocket* s, int32_t size);
int getXSocketSendBufferSize(XSocket* s, int32_t* size);
int setXSocketSendBufferSize(XSocket* s, int32_t size);
int getXSocketLinger(XSocket* s, int32_t* seconds);
int setXSocketLinger(XSocket* s, int on, int seconds);
int getXSocketNoDelay(XSocket* s, int* flag);
int setXSocketNoDelay(XSocket* s, int flag);
int getXSocketKeepAlive(XSocket* s, int* flag);
int setXSocketKeepAlive(XSocket* s, int flag);
int ioctlXSocket(XSocket* s, long command, uint32_t* argument);

// Queries. The address texts live in platform storage overwritten by the next call.
uint16_t getXSocketLocalPort(const XSocket* s);
uint16_t getXSocketRemotePort(const XSocket* s);
const char* getXSocketLocalAddress(const XSocket* s);
const char* getXSocketRemoteAddress(const XSocket* s);
