// Start, step and end of a run. Placeholders until the run methods land;
// mdlDerivatives stays empty for good (the block has no continuous states).
#include "block/block.h"

void mdlInitializeConditions(SimStruct*) {}
void mdlGetTimeOfNextVarHit(SimStruct*) {}
void mdlOutputs(SimStruct*, int) {}
void mdlUpdate(SimStruct*, int) {}
void mdlDerivatives(SimStruct*) {}
void mdlTerminate(SimStruct*) {}
void mdlZeroCrossings(SimStruct*) {}
