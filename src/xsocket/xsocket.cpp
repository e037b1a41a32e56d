#include "xsocket/xsocket.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct ErrorRow {
    int32_t code;
    const char* text;
    const char* name;
};

// Searches stop at the XERROR_UNKNOWN row, so it must stay last.
const ErrorRow errorTable[] = {
    {XERROR_NONE, "No Error has occurred.", "XERROR_NONE"},
    {XERROR_SOCKET_CLOSED, "Socket has been closed", "XERROR_SOCKET_CLOSED"},
    {XERROR_SOCKET_INIT, "Socket has already been initialized", "XERROR_SOCKET_INIT"},
    {XERROR_OUTOFMEMORY, "Out of memory error. Error while trying to allocate memory.",
     "XERROR_OUTOFMEMORY"},
    {XERROR_INVALID_PORTADDRESS, "Invalid address or port number.", "XERROR_INVALID_PORTADDRESS"},
    {XERROR_INVALID_HOST, "Invalid or unknown host.", "XERROR_INVALID_HOST"},
    {XERROR_SOCKET_CONNECTED, "Socket already connected.", "XERROR_SOCKET_CONNECTED"},
    {XERROR_SOCKET_NOTLISTEN, "Socket is not listening on a port.", "XERROR_SOCKET_NOTLISTEN"},
    {XERROR_INCOMPLETE_MESSAGE, "Message sent/received is not complete.",
     "XERROR_INCOMPLETE_MESSAGE"},
    {XERROR_BAD_ARG, "Invalid argument value was specified.", "XERROR_BAD_ARG"},
    {XERROR_UNKNOWN, "Unknown Error Code", "n/a"},
};

const char* const readFailed = "Error while trying to read data from the stream.";
const char* const writeFailed = "Error while trying to write data to the stream.";

bool hasHandle(const XSocket* s) {
    return s->handle != XSOCKET_INVALID_HANDLE;
}

// The error number must be taken before anything else can overwrite it
// (allocating the message may touch errno).
void recordPlatformError(XSocket* s, const char* message) {
    int32_t code = xsocketLastError();
    setXSocketError(s, 0, code, message);
}

void recordLibraryError(XSocket* s, int32_t code, const char* message) {
    setXSocketError(s, 1, code, message);
}

int setIntOption(XSocket* s, int level, int option, int value, const char* message) {
    if (setsockopt(s->handle, level, option, (const char*)&value, (XSocketLength)sizeof value) !=
        0) {
        recordPlatformError(s, message);
        return 0;
    }
    return 1;
}

int getIntOption(XSocket* s, int level, int option, int* value, const char* message) {
    int v = 0;
    XSocketLength length = (XSocketLength)sizeof v;
    if (getsockopt(s->handle, level, option, (char*)&v, &length) != 0) {
        recordPlatformError(s, message);
        return 0;
    }
    *value = v;
    return 1;
}

// One receive, resumed when a signal interrupts it before any data arrived.
long long receiveOnce(XSocket* s, void* buffer, int32_t length, XSocketAddress* source) {
    long long n;
    do {
        if (source != nullptr) {
            // A fresh length per call: the platform may shrink it.
            XSocketLength size = (XSocketLength)sizeof *source;
            n = recvfrom(s->handle, (char*)buffer, length, 0, (struct sockaddr*)source, &size);
        } else {
            n = recv(s->handle, (char*)buffer, length, 0);
        }
    } while (n < 0 && xsocketLastError() == XSOCKET_EINTR);
    return n;
}

// Serves a read from bytes already received; 0 when there are none.
int takeReadAhead(XSocket* s, void* buffer, int32_t* length, XSocketAddress* source) {
    int32_t held = s->readAheadEnd - s->readAheadStart;
    if (held <= 0) return 0;
    int32_t n = *length < held ? *length : held;
    memcpy(buffer, s->readAhead + s->readAheadStart, (size_t)n);
    s->readAheadStart += n;
    if (source != nullptr) *source = s->remoteAddress;
    *length = n;
    return 1;
}

bool waits(const XSocket* s) {
    return s->timeout > 0 || s->deadline != 0;
}

