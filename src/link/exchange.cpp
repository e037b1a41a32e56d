// One remote call and its return, the frames the solver may send in between,
// and the end of the link.
//
// The error callback may end the host's call without returning (an
// exception or a longjmp through these frames), so nothing here holds heap
// memory while it calls the callback: bodies are read into fixed stack
// space, and message buffers are freed first.
#include <cstring>

#include "link/link.h"
#include "link/link_state.h"
#include "link/settings.h"
#include "log/zvlog.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"

namespace {

// Only this much of a handshake reply is kept: enough to tell "OK" from
// anything else and to show what came instead.
const int32_t REPLY_KEPT = 63;

// The stream holds an unknown part of a frame, so the start of the next one
// cannot be found. Waiting on it would read the solver's data as headers.
void dropLinkOutOfStep(void) {
    logMessage(LOG_ERROR, "link out of step with the solver; closing it");
    // Only what came in is out of step: the close frame still reads right.
    sayLinkOver(linkState.socket);
    closeLink();
}

// Time enough for a close frame that has room in the send buffer; one
// that has none would only hold up the end of the run.
const int32_t CLOSE_SEND_MS = 1000;

// A solver that lets a limit of the settings pass is taken as lost: its late
// answer would arrive in the middle of whatever came next. It may only be
// slow, so it is told the link is over when the stream allows.
void giveUpOnSolver(XSocket* link, bool streamWhole) {
    if (streamWhole) sayLinkOver(link);
    onLinkClosedBySolver();
}

// A read of the exchange failed. Inside a frame the stream position is
// unknown; between frames only a wait that timed out ends the link.
void readFailed(XSocket* link, uint16_t id, bool insideFrame) {
    logXSocketError(link);
    if (linkState.socket != link) return;
    if (linkWaitTimedOut(link)) {
        logMessage(LOG_ERROR, "no answer to %s within %g s (%s in %s); taking the solver as lost",
                   functionName(id), limitSeconds(boundLimitMs()), boundKey(), LINK_SETTINGS_FILE);
        giveUpOnSolver(link, true);
    } else if (insideFrame) {
        dropLinkOutOfStep();
    }
}

// The body of a frame could not be read to its end: the next frame cannot
// be found.
void bodyReadFailed(XSocket* s, uint32_t byteFlag) {
    logXSocketError(s);
    if (linkState.socket != s) return;
    if (linkWaitTimedOut(s)) {
        logMessage(LOG_ERROR,
                   "message %d not whole within %g s (%s in %s); taking the solver as lost",
                   static_cast<int>(byteFlag), limitSeconds(boundLimitMs()), boundKey(),
                   LINK_SETTINGS_FILE);
        giveUpOnSolver(s, true);
    } else {
        dropLinkOutOfStep();
    }
}

// A return that nobody waits for any more: read to its end and dropped.
void dropOwedReturn(XSocket* link, int32_t length) {
    logMessage(LOG_DEBUG, "dropping the return owed to %s", functionName(linkState.owedId));
    linkState.owedId = 0;
    if (length < 0)
        dropLinkOutOfStep();
    else if (!skipMessageData(link, length))
        bodyReadFailed(link, FLAG_RETURN);
}

} // namespace

void setErrorCallback(LinkErrorCallback fn) {
    linkState.onError = fn;
}

void notifyLinkError(int32_t code) {
    if (linkState.onError) linkState.onError(code);
}

XSocket* currentLink(void) {
    return linkState.socket;
}

XSocket* getLink(void) {
    if (linkState.socket) return linkState.socket;
    if (startLink()) return linkState.socket; // null when the solver closed it at once
    // Ending the process here would take the user's unsaved work with it;
    // the block learns of the failure through its callback instead.
    logMessage(LOG_ERROR, "exiting...");
    notifyLinkError(-1);
    return nullptr;
}

int callRemote(XSocket* link, LinkMessageHandler handler, int id, ...) {
    va_list args;
    va_start(args, id);
    int ok = vcallRemote(link, handler, static_cast<uint16_t>(id), args);
    va_end(args);
    return ok;
}

double limitSeconds(int32_t ms) {
    return ms / 1000.0;
}

