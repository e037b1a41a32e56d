// The handshake reply, and whatever the solver sends instead of it.
#include "fuzz_support.h"
#include "link/link.h"
#include "link/link_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zvfuzz::quietLog();
    zvfuzz::Feed feed(data, size);
    linkState.socket = retainXSocket(feed.local);
    setErrorCallback(nullptr);
    sendHandshake();
    closeLink();
    return 0;
}
