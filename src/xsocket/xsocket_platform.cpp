#include "xsocket/xsocket_platform.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#if XSOCKET_CONFIG_WINSOCK

int xsocketPlatformStart(void) {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0 ? 1 : 0;
}

void xsocketPlatformStop(void) {
    WSACleanup();
}

int32_t xsocketLastError(void) {
    return (int32_t)WSAGetLastError();
}

int xsocketCloseHandle(XSocketHandle handle) {
    return closesocket(handle) == 0 ? 0 : -1;
}

void xsocketNoInherit(XSocketHandle handle) {
    SetHandleInformation((HANDLE)handle, HANDLE_FLAG_INHERIT, 0);
}

int xsocketIoctl(XSocketHandle handle, long command, uint32_t* argument) {
    u_long value = (u_long)*argument;
    if (ioctlsocket(handle, command, &value) != 0) return -1;
    *argument = (uint32_t)value;
    return 0;
}

int xsocketSetNonBlocking(XSocketHandle handle, int on) {
    u_long value = on ? 1 : 0;
    return ioctlsocket(handle, FIONBIO, &value) == 0 ? 0 : -1;
}

int xsocketConnectPending(int32_t code) {
    return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS;
}

int xsocketWaitHandle(XSocketHandle handle, int forReading, int32_t milliseconds) {
    fd_set set, failed;
    FD_ZERO(&set);
    FD_SET(handle, &set);
    // A connect that fails in the background shows only here, not as writable.
    FD_ZERO(&failed);
    FD_SET(handle, &failed);
    timeval limit;
    limit.tv_sec = (long)(milliseconds / 1000);
    limit.tv_usec = (long)(milliseconds % 1000) * 1000;
    int n = select(0, forReading ? &set : nullptr, forReading ? nullptr : &set,
                   forReading ? nullptr : &failed, &limit);
    if (n == SOCKET_ERROR) return -1;
    return (FD_ISSET(handle, &set) || (!forReading && FD_ISSET(handle, &failed))) ? 1 : 0;
}

long long xsocketSend(XSocketHandle handle, const char* data, int32_t length,
                      const XSocketAddress* destination, int noWait) {
    // Winsock has no per-call flag for it: the socket is non-blocking for
    // the one send only, as the rest of the library expects blocking calls.
    if (noWait) xsocketSetNonBlocking(handle, 1);
    int n = destination != nullptr
                ? sendto(handle, data, length, XSOCKET_SEND_FLAGS,
                         (const struct sockaddr*)destination, (XSocketLength)sizeof *destination)
                : send(handle, data, length, XSOCKET_SEND_FLAGS);
    if (noWait) {
        const int code = WSAGetLastError();
        xsocketSetNonBlocking(handle, 0);
        WSASetLastError(code);
    }
    return n == SOCKET_ERROR ? -1 : n;
}

int xsocketWouldBlock(int32_t code) {
    return code == WSAEWOULDBLOCK;
}

void xsocketSystemErrorText(int32_t code, char* text, size_t size) {
    char* system = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, (DWORD)code, 0x400, (LPSTR)&system, 0, nullptr);
    if (n > 0 && system != nullptr) {
        snprintf(text, size, "%s", system);
    } else {
        snprintf(text, size, "Unknown system error.\r\n");
    }
    if (system != nullptr) LocalFree(system);
}

#else

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

int xsocketPlatformStart(void) {
    return 1;
}

void xsocketPlatformStop(void) {}

int32_t xsocketLastError(void) {
    return (int32_t)errno;
}

int xsocketCloseHandle(XSocketHandle handle) {
    return close(handle) == 0 ? 0 : -1;
}

void xsocketNoInherit(XSocketHandle handle) {
    int flags = fcntl(handle, F_GETFD);
    if (flags >= 0) fcntl(handle, F_SETFD, flags | FD_CLOEXEC);
}

int xsocketIoctl(XSocketHandle handle, long command, uint32_t* argument) {
    int value = (int)*argument;
    if (ioctl(handle, (unsigned long)command, &value) != 0) return -1;
    *argument = (uint32_t)value;
    return 0;
}

int xsocketSetNonBlocking(XSocketHandle handle, int on) {
    int flags = fcntl(handle, F_GETFL);
    if (flags < 0) return -1;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(handle, F_SETFL, flags) == 0 ? 0 : -1;
}

int xsocketConnectPending(int32_t code) {
    return code == EINPROGRESS;
}

// poll rather than select: select cannot take a descriptor numbered
// FD_SETSIZE or above and would write past its set, and MATLAB processes
// hold many descriptors.
int xsocketWaitHandle(XSocketHandle handle, int forReading, int32_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        pollfd entry;
        entry.fd = handle;
        entry.events = forReading ? POLLIN : POLLOUT;
        entry.revents = 0;
        int n = poll(&entry, 1, left > INT_MAX ? INT_MAX : (int)left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        // An error or hang-up also counts as ready: the read or write that
        // follows reports it.
        if (n > 0 && entry.revents != 0) return 1;
        if (left == 0 || Clock::now() >= deadline) return 0;
    }
}

long long xsocketSend(XSocketHandle handle, const char* data, int32_t length,
                      const XSocketAddress* destination, int noWait) {
    const int flags = XSOCKET_SEND_FLAGS | (noWait ? MSG_DONTWAIT : 0);
    ssize_t n = destination != nullptr ? sendto(handle, data, (size_t)length, flags,
                                                (const struct sockaddr*)destination,
                                                (XSocketLength)sizeof *destination)
                                       : send(handle, data, (size_t)length, flags);
    return (long long)n;
}

int xsocketWouldBlock(int32_t code) {
    return code == EAGAIN || code == EWOULDBLOCK;
}

void xsocketSystemErrorText(int32_t code, char* text, size_t size) {
    const char* system = strerror(code);
    snprintf(text, size, "%s", (system != nullptr && *system != '\0') ? system : "Unknown error");
}

#endif
