// The pipelined step: an advance that sends the next ZVUPDATE ahead, then
// either the ZVUPDATE that takes that return or another call that must
// drain it first, with whatever the solver slips in between. The first two
// bytes pick the block's calls (three bits each), the rest is the solver.
#include <cstdlib>

#include "fuzz_support.h"
#include "link/link.h"
#include "link/link_state.h"
#include "remote/stubs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zvfuzz::quietLog();
    if (size < 2) return 0;
    unsigned program = unsigned(data[0]) << 8 | data[1];
    zvfuzz::Feed feed(data + 2, size - 2);
    linkState.socket = retainXSocket(feed.local);
    linkState.settings.pipeline = 1;
    setErrorCallback(nullptr);
    // Exactly the room the stubs promise to stay within.
    double* values = static_cast<double*>(malloc(ZVUPDATE_CAPACITY * sizeof(double)));
    double inputs[2] = {1.0, 2.0};
    for (int call = 0; call < 5 && currentLink(); ++call, program >>= 3) {
        int32_t doneSim = 0, adv = call;
        switch (program & 7) {
        case 0:
        case 5:
            zvAdvanceThenUpdate(0.1, inputs, 2, &doneSim, &adv);
            break;
        case 1:
        case 6:
            zvUpdate(values, 2);
            break;
        case 2:
            slClose(1);
            break;
        case 3:
            zvCheckBack();
            break;
        default:
            zvAdvance(0.1, inputs, 2, &doneSim, &adv);
            break;
        }
        // A link that is gone owes nothing: the next link starts in step.
        if (!currentLink() && callAheadOutstanding()) abort();
    }
    free(values);
    closeLink();
    linkState.settings.pipeline = 0;
    return 0;
}
