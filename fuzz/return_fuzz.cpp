// The return unpacker, for every catalogue id: whatever arrives, nothing is
// written beyond the room the caller gave, and after a refused return the
// next frame is read from its start.
#include "fuzz_support.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zvfuzz::quietLog();
    if (size < 1) return 0;
    const uint16_t id = uint16_t(data[0] % (FID_INVALID + 1));
    zvfuzz::Feed feed(data + 1, size - 1);
    for (;;) {
        uint32_t flag = 0;
        int32_t length = 0;
        if (!readMessageHeader(feed.local, &flag, &length) || flag == FLAG_LOST) break;
        if (flag != FLAG_RETURN) {
            if (length < 0 || !skipMessageData(feed.local, length)) break;
            continue;
        }
        ArgumentList args;
        if (!initArgumentList(&args, functionSignature(id), zvfuzz::ARGUMENT_ROOM)) abort();
        const int got = takeFunctionReturn(id, feed.local, length, &args.fields);
        freeArgumentList(&args);
        if (got == RETURN_STREAM_LOST) break;
    }
    return 0;
}
