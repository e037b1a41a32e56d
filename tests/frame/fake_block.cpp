// A stand-in for the block's methods that records which ran.
#include "frame_support.h"

#include "block/block.h"

namespace fakeblock {

std::vector<Call>& calls() {
    static std::vector<Call> recorded;
    return recorded;
}
std::function<void(SimStruct*)>& onSizes() {
    static std::function<void(SimStruct*)> hook;
    return hook;
}
void reset() {
    calls().clear();
    onSizes() = nullptr;
}

} // namespace fakeblock

#define FAKE(name)                                                                                 \
    void name(SimStruct* S) {                                                                      \
        fakeblock::calls().push_back({#name, S, 0});                                               \
    }
#define FAKE_TID(name)                                                                             \
    void name(SimStruct* S, int tid) {                                                             \
        fakeblock::calls().push_back({#name, S, tid});                                             \
    }

void mdlInitializeSizes(SimStruct* S) {
    fakeblock::calls().push_back({"mdlInitializeSizes", S, 0});
    if (fakeblock::onSizes()) fakeblock::onSizes()(S);
}
FAKE(mdlInitializeSampleTimes)
FAKE(mdlInitializeConditions)
FAKE(mdlGetTimeOfNextVarHit)
FAKE_TID(mdlOutputs)
FAKE_TID(mdlUpdate)
FAKE(mdlDerivatives)
FAKE(mdlTerminate)
FAKE(mdlZeroCrossings)
