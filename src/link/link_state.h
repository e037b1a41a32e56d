// Process-wide state of the link, shared by its start and its exchange.
#pragma once

#include <cstdint>

#include "link/link.h"

struct LinkState {
    XSocket* socket;           // the link, or null; set before it is connected
    int socketsStarted;        // this process started the platform socket layer
    LinkErrorCallback onError; // null until the block registers one
    int32_t acceptTimeout;     // seconds
};

extern LinkState linkState;

// Starts the platform socket layer once per link.
int startLinkSockets(void);
