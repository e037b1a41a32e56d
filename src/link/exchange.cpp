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
#include "remote/catalogue.h"

namespace {

// Only this much of a handshake reply is kept: enough to tell "OK" from
// anything else and to show what came instead.
const int32_t REPLY_KEPT = 63;

// The stream holds an unknown part of a frame, so the start of the next one
// cannot be found. Waiting on it would read the solver's data as headers.
void dropLinkOutOfStep(void) {
    logMessage(LOG_ERROR, "link out of step with the solver; closing it");
    closeLink();
}

// A solver that lets the TIMEOUT of the settings pass is taken as lost: its
// late answer would arrive in the middle of whatever came next.
void giveUpOnSolver(uint16_t id) {
    logMessage(LOG_ERROR, "no answer to %s within %d s (TIMEOUT in %s); taking the solver as lost",
               functionName(id), static_cast<int>(linkState.replyTimeout), LINK_SETTINGS_FILE);
    onLinkClosedBySolver();
}

// A read of the exchange failed. Inside a frame the stream position is
// unknown; between frames only a wait that timed out ends the link.
void readFailed(XSocket* link, uint16_t id, bool insideFrame) {
    logXSocketError(link);
    if (linkState.socket != link) return;
    if (linkWaitTimedOut(link))
        giveUpOnSolver(id);
    else if (insideFrame)
        dropLinkOutOfStep();
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

int vcallRemote(XSocket* link, LinkMessageHandler handler, uint16_t id, va_list args) {
    if (!link) return 0;
    logMessage(LOG_DEBUG, "sending function call: %d", static_cast<int>(id));
    va_list sendArgs;
    va_copy(sendArgs, args);
    int sent = sendFunctionMessage(link, id, sendArgs, 1);
    va_end(sendArgs);
    if (!sent) return 0;
    return vawaitRemoteReturn(link, handler, id, args);
}

int vawaitRemoteReturn(XSocket* link, LinkMessageHandler handler, uint16_t id, va_list args) {
    if (!link) return 0;
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
        if (flag == FLAG_RETURN) {
            va_list returnArgs;
            va_copy(returnArgs, args);
            int got = takeFunctionReturn(id, link, length, returnArgs);
            va_end(returnArgs);
            if (got == RETURN_UNPACKED) return 1;
            logMessage(LOG_ERROR, "Error while trying to unpack return");
            // A refused return was read to its end: the link stays in step.
            if (got == RETURN_STREAM_LOST) readFailed(link, id, true);
            return 0;
        }
        if (!handler || !handler(flag, length)) return 0;
        if (linkState.socket != link) return 0; // the solver ended the link
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
            logXSocketError(s);
            if (linkWaitTimedOut(s)) {
                logMessage(LOG_ERROR,
                           "message %d not whole within %d s (TIMEOUT in %s); taking "
                           "the solver as lost",
                           static_cast<int>(byteFlag), static_cast<int>(linkState.replyTimeout),
                           LINK_SETTINGS_FILE);
                onLinkClosedBySolver();
            }
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
    if (!skipMessageData(s, rest)) logXSocketError(s);
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
    if (linkState.socketsStarted) {
        stopXSockets();
        linkState.socketsStarted = 0;
    }
    endLaunchedSolver();
}

namespace {

void sendCloseFrame(void) {
    XSocket* s = linkState.socket;
    // A record closed by an earlier failure has nothing to say it on.
    if (s && s->handle != XSOCKET_INVALID_HANDLE && !writeMessageHeader(s, FLAG_CLOSE, 0))
        logXSocketError(s);
}

} // namespace

// The solver is told the link has ended and finishes on its own.
int endLink(void) {
    sendCloseFrame();
    releaseLaunchedSolver();
    closeLink();
    return 1;
}

int abandonLink(void) {
    sendCloseFrame();
    closeLink();
    return 1;
}
