// Process-wide state of the link, shared by its start and its exchange.
#pragma once

#include <cstdint>

#include "link/link.h"

struct LinkState {
    XSocket* socket;           // the link, or null; set before it is connected
    int socketsStarted;        // this process started the platform socket layer
    LinkErrorCallback onError; // null until the block registers one
    int32_t acceptTimeout;     // seconds
    // Milliseconds the connect, the handshake and each call (its send and
    // its return together) may take; 0: no limit. TIMEOUT of the settings.
    int32_t replyTimeout;
    // The same for the calls in which the solver works alone for long
    // (SLZVIMAN, the final advance). LONGTIMEOUT of the settings.
    int32_t longTimeout;
    // PIPELINE of the settings of the link's start.
    int32_t pipeline;
    // The call sent ahead whose return is still on its way (0: none). It
    // is the next frame the solver sends, after the returns already awaited.
    uint16_t aheadId;
    // A call that failed because another frame came before its return: that
    // return may still come, ahead of every later one (0: none).
    uint16_t owedId;
    // The next call is the final advance: LONGTIMEOUT bounds it.
    int nextCallLong;
    // The handshake went out on this link's start: the solver is listening.
    int greeted;
    // What bounds the exchange in progress, for the messages of a time-out.
    const char* boundKey;
    int32_t boundMs;
    // The last start reached a solver that listens (connect mode) rather
    // than launching one.
    int32_t connectMode;
};

extern LinkState linkState;

// Whether the last wait on s ran out of its time limit.
inline bool linkWaitTimedOut(const XSocket* s) {
    return linkState.boundMs > 0 && !s->libraryError && s->errorCode == XSOCKET_ETIMEDOUT;
}

// Starts the platform socket layer once per link.
int startLinkSockets(void);
// Starts the clock of one exchange on s: key names the setting that bounds
// it, ms its limit (0: none).
void boundLinkExchange(XSocket* s, const char* key, int32_t ms);
// Starts the clock of call id, bounded by TIMEOUT or LONGTIMEOUT.
void startCallClock(XSocket* s, uint16_t id);
// Waits for the return of call id, already sent, within the clock running.
int awaitCallReturn(XSocket* link, LinkMessageHandler handler, uint16_t id, FieldPointers* fields);
// A send of call id failed: a send that ran out of time ends the link.
void callSendFailed(XSocket* link, uint16_t id);
// Tells a solver that the link is over with a close frame, when it gets out
// at once; the link itself is left to the caller.
void sayLinkOver(XSocket* s);
// The seconds of a limit in milliseconds, as the settings spell them.
double limitSeconds(int32_t ms);
