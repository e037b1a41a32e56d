// One link of the stand-in solver: the handshake, then the block's calls
// until the block closes the link, the connection ends or a stop is asked for.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "solver/faults.h"
#include "xsocket/xsocket.h"

// Set by the signal handler; every wait of the solver looks at it at least
// once a second.
extern volatile std::sig_atomic_t solverStopRequested;

// The solver's console: "screen.zv" in the working folder, and standard
// output too when echo is on.
struct Console {
    FILE* file = nullptr;
    bool echo = false;

    bool open(const char* path);
    void close();
    void line(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
};

struct SolverConfig {
    std::vector<Fault> faults;
};

// Frames longer than this are not taken from the block: none of its calls
// comes near it, and it bounds what a broken peer can make the solver allocate.
#define SOLVER_MAX_MESSAGE (1 << 20)

// Serves one link on a connected socket. The socket stays the caller's.
// Returns true when the block ended the link in order (close frame).
bool serveLink(XSocket* socket, const SolverConfig& config, Console& console);

// Sleeps up to the given time, in short slices, ending early on a stop request.
void sleepUnlessStopped(double seconds);

// Waits until the socket has something to read; false on a stop request or a
// failed wait. The socket's time-out is 0 again afterwards.
bool waitReadable(XSocket* socket);
