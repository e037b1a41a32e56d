// What the fuzz targets share: outside bytes fed through a connected socket
// pair, so that the link's own reads take them, and the room argument lists
// give every text and array.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/zvlog.h"
#include "xsocket/xsocket.h"

namespace zvfuzz {

// Our end reads the bytes, then the end of the stream: no read ever waits.
struct Feed {
    XSocket* local = nullptr;
    int peer = -1;

    Feed(const uint8_t* data, size_t size) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
        // Room for every input the targets take, and for what our side writes.
        int room = 1 << 20;
        setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        local = newXSocket();
        local->handle = fds[0];
        peer = fds[1];
        for (size_t done = 0; done < size;) {
            const ssize_t n = write(peer, data + done, size - done);
            if (n <= 0) abort();
            done += size_t(n);
        }
        shutdown(peer, SHUT_WR);
    }
    ~Feed() {
        releaseXSocket(local);
        close(peer);
    }
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;
};

// Argument lists for any catalogue signature come from the protocol's
// ArgumentList: each text and array has a heap block of exactly this room
// to itself, so a write one byte past it is a sanitizer finding, not a quiet
// overwrite of the next field.
const int32_t ARGUMENT_ROOM = 1024;

// Keeps the link log quiet and out of the working folder.
inline void quietLog() {
    setLogLevel(LOG_ERROR + 1);
}

// A scratch working folder for the targets that read files.
inline void enterScratchFolder() {
    char folder[] = "/tmp/zvfuzz.XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) abort();
}

inline void writeFile(const char* name, const uint8_t* data, size_t size) {
    FILE* f = fopen(name, "wb");
    if (!f) abort();
    if (size) fwrite(data, 1, size, f);
    fclose(f);
}

} // namespace zvfuzz
