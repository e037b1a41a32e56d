// What the fuzz targets share: outside bytes fed through a connected socket
// pair, so that the link's own reads take them, and argument lists laid out
// for any catalogue signature, with every text and array given its room.
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

// The pointers of one argument list in signature order, each pointing at a
// value of the field's type; counts start at the room their data has. Each
// text and array has a heap block of exactly that room to itself, so a
// write one byte past it is a sanitizer finding, not a quiet overwrite of
// the next field.
struct Args {
    enum { MOST = 16, ROOM = 1024 };
    int32_t ints[MOST] = {};
    float floats[MOST] = {};
    double doubles[MOST] = {};
    void* data[MOST] = {};
    void* owned[MOST] = {}; // the blocks data started with, whatever it holds later
    void* p[MOST] = {};
    int n = 0;

    explicit Args(const char* signature) {
        bool array = false;
        for (const char* c = signature; *c; ++c) {
            if (*c == '[') array = false;
            if (*c == '<') array = true;
            if (*c == ')') {
                if (c[1] == 'I') p[n] = &ints[n];
                break;
            }
            if (!strchr("IRDC", *c) || n > MOST - 3) continue;
            if (!array && *c != 'C') {
                p[n] = *c == 'I'   ? static_cast<void*>(&ints[n])
                       : *c == 'R' ? static_cast<void*>(&floats[n])
                                   : static_cast<void*>(&doubles[n]);
                ++n;
                continue;
            }
            const int size = *c == 'D' ? 8 : *c == 'C' ? 1 : 4;
            size_t bytes = 0;
            if (array && *c == 'C') { // rows, row length, data
                ints[n] = 32;
                p[n] = &ints[n];
                ++n;
                ints[n] = ROOM / 32;
                p[n] = &ints[n];
                ++n;
                bytes = size_t(ints[n - 2]) * size_t(ints[n - 1]);
            } else {
                ints[n] = ROOM / size;
                p[n] = &ints[n];
                ++n;
                bytes = size_t(ints[n - 1]) * size_t(size);
            }
            data[n] = owned[n] = malloc(bytes);
            if (!data[n]) abort();
            p[n] = &data[n];
            ++n;
        }
    }
    ~Args() {
        for (void* block : owned)
            free(block);
    }
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
};

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

// Every pointer of an Args, for a variadic call.
#define ZVFUZZ_ARGS(a)                                                                             \
    (a).p[0], (a).p[1], (a).p[2], (a).p[3], (a).p[4], (a).p[5], (a).p[6], (a).p[7], (a).p[8],      \
        (a).p[9], (a).p[10], (a).p[11], (a).p[12], (a).p[13], (a).p[14], (a).p[15]
