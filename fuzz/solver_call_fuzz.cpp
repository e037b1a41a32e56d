// The stand-in solver's reading of the block's calls: the whole call off the
// stream, its header checked against the catalogue, then its fields
// unpacked by its signature, as the solver does before it answers.
#include "fuzz_support.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"
#include "solver/session.h"

namespace {

int unpack(MessageBuffer* call, ...) {
    va_list args;
    va_start(args, call);
    const int ok = vunpackFunctionCall(call, args);
    va_end(args);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zvfuzz::quietLog();
    zvfuzz::Feed feed(data, size);
    for (;;) {
        uint32_t flag = 0;
        int32_t length = 0;
        if (!readMessageHeader(feed.local, &flag, &length) || flag == FLAG_LOST) break;
        // The solver's own limit on what it takes from the block.
        if (length < 0 || length > SOLVER_MAX_MESSAGE) break;
        if (flag != FLAG_CALL) {
            if (!skipMessageData(feed.local, length)) break;
            continue;
        }
        MessageBuffer* call = receiveFunctionMessage(feed.local, length);
        if (!call) continue; // the body is off the stream whatever it held
        zvfuzz::Args args(call->signature);
        // Unpacking a call gives its texts and arrays room of their own.
        for (void*& d : args.data)
            d = nullptr;
        unpack(call, ZVFUZZ_ARGS(args));
        freeMessageBuffer(call);
    }
    return 0;
}
