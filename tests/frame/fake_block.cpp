#include "fake_block.h"

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

using fakeblock::calls;

void mdlInitializeSizes(SimStruct* S) {
    calls().push_back({"mdlInitializeSizes", S, 0});
    if (fakeblock::onSizes()) fakeblock::onSizes()(S);
}
void mdlInitializeSampleTimes(SimStruct* S) {
    calls().push_back({"mdlInitializeSampleTimes", S, 0});
}
void mdlInitializeConditions(SimStruct* S) {
    calls().push_back({"mdlInitializeConditions", S, 0});
}
void mdlGetTimeOfNextVarHit(SimStruct* S) {
    calls().push_back({"mdlGetTimeOfNextVarHit", S, 0});
}
void mdlOutputs(SimStruct* S, int tid) {
    calls().push_back({"mdlOutputs", S, tid});
}
void mdlUpdate(SimStruct* S, int tid) {
    calls().push_back({"mdlUpdate", S, tid});
}
void mdlDerivatives(SimStruct* S) {
    calls().push_back({"mdlDerivatives", S, 0});
}
void mdlTerminate(SimStruct* S) {
    calls().push_back({"mdlTerminate", S, 0});
}
void mdlZeroCrossings(SimStruct* S) {
    calls().push_back({"mdlZeroCrossings", S, 0});
}
