// The stand-in solver's reading of the block's calls: the whole call off the
// stream, its header checked against the catalogue, then its fields
// unpacked by its signature, as the solver does before it answers.
#include "fuzz_support.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"
#include "solver/session.h"

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
        // Unpacking a call gives its texts and arrays room of their own.
        ArgumentList args;
        if (!initArgumentList(&args, call->signature, 0)) abort();
        unpackFunctionCallFields(call, &args.fields);
        freeMessageBuffer(call);
    }
    return 0;
}
