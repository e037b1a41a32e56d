// Two calls in one write: the second one's return is left on its way.
#include <cstring>

#include "link/link.h"
#include "link/link_state.h"
#include "log/zvlog.h"
#include "protocol/protocol.h"
#include "protocol/stage.h"

int linkPipelined(void) {
    return linkState.settings.pipeline;
}

uint16_t callAheadOutstanding(void) {
    return linkState.aheadId;
}

int vcallRemoteAhead(XSocket* link, LinkMessageHandler handler, uint16_t id, va_list args,
                     uint16_t aheadId, const unsigned char* aheadFrame, int32_t aheadLength) {
    // One return on its way at a time, and a whole frame to send.
    if (!link || linkState.aheadId || aheadLength < 8) return 0;
    startCallClock(link, id);
    logMessage(LOG_DEBUG, "sending function call: %d", static_cast<int>(id));
    logMessage(LOG_DEBUG, "sending function call ahead: %d", static_cast<int>(aheadId));
    unsigned char frames[MESSAGE_STAGE_BYTES];
    int32_t length = 0;
    FieldPointers fields = {};
    va_copy(fields.list, args);
    int ok =
        packFunctionMessage(id, &fields, 1, frames, MESSAGE_STAGE_BYTES - aheadLength, &length);
    if (ok) {
        memcpy(frames + length, aheadFrame, static_cast<size_t>(aheadLength));
        // One segment: the solver answers both with a single wake-up.
        ok = writeMessageFrame(link, frames, length + aheadLength);
        if (!ok) {
            logXSocketError(link);
            callSendFailed(link, id);
        }
    } else {
        // Too long for one write: the two frames go out one after the other.
        ok = sendFunctionMessage(link, id, &fields, 1);
        if (ok && !writeMessageFrame(link, aheadFrame, aheadLength)) {
            logXSocketError(link);
            ok = 0;
        }
        if (!ok) callSendFailed(link, id);
    }
    if (ok) {
        linkState.aheadId = aheadId;
        ok = awaitCallReturn(link, handler, id, &fields);
    }
    va_end(fields.list);
    return ok;
}
