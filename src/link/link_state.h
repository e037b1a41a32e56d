// Process-wide state of the link, shared by its start and its exchange.
#pragma once

#include <cstdint>

#include "link/link.h"

struct LinkState {
    XSocket* socket;           // the link, or null; set before it is connected
    int socketsStarted;        // this process started the platform socket layer
    LinkErrorCallback onError; // null until the block registers one
    int32_t acceptTimeout;     // seconds
    // Seconds the connect, the handshake reply and each return may take;
    // 0: no limit. From the settings of the link's start.
    int32_t replyTimeout;
    // PIPELINE of the settings of the link's start.
    int32_t pipeline;
    // The call sent ahead whose return is still on its way (0: none). It
    // is the next frame the solver sends, after the returns already awaited.
    uint16_t aheadId;
    // The last start reached a solver that listens (connect mode) rather
    // than launching one.
    int32_t connectMode;
};

extern LinkState linkState;

// Whether the last wait on s ran out of its time limit.
inline bool linkWaitTimedOut(const XSocket* s) {
    return linkState.replyTimeout > 0 && !s->libraryError && s->errorCode == XSOCKET_ETIMEDOUT;
}

// Starts the platform socket layer once per link.
int startLinkSockets(void);
