// The incoming-message loop: a call of the block waits for its return and
// hands every other frame the solver sends to the message handler.
#include "fuzz_support.h"
#include "link/link.h"
#include "link/link_state.h"
#include "protocol/catalogue.h"
#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zvfuzz::quietLog();
    if (size < 1) return 0;
    // The calls the block makes: the start's, the step's and the end's.
    static const uint16_t calls[] = {FID_DATEXIST, FID_SLOPEN,  FID_SLZVIMAN,  FID_ZVUPDATE,
                                     FID_SLCZVPWR, FID_SLCLOSE, FID_CHECKBACK, FID_ZVNUMSPEC};
    const uint16_t id = calls[data[0] % (sizeof calls / sizeof calls[0])];
    zvfuzz::Feed feed(data + 1, size - 1);
    // The link holds its own reference: the solver may close it.
    linkState.socket = retainXSocket(feed.local);
    setErrorCallback(nullptr);
    // A refused return keeps the link; the stream's end closes it.
    for (int call = 0; call < 4 && currentLink(); ++call) {
        ArgumentList args;
        if (!initArgumentList(&args, functionSignature(id), zvfuzz::ARGUMENT_ROOM)) abort();
        callRemoteFields(currentLink(), processMessage, id, &args.fields);
        freeArgumentList(&args);
    }
    closeLink();
    return 0;
}