int64_t steadyMilliseconds() {
    return (int64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int readStream(XSocket* s, void* buffer, int32_t* length, XSocketAddress* source) {
    if (!hasHandle(s)) {
        recordLibraryError(s, XERROR_SOCKET_CLOSED, readFailed);
        return 0;
    }
    if (length == nullptr || *length < 0 || (buffer == nullptr && *length > 0)) {
        recordLibraryError(s, XERROR_BAD_ARG, readFailed);
        return 0;
    }
    // Asking for nothing gets nothing; a receive of 0 bytes would be
    // mistaken for the end of the stream.
    if (*length == 0) return 1;
    if (takeReadAhead(s, buffer, length, source)) return 1;
    if (waits(s) && !waitXSocket(s, 1)) return 0;
    // A small read takes whatever has arrived, up to the read-ahead size.
    bool ahead = *length < XSOCKET_READ_AHEAD_SIZE;
    long long n = ahead ? receiveOnce(s, s->readAhead, XSOCKET_READ_AHEAD_SIZE, source)
                        : receiveOnce(s, buffer, *length, source);
    if (n < 0) {
        recordPlatformError(s, readFailed);
        return 0;
    }
    if (n == 0) {
        *length = -1;
        return 1;
    }
    if (!ahead) {
        *length = (int32_t)n;
        return 1;
    }
    s->readAheadStart = 0;
    s->readAheadEnd = (int32_t)n;
    return takeReadAhead(s, buffer, length, nullptr);
}

int32_t writeStream(XSocket* s, const void* data, int32_t length,
                    const XSocketAddress* destination) {
    if (!hasHandle(s)) {
        recordLibraryError(s, XERROR_SOCKET_CLOSED, writeFailed);
        return -1;
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        recordLibraryError(s, XERROR_BAD_ARG, writeFailed);
        return -1;
    }
    // A blocking send of more than the buffer has room for would wait for
    // the peer without limit: under a deadline only what fits is sent.
    const int noWait = s->deadline != 0;
    long long n;
    for (;;) {
        if (waits(s) && !waitXSocket(s, 0)) return 0;
        n = xsocketSend(s->handle, (const char*)data, length, destination, noWait);
        if (n >= 0) break;
        const int32_t code = xsocketLastError();
        if (code != XSOCKET_EINTR && !(noWait && xsocketWouldBlock(code))) break;
    }
    if (n < 0) {
        recordPlatformError(s, writeFailed);
        return -1;
    }
    return (int32_t)n;
}

} // namespace

// ---- socket layer ----

int startXSockets(void) {
    return xsocketPlatformStart();
}

void stopXSockets(void) {
    xsocketPlatformStop();
}

// ---- records ----

XSocket* newXSocket(void) {
    XSocket* s = (XSocket*)calloc(1, sizeof(XSocket));
    if (s == nullptr) return nullptr;
    s->handle = XSOCKET_INVALID_HANDLE;
    setXSocketAddress(&s->remoteAddress, nullptr, 0);
    setXSocketAddress(&s->localAddress, nullptr, 0);
    s->timeout = 0;
    s->deadline = 0;
    s->refCount = 1;
    s->libraryError = 0;
    s->errorCode = 0;
    s->errorMessage = nullptr;
    return s;
}

XSocket* retainXSocket(XSocket* s) {
    if (s != nullptr) s->refCount++;
    return s;
}

void releaseXSocket(XSocket* s) {
    if (s == nullptr) return;
    if (--s->refCount > 0) return;
    closeXSocket(s);
    free(s->errorMessage);
    free(s);
}

int closeXSocket(XSocket* s) {
    if (s == nullptr) return 0;
    if (!hasHandle(s)) return 1;
    // What was received on this connection means nothing on the next one.
    s->readAheadStart = s->readAheadEnd = 0;
    if (xsocketCloseHandle(s->handle) != 0) {
        recordPlatformError(s, "Error while trying to close the socket.");
        if (XSOCKET_FAILED_CLOSE_KEEPS_HANDLE) return 0;
        s->handle = XSOCKET_INVALID_HANDLE;
        return 0;
    }
    s->handle = XSOCKET_INVALID_HANDLE;
    return 1;
}

// ---- error recording ----

void setXSocketMessage(XSocket* s, const char* text) {
    free(s->errorMessage);
    s->errorMessage = nullptr;
    if (text == nullptr) return;
    size_t size = strlen(text) + 1;
    char* copy = (char*)malloc(size);
    // Out of memory: the record keeps its code and simply has no message.
    if (copy != nullptr) {
        memcpy(copy, text, size);
        s->errorMessage = copy;
    }
}

char* allocXSocketMessage(XSocket* s, int size) {
    free(s->errorMessage);
    s->errorMessage = nullptr;
    if (size < 1) return nullptr;
    s->errorMessage = (char*)calloc((size_t)size, 1);
    return s->errorMessage;
}

void setXSocketError(XSocket* s, int libraryError, int32_t code, const char* message) {
    s->libraryError = libraryError ? 1 : 0;
    s->errorCode = code;
    if (message != nullptr) setXSocketMessage(s, message);
}

int getXSocketErrorText(const XSocket* s, char* buffer, int size, const char** name) {
    char scratch[1];
    if (size < 1 || buffer == nullptr) {
        buffer = scratch;
        size = 1;
    }
    int needed;
    if (s->libraryError == 0) {
        char text[512];
        xsocketSystemErrorText(s->errorCode, text, sizeof text);
        needed = (int)strlen(text) + 33;
        if (size >= needed)
            snprintf(buffer, (size_t)size, "System Error: (%d) - %s", s->errorCode, text);
        if (name != nullptr) *name = "System Error";
    } else {
        const ErrorRow* row = errorTable;
        while (row->code != s->errorCode && row->code != XERROR_UNKNOWN)
            row++;
        needed = (int)strlen(row->text) + 27;
        if (size >= needed) snprintf(buffer, (size_t)size, "Library Error: %s", row->text);
        if (name != nullptr) *name = row->name;
    }
    return size >= needed ? 0 : needed;
}

// ---- addresses ----

void setXSocketAddress(XSocketAddress* address, const uint32_t* ipv4, uint16_t port) {
    if (ipv4 == nullptr) {
        memset(address, 0, sizeof *address);
        address->sin_addr.s_addr = htonl(INADDR_ANY);
    } else {
        memcpy(&address->sin_addr, ipv4, sizeof address->sin_addr);
    }
    address->sin_port = htons(port);
    address->sin_family = AF_INET;
}

void setXSocketAddressFromHost(XSocketAddress* address, const struct hostent* entry,
                               uint16_t port) {
    address->sin_family = (decltype(address->sin_family))entry->h_addrtype;
    // An entry may carry longer (IPv6) addresses; never copy past the field.
    if (entry->h_addr_list != nullptr && entry->h_addr_list[0] != nullptr && entry->h_length > 0) {
        size_t length = (size_t)entry->h_length;
        if (length > sizeof address->sin_addr) length = sizeof address->sin_addr;
        memcpy(&address->sin_addr, entry->h_addr_list[0], length);
    }
    address->sin_port = htons(port);
}

// ---- connection set-up ----

int initXSocket(XSocket* s) {
    if (hasHandle(s)) {
        recordLibraryError(s, XERROR_SOCKET_INIT, nullptr);
        setXSocketMessage(s, nullptr);
        return 0;
    }
    s->handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (!hasHandle(s)) {
        recordPlatformError(s, "Error trying to create a new socket in initXSocket.");
        return 0;
    }
    xsocketNoInherit(s->handle);
    if (!setXSocketKeepAlive(s, 1)) return 0;
    if (!setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1,
                      "Error while trying to set socket option for address reuse."))
        return 0;
    if (bind(s->handle, (const struct sockaddr*)&s->localAddress,
             (XSocketLength)sizeof s->localAddress) != 0) {
        recordPlatformError(s, "Error while trying to bind socket to an address.");
        return 0;
    }
    if (s->localAddress.sin_port != 0) return 1;
    XSocketAddress bound;
    memset(&bound, 0, sizeof bound);
    XSocketLength length = (XSocketLength)sizeof bound;
    if (getsockname(s->handle, (struct sockaddr*)&bound, &length) != 0) {
        recordPlatformError(s, "Error while attempting to retrievelocal socket information.");
        return 0;
    }
    s->localAddress.sin_port = bound.sin_port;
    return 1;
}

