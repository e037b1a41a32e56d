// Process-wide state of the link, shared by its start and its exchange.
#pragma once

#include <cstdint>

#include "link/link.h"
#include "link/settings.h"

struct LinkState {
    XSocket* socket;           // the link, or null; set before it is connected
    int socketsStarted;        // this process started the platform socket layer
    LinkErrorCallback onError; // null until the block registers one
    int32_t acceptTimeout;     // seconds
    // The settings the link started with: its time limits and PIPELINE are
    // read from here and nowhere else.
    LinkSettings settings;
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
    // The exchange in progress is bounded by LONGTIMEOUT rather than
    // TIMEOUT; the socket holds when its time is up.
    int boundLong;
    // The last start reached a solver that listens (connect mode) rather
    // than launching one.
    int32_t connectMode;
};

extern LinkState linkState;

// Whether the last wait on s ran out of its time limit.
inline bool linkWaitTimedOut(const XSocket* s) {
    return s->deadline != 0 && !s->libraryError && s->errorCode == XSOCKET_ETIMEDOUT;
}
// The milliseconds of the setting that bounds the exchange in progress.
int32_t boundLimitMs(void);

// Starts the platform socket layer once per link.
int startLinkSockets(void);
// Starts the clock of one exchange on s, bounded by LONGTIMEOUT when
// isLong, else by TIMEOUT (a limit of 0 is none).
void boundLinkExchange(XSocket* s, int isLong);
// The name of the setting that bounds the exchange in progress.
const char* boundKey(void);
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