int32_t boundLimitMs(void) {
    return linkState.boundLong ? linkState.settings.longTimeoutMs : linkState.settings.timeoutMs;
}

const char* boundKey(void) {
    return linkState.boundLong ? "LONGTIMEOUT" : "TIMEOUT";
}

void boundLinkExchange(XSocket* s, int isLong) {
    linkState.boundLong = isLong;
    setXSocketDeadline(s, boundLimitMs());
}

void startCallClock(XSocket* s, uint16_t id) {
    // The solver loads its model in SLZVIMAN and runs on alone to its own
    // duration in the final advance: neither is a step.
    const bool longCall = id == FID_SLZVIMAN || (id == FID_SLCZVPWR && linkState.nextCallLong);
    if (id == FID_SLCZVPWR) linkState.nextCallLong = 0;
    boundLinkExchange(s, longCall);
}

void markFinalAdvance(void) {
    linkState.nextCallLong = 1;
}

void sayLinkOver(XSocket* s) {
    if (!s || s->handle == XSOCKET_INVALID_HANDLE) return;
    // Not a limit of the settings: a solver that stopped reading must not
    // hold the end of the link, whatever TIMEOUT says.
    setXSocketDeadline(s, CLOSE_SEND_MS);
    if (!writeMessageHeader(s, FLAG_CLOSE, 0)) logXSocketError(s);
}

void callSendFailed(XSocket* link, uint16_t id) {
    // A send that failed before any byte left keeps the stream whole; one cut
    // short (a wait that ran out) may have left part of a frame on the wire,
    // and the solver could never find the next one.
    if (linkState.socket != link || !link->libraryError ||
        link->errorCode != XERROR_INCOMPLETE_MESSAGE)
        return;
    logMessage(LOG_ERROR,
               "%s not sent within %g s (%s in %s): the solver stopped reading; taking it as lost",
               functionName(id), limitSeconds(boundLimitMs()), boundKey(), LINK_SETTINGS_FILE);
    giveUpOnSolver(link, false);
}

int vcallRemote(XSocket* link, LinkMessageHandler handler, uint16_t id, va_list args) {
    FieldPointers fields = {};
    va_copy(fields.list, args);
    const int ok = callRemoteFields(link, handler, id, &fields);
    va_end(fields.list);
    return ok;
}

int callRemoteFields(XSocket* link, LinkMessageHandler handler, uint16_t id,
                     FieldPointers* fields) {
    if (!link) return 0;
    startCallClock(link, id);
    logMessage(LOG_DEBUG, "sending function call: %d", static_cast<int>(id));
    if (!sendFunctionMessage(link, id, fields, 1)) {
        callSendFailed(link, id);
        return 0;
    }
    return awaitCallReturn(link, handler, id, fields);
}

int vawaitRemoteReturn(XSocket* link, LinkMessageHandler handler, uint16_t id, va_list args) {
    if (!link) return 0;
    startCallClock(link, id);
    FieldPointers fields = {};
    va_copy(fields.list, args);
    const int ok = awaitCallReturn(link, handler, id, &fields);
    va_end(fields.list);
    return ok;
}

int awaitCallReturn(XSocket* link, LinkMessageHandler handler, uint16_t id, FieldPointers* fields) {
    // Whatever comes of the wait, that return is no longer on its way.
    if (linkState.aheadId == id) linkState.aheadId = 0;
    for (;;) {
        logMessage(LOG_DEBUG, "sent function!  waiting for reply...");
        uint32_t flag = 0;
        int32_t length = 0;
        if (!readMessageHeader(link, &flag, &length)) {
            readFailed(link, id, false);
            return 0;
        }
        logMessage(LOG_DEBUG, "received reply...");
        if (flag == FLAG_RETURN && linkState.owedId == id) {
            // The return of the same function's failed call comes first.
            dropOwedReturn(link, length);
            if (linkState.socket != link) return 0;
            continue;
        }
        if (flag == FLAG_RETURN) {
            int got = takeFunctionReturn(id, link, length, fields);
            // The solver answers in order: nothing owed can follow this one.
            if (got == RETURN_UNPACKED) {
                linkState.owedId = 0;
                return 1;
            }
            if (got == RETURN_REFUSED && linkState.owedId) {
                // Another function's return, read to its end: the owed one.
                logMessage(LOG_DEBUG, "dropped the return owed to %s",
                           functionName(linkState.owedId));
                linkState.owedId = 0;
                continue;
            }
            logMessage(LOG_ERROR, "Error while trying to unpack return");
            // A refused return was read to its end: the link stays in step.
            if (got == RETURN_STREAM_LOST) readFailed(link, id, true);
            // One too short to name a function answers nothing.
            else if (length < 4)
                linkState.owedId = id;
            return 0;
        }
        const int handled = handler && handler(flag, length);
        if (linkState.socket != link) return 0; // the solver ended the link
        if (!handled) {
            // Something else came first; the return may still be on its way.
            linkState.owedId = id;
            return 0;
        }
    }
}

