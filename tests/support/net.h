// Raw sockets for the tests' side of a connection, on both platforms: one
// handle type, bounded receive waits, loopback pairs, and Winsock started
// for the whole test program (it must be before the first socket call).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include "xsocket/xsocket.h"

namespace zvnet {

#ifdef _WIN32
using Handle = SOCKET;
const Handle NONE = INVALID_SOCKET;
// Winsock never raises a signal for a peer that has gone.
const int NO_SIGNAL = 0;
inline const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
inline void closeHandle(Handle h) {
    closesocket(h);
}
inline void limitWaits(Handle h, int seconds) {
    DWORD ms = DWORD(seconds) * 1000;
    setsockopt(h, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}
inline void stopWriting(Handle h) {
    shutdown(h, SD_SEND);
}
#else
using Handle = int;
const Handle NONE = -1;
const int NO_SIGNAL = MSG_NOSIGNAL;
inline void closeHandle(Handle h) {
    close(h);
}
inline void limitWaits(Handle h, int seconds) {
    timeval limit{seconds, 0};
    setsockopt(h, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}
inline void stopWriting(Handle h) {
    shutdown(h, SHUT_WR);
}
#endif

// Bytes sent / received by one call; -1 on failure.
inline long sendSome(Handle h, const void* data, size_t n) {
    return long(send(h, static_cast<const char*>(data), int(n), NO_SIGNAL));
}
inline long receiveSome(Handle h, void* data, size_t n) {
    return long(recv(h, static_cast<char*>(data), int(n), 0));
}
// Exactly n bytes unless the peer ends or a wait runs out first; the count received.
inline size_t receiveAll(Handle h, void* data, size_t n) {
    size_t got = 0;
    for (long k; got < n && (k = receiveSome(h, static_cast<char*>(data) + got, n - got)) > 0;)
        got += size_t(k);
    return got;
}

inline sockaddr_in loopbackAddress(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A TCP socket bound to 127.0.0.1 and a port of the system's choosing,
// receive waits bounded to 10 s.
inline Handle loopbackSocket(uint16_t* port) {
    Handle h = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopbackAddress(0);
    socklen_t n = sizeof a;
    if (bind(h, (sockaddr*)&a, n) == 0 && getsockname(h, (sockaddr*)&a, &n) == 0)
        *port = ntohs(a.sin_port);
    limitWaits(h, 10);
    return h;
}

// Two connected TCP sockets on the loopback interface; false when the
// system refused.
inline bool loopbackPair(Handle ends[2]) {
    uint16_t port = 0;
    Handle listener = loopbackSocket(&port);
    ends[0] = ends[1] = NONE;
    if (port == 0 || listen(listener, 1) != 0) {
        closeHandle(listener);
        return false;
    }
    const sockaddr_in a = loopbackAddress(port);
    ends[0] = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(ends[0], (const sockaddr*)&a, sizeof a) == 0)
        ends[1] = accept(listener, nullptr, nullptr);
    closeHandle(listener);
    if (ends[1] != NONE) return true;
    closeHandle(ends[0]);
    ends[0] = NONE;
    return false;
}

// An XSocket listening on 127.0.0.1 at a port of the system's choosing
// (getXSocketLocalPort), accepts bounded to `seconds`; false when it could not.
inline bool listenOnLoopback(XSocket* s, int seconds) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    setXSocketAddress(&s->localAddress, &loopback, 0);
    return setXSocketTimeout(s, seconds) && listenXSocket(s, 1);
}

} // namespace zvnet