int connectXSocket(XSocket* s) {
    if (!initXSocket(s)) return 0;
    // With a time limit the connect runs in the background while the
    // limit is waited out; a peer that drops the attempt cannot hold it.
    const bool limited = waits(s) && xsocketSetNonBlocking(s->handle, 1) == 0;
    int failed = connect(s->handle, (const struct sockaddr*)&s->remoteAddress,
                         (XSocketLength)sizeof s->remoteAddress) != 0;
    if (failed && limited && xsocketConnectPending(xsocketLastError())) {
        if (!waitXSocket(s, 0)) {
            xsocketSetNonBlocking(s->handle, 0);
            return 0;
        }
        int error = 0;
        failed = !getIntOption(s, SOL_SOCKET, SO_ERROR, &error, nullptr) || error != 0;
        if (error != 0) setXSocketError(s, 0, error, nullptr);
    } else if (failed) {
        recordPlatformError(s, nullptr);
    }
    if (limited) xsocketSetNonBlocking(s->handle, 0);
    if (failed) {
        // The platform's own reason is kept: a refused connection and one
        // that timed out call for different fixes.
        setXSocketMessage(s, "Error while trying to connect.");
        return 0;
    }
    return 1;
}

int connectXSocketToAddress(XSocket* s, const uint32_t* ipv4, uint16_t port,
                            const uint32_t* localIpv4, uint16_t localPort) {
    if (hasHandle(s)) {
        recordLibraryError(s, XERROR_SOCKET_CONNECTED, nullptr);
        return 0;
    }
    if (ipv4 == nullptr || port == 0) {
        recordLibraryError(s, XERROR_INVALID_PORTADDRESS, nullptr);
        return 0;
    }
    setXSocketAddress(&s->remoteAddress, ipv4, port);
    setXSocketAddress(&s->localAddress, localIpv4, localPort);
    return connectXSocket(s);
}

