// A connected socket pair for protocol tests: our end an XSocket, the peer's
// a plain descriptor that writes and reads exact bytes. Every wait is bounded,
// so a protocol fault fails instead of hanging.
#pragma once

#include <cstdarg>
#include <cstring>
#include <string>

#include "protocol/protocol.h"
#include "support/net.h"
#include "support/wire.h"

namespace wiretest {

// Test bytes are built with the shared big-endian builders.
using namespace zvproc;

// Our end and the peer's: a loopback TCP pair on Windows, a local socket
// pair of the given type elsewhere (a packet type shows each write apart).
struct WirePair {
    XSocket* local = nullptr;
    zvnet::Handle peer = zvnet::NONE;

    explicit WirePair(int type = SOCK_STREAM) {
        zvnet::Handle ends[2];
#ifdef _WIN32
        (void)type;
        if (!zvnet::loopbackPair(ends)) return;
#else
        if (socketpair(AF_UNIX, type, 0, ends) != 0) return;
#endif
        zvnet::limitWaits(ends[1], 5);
        local = newXSocket();
        local->handle = ends[0];
        setXSocketTimeout(local, 5);
        peer = ends[1];
    }
    ~WirePair() {
        releaseXSocket(local);
        closePeer();
    }
    void closePeer() {
        if (peer != zvnet::NONE) zvnet::closeHandle(peer);
        peer = zvnet::NONE;
    }
    bool peerWrite(const Bytes& b) {
        return zvnet::sendSome(peer, b.data(), b.size()) == long(b.size());
    }
    // One read: on a packet socket, one write of our side.
    Bytes peerRead() {
        Bytes b(65536, '\0');
        const long n = zvnet::receiveSome(peer, &b[0], b.size());
        b.resize(n > 0 ? size_t(n) : 0);
        return b;
    }
    // Everything our side wrote; our side stops writing first.
    Bytes peerReadAll() {
        zvnet::stopWriting(local->handle);
        Bytes out;
        for (Bytes piece; !(piece = peerRead()).empty();)
            out.insert(out.end(), piece.begin(), piece.end());
        return out;
    }
    // What is left unread on our side, once the peer has closed.
    Bytes localReadRest() {
        closePeer();
        Bytes out;
        char c;
        for (int32_t n = 1; readXSocket(local, &c, &n) && n == 1; n = 1)
            out.push_back(c);
        return out;
    }
};

inline int sendMessage(XSocket* s, uint16_t id, int isCall, ...) {
    va_list args;
    va_start(args, isCall);
    const int ok = sendFunctionMessage(s, id, args, isCall);
    va_end(args);
    return ok;
}

// Reads the next header and, if it is a return, unpacks it.
inline int receiveReturn(XSocket* s, int id, ...) {
    uint32_t flag = 0;
    int32_t length = 0;
    if (!readMessageHeader(s, &flag, &length) || flag != FLAG_RETURN) return 0;
    va_list args;
    va_start(args, id);
    const int ok = receiveFunctionReturn(uint16_t(id), s, length, args);
    va_end(args);
    return ok;
}

} // namespace wiretest