int processMessage(uint32_t byteFlag, int32_t length) {
    logMessage(LOG_DEBUG, "process message: %d", static_cast<int>(byteFlag));
    if (byteFlag == FLAG_CALL) return refuseIncomingCall(length);

    XSocket* s = linkState.socket;
    char reply[REPLY_KEPT + 1];
    int32_t kept = 0;
    if (length > 0) {
        if (!s) return 0;
        if (byteFlag == FLAG_HANDSHAKE_REPLY) kept = length < REPLY_KEPT ? length : REPLY_KEPT;
        if (!readMessageData(s, reply, kept) || !skipMessageData(s, length - kept)) {
            bodyReadFailed(s, byteFlag);
            return 0;
        }
    } else if (length < 0 && byteFlag != FLAG_CLOSE && byteFlag != FLAG_LOST) {
        // No frame is 2 GB or more long: the stream cannot be trusted.
        if (byteFlag != FLAG_HANDSHAKE_REPLY)
            logMessage(LOG_ERROR, "unknown message: %d", static_cast<int>(byteFlag));
        else
            checkHandshakeReply("");
        if (s) dropLinkOutOfStep();
        return 0;
    }
    reply[kept] = '\0';

    switch (byteFlag) {
    case FLAG_HANDSHAKE_REPLY:
        return checkHandshakeReply(reply);
    case FLAG_CLOSE:
        // The solver ended the link itself: it finishes on its own.
        releaseLaunchedSolver();
        return onLinkClosedBySolver();
    case FLAG_LOST:
        logMessage(LOG_ERROR,
                   "Server process closed communication or lost communication to server process.");
        return onLinkClosedBySolver();
    default:
        logMessage(LOG_ERROR, "unknown message: %d", static_cast<int>(byteFlag));
        return 0;
    }
}

int refuseIncomingCall(int32_t length) {
    XSocket* s = linkState.socket;
    if (!s) return 0;
    MessageBuffer* header = receiveFunctionHeader(s, length);
    if (!header) {
        // The header was refused somewhere inside: the rest of the call
        // cannot be found any more.
        if (linkState.socket == s) dropLinkOutOfStep();
        return 0;
    }
    uint16_t id = header->functionId;
    int32_t rest = length - header->total;
    freeMessageBuffer(header);
    logMessage(LOG_ERROR, "unknown function call (%d)", static_cast<int>(id));
    // The arguments are dropped so that the next frame is read from its start.
    if (!skipMessageData(s, rest)) bodyReadFailed(s, FLAG_CALL);
    return 0;
}

int onLinkClosedBySolver(void) {
    closeLink();
    notifyLinkError(0);
    return 1;
}

// A link that ends any way but in order leaves no launched solver behind.
void closeLink(void) {
    if (linkState.socket) {
        XSocket* s = linkState.socket;
        linkState.socket = nullptr;
        releaseXSocket(s);
    }
    linkState.aheadId = 0;
    linkState.owedId = 0;
    linkState.nextCallLong = 0;
    if (linkState.socketsStarted) {
        stopXSockets();
        linkState.socketsStarted = 0;
    }
    endLaunchedSolver();
}

// The solver is told the link has ended and finishes on its own.
int endLink(void) {
    // A socket that never connected has no solver to tell.
    sayLinkOver(linkState.socket);
    releaseLaunchedSolver();
    closeLink();
    return 1;
}

int abandonLink(void) {
    sayLinkOver(linkState.socket);
    closeLink();
    return 1;
}