int connectXSocketToHost(XSocket* s, const char* host, uint16_t port, const uint32_t* localIpv4,
                         uint16_t localPort) {
    if (hasHandle(s)) {
        recordLibraryError(s, XERROR_SOCKET_CONNECTED, nullptr);
        return 0;
    }
    const char* const unknownHost = "Unknown host '%s'.";
    const char* name = host != nullptr ? host : "";
    const struct hostent* entry = host != nullptr ? gethostbyname(host) : nullptr;
    // Only an IPv4 entry with an address fits the record.
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        recordLibraryError(s, XERROR_INVALID_HOST, nullptr);
        int size = (int)(strlen(name) + strlen(unknownHost) + 1);
        char* message = allocXSocketMessage(s, size);
        if (message != nullptr) snprintf(message, (size_t)size, unknownHost, name);
        return 0;
    }
    if (port == 0) {
        const char* const invalidPort = "Invalid port number encountered: %d.";
        recordLibraryError(s, XERROR_INVALID_PORTADDRESS, nullptr);
        int size = (int)strlen(invalidPort) + 12;
        char* message = allocXSocketMessage(s, size);
        if (message != nullptr) snprintf(message, (size_t)size, invalidPort, (int)port);
        return 0;
    }
    setXSocketAddressFromHost(&s->remoteAddress, entry, port);
    setXSocketAddress(&s->localAddress, localIpv4, localPort);
    return connectXSocket(s);
}

int listenXSocket(XSocket* s, int backlog) {
    if (hasHandle(s)) {
        recordLibraryError(s, XERROR_SOCKET_CONNECTED, "Server Socket already listening.");
        return 0;
    }
    if (!initXSocket(s)) return 0;
    if (listen(s->handle, backlog) != 0) {
        recordPlatformError(s, "Error while trying to listen on port.");
        return 0;
    }
    return 1;
}

