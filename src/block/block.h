// The block's methods, called by the frame's dispatch. Simulink owns the
// SimStruct; the block keeps only its integer work element there.
#pragma once

typedef struct SimStruct_tag SimStruct;

void mdlInitializeSizes(SimStruct* S);
void mdlInitializeSampleTimes(SimStruct* S);
void mdlInitializeConditions(SimStruct* S);
void mdlGetTimeOfNextVarHit(SimStruct* S);
void mdlOutputs(SimStruct* S, int tid);
void mdlUpdate(SimStruct* S, int tid);
void mdlDerivatives(SimStruct* S);
void mdlTerminate(SimStruct* S);
void mdlZeroCrossings(SimStruct* S);