int acceptXSocket(XSocket* server, XSocket* client) {
    if (!hasHandle(server)) {
        recordLibraryError(server, XERROR_SOCKET_NOTLISTEN, nullptr);
        return 0;
    }
    if (hasHandle(client)) {
        recordLibraryError(server, XERROR_SOCKET_CONNECTED,
                           "Internal Error: Client Socket already connected.");
        return 0;
    }
    if (server->timeout > 0 && !waitXSocket(server, 1)) return 0;
    for (;;) {
        XSocketLength length = (XSocketLength)sizeof client->remoteAddress;
        client->handle = accept(server->handle, (struct sockaddr*)&client->remoteAddress, &length);
        if (hasHandle(client)) break;
        recordPlatformError(server, nullptr);
        if (server->errorCode != XSOCKET_EINTR) {
            setXSocketMessage(server, "Error while trying to accept a connection.");
            return 0;
        }
    }
    xsocketNoInherit(client->handle);
    // A server bound to every interface learns the one this connection
    // came in on only from the connection itself.
    XSocketLength length = (XSocketLength)sizeof client->localAddress;
    if (getsockname(client->handle, (struct sockaddr*)&client->localAddress, &length) != 0)
        memcpy(&client->localAddress, &server->localAddress, sizeof client->localAddress);
    return 1;
}

int isXSocketPeerLocal(const XSocket* s) {
    const uint32_t peer = s->remoteAddress.sin_addr.s_addr;
    // The whole loopback network: a host name may resolve to 127.0.1.1 while
    // the connection to it comes from 127.0.0.1.
    if ((ntohl(peer) >> 24) == 127) return 1;
    // One of this machine's other addresses connects from itself.
    return peer == s->localAddress.sin_addr.s_addr;
}

// ---- time limits ----

int setXSocketTimeout(XSocket* s, int32_t seconds) {
    if (seconds < 0) {
        recordLibraryError(s, XERROR_BAD_ARG, "Timeout value must be zero or greater.");
        return 0;
    }
    s->timeout = seconds;
    return 1;
}

void setXSocketDeadline(XSocket* s, int32_t milliseconds) {
    // Never 0 when set: 0 means none.
    s->deadline = milliseconds > 0 ? steadyMilliseconds() + milliseconds + 1 : 0;
}

int getXSocketTimeout(const XSocket* s, int32_t* seconds) {
    *seconds = s->timeout;
    return 1;
}

int waitXSocket(XSocket* s, int forReading) {
    // Bytes already received are ready to be read, whatever the platform says.
    if (forReading && s->readAheadEnd > s->readAheadStart) return 1;
    int64_t limit = (int64_t)s->timeout * 1000;
    if (s->deadline != 0) {
        limit = s->deadline - steadyMilliseconds();
        if (limit < 0) limit = 0;
    }
    if (limit > INT32_MAX) limit = INT32_MAX;
    int ready = xsocketWaitHandle(s->handle, forReading, (int32_t)limit);
    if (ready < 0) {
        recordPlatformError(s, "Error while in select.");
        return 0;
    }
    if (ready == 0) {
        setXSocketError(s, 0, XSOCKET_ETIMEDOUT, "select() timed out.");
        return 0;
    }
    return 1;
}

// ---- stream I/O ----

int readXSocket(XSocket* s, void* buffer, int32_t* length) {
    return readStream(s, buffer, length, nullptr);
}

int readFromXSocket(XSocket* s, void* buffer, int32_t* length, XSocketAddress* source) {
    XSocketAddress ignored;
    return readStream(s, buffer, length, source != nullptr ? source : &ignored);
}

int32_t writeXSocket(XSocket* s, const void* data, int32_t length) {
    return writeStream(s, data, length, nullptr);
}

int32_t writeToXSocket(XSocket* s, const void* data, int32_t length,
                       const XSocketAddress* destination) {
    return writeStream(s, data, length, destination);
}

// ---- options ----

int getXSocketRecvBufferSize(XSocket* s, int32_t* size) {
    int value = 0;
    if (!getIntOption(s, SOL_SOCKET, SO_RCVBUF, &value,
                      "Error while trying to get the receive buffer size.")) {
        *size = -1;
        return 0;
    }
    *size = value;
    return 1;
}

int setXSocketRecvBufferSize(XSocket* s, int32_t size) {
    return setIntOption(s, SOL_SOCKET, SO_RCVBUF, size,
                        "Error while trying to set the receive buffer size.");
}

int getXSocketSendBufferSize(XSocket* s, int32_t* size) {
    int value = 0;
    if (!getIntOption(s, SOL_SOCKET, SO_SNDBUF, &value,
                      "Error while trying to get the send buffer size.")) {
        *size = -1;
        return 0;
    }
    *size = value;
    return 1;
}

int setXSocketSendBufferSize(XSocket* s, int32_t size) {
    return setIntOption(s, SOL_SOCKET, SO_SNDBUF, size,
                        "Error while trying to set the send buffer size.");
}

int getXSocketLinger(XSocket* s, int32_t* seconds) {
    struct linger value;
    memset(&value, 0, sizeof value);
    XSocketLength length = (XSocketLength)sizeof value;
    if (getsockopt(s->handle, SOL_SOCKET, SO_LINGER, (char*)&value, &length) != 0) {
        recordPlatformError(s, "Error while trying to get the linger setting.");
        *seconds = -1;
        return 0;
    }
    *seconds = value.l_onoff ? (int32_t)value.l_linger : -1;
    return 1;
}

int setXSocketLinger(XSocket* s, int on, int seconds) {
    const char* const message = "Error while trying to set the linger parameters.";
    // The platform's field is 16 bits wide on Windows; refuse what would wrap.
    if (seconds < 0 || seconds > 65535) {
        recordLibraryError(s, XERROR_BAD_ARG, message);
        return 0;
    }
    struct linger value;
    memset(&value, 0, sizeof value);
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    if (setsockopt(s->handle, SOL_SOCKET, SO_LINGER, (const char*)&value,
                   (XSocketLength)sizeof value) != 0) {
        recordPlatformError(s, message);
        return 0;
    }
    return 1;
}

int getXSocketNoDelay(XSocket* s, int* flag) {
    int value = 0;
    if (!getIntOption(s, IPPROTO_TCP, TCP_NODELAY, &value, "Error while trying to get the delay."))
        return 0;
    *flag = value != 0 ? 1 : 0;
    return 1;
}

int setXSocketNoDelay(XSocket* s, int flag) {
    return setIntOption(s, IPPROTO_TCP, TCP_NODELAY, flag ? 1 : 0,
                        "Error while trying to set the delay.");
}

int getXSocketKeepAlive(XSocket* s, int* flag) {
    int value = 0;
    if (!getIntOption(s, SOL_SOCKET, SO_KEEPALIVE, &value,
                      "Error while trying to get the keep alive setting."))
        return 0;
    *flag = value != 0 ? 1 : 0;
    return 1;
}

int setXSocketKeepAlive(XSocket* s, int flag) {
    return setIntOption(s, SOL_SOCKET, SO_KEEPALIVE, flag ? 1 : 0,
                        "Error while trying to set the keep alive setting.");
}

int ioctlXSocket(XSocket* s, long command, uint32_t* argument) {
    if (xsocketIoctl(s->handle, command, argument) != 0) {
        recordPlatformError(s, "Error while using ioctl.");
        return 0;
    }
    return 1;
}

// ---- queries ----

uint16_t getXSocketLocalPort(const XSocket* s) {
    return ntohs(s->localAddress.sin_port);
}

uint16_t getXSocketRemotePort(const XSocket* s) {
    return ntohs(s->remoteAddress.sin_port);
}

const char* getXSocketLocalAddress(const XSocket* s) {
    if (!hasHandle(s)) return nullptr;
    return inet_ntoa(s->localAddress.sin_addr);
}

const char* getXSocketRemoteAddress(const XSocket* s) {
    if (!hasHandle(s)) return nullptr;
    return inet_ntoa(s->remoteAddress.sin_addr);
}
