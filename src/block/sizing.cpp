// Port sizing: the block's ports take their widths from the wiring harness of
// the solver's model data file, or from the widths the user asked for.
#include "block/block.h"
#include "block/datafile.h"
#include "block/datafile_text.h"
#include "block/runstate.h"
#include "frame/services.h"

#include <cstdio>

int harnessInputCount = 0;
int harnessOutputCount = 0;

namespace {

const char MISSING_DATA_FILE[] =
    "No ZV data file specified or specified ZV data file does not exist in the working folder\n.";
const char NO_HARNESS[] = "F*** Wiring Harness was not found in Zelvane model";
const char NO_HARNESS_IN_SUBASSEMBLIES[] = "F*** Wiring Harness was not found in Zelvane models";

// Dialog numbers were checked to be finite and to fit an int once truncated.
int paramInt(SimStruct* S, int index) {
    return static_cast<int>(mxGetPr(ssGetSFcnParam(S, index))[0]);
}

// Without a harness the user's widths stand as they are (-1: inherited).
int setPortsFromParameters(SimStruct* S, int inputs, int outputs) {
    if (!ssSetNumInputPorts(S, 1)) return 0;
    ssSetInputPortWidth(S, 0, inputs);
    if (!ssSetNumOutputPorts(S, 1)) return 0;
    ssSetOutputPortWidth(S, 0, outputs);
    return 1;
}

// The requested width wins unless it is -1; the harness count fills in for
// -1 and tells the user when the two differ.
int chooseWidth(int requested, int count, const char* which) {
    if (requested == -1 || requested == count) return count;
    if (requested > count) {
        mexPrintf("I*** The specified number of %s in the S-function block is larger than the "
                  "number of Wiring Harness outputs in the Zelvane model.\n",
                  which);
        mexPrintf("\t\tThe extra signals will not be used.\n");
    } else {
        mexPrintf("I*** The specified number of %s in the S-function block is smaller than the "
                  "number of Wiring Harness outputs in the Zelvane model\n.",
                  which);
        mexPrintf("\t\tThe rest of the signals will be assigned a value of 0.0\n");
    }
    return requested;
}

int setPortsFromHarness(SimStruct* S, int inputs, int outputs) {
    if (!ssSetNumInputPorts(S, 1)) return 0;
    ssSetInputPortWidth(S, 0, chooseWidth(inputs, harnessInputCount, "inputs"));
    if (!ssSetNumOutputPorts(S, 1)) return 0;
    ssSetOutputPortWidth(S, 0, chooseWidth(outputs, harnessOutputCount, "outputs"));
    return 1;
}

// The Model text, from memory that the host releases at the end of the call
// (so nothing leaks should the call be cut short). Empty when there is none.
const char* modelName(SimStruct* S) {
    const mxArray* model = ssGetSFcnParam(S, ZV_PARAM_MODEL);
    size_t len = mxGetNumberOfElements(model);
    char* name = static_cast<char*>(mxCalloc(len + 1 + 4, 1));
    if (!name) return "";
    mxGetString(model, name, static_cast<mwSize>(len + 1));
    return name;
}

} // namespace

void mdlInitializeSizes(SimStruct* S) {
    ssSetNumSFcnParams(S, ZV_PARAM_COUNT);
    if (ssGetSFcnParamsCount(S) != ZV_PARAM_COUNT) return;
    // No counts of an earlier sizing survive a refused one.
    harnessInputCount = 0;
    harnessOutputCount = 0;
    if (!zvCheckDialogParams(S)) return;

    ssSetNumContStates(S, 0);
    ssSetNumDiscStates(S, 0);

    int inputs = paramInt(S, ZV_PARAM_INPUTS);
    int outputs = paramInt(S, ZV_PARAM_OUTPUTS);

    const char* model = modelName(S);
    DataFileScan scan;
    scanModelDataFile(model, &scan);
    char mainFile[DATAFILE_NAME_SIZE];
    snprintf(mainFile, sizeof mainFile, "%s.dat", model);
    int ok;
    switch (scan.status) {
    case DATAFILE_HARNESS_FOUND:
        harnessInputCount = scan.inputCount;
        harnessOutputCount = scan.outputCount;
        ok = setPortsFromHarness(S, inputs, outputs);
        break;
    case DATAFILE_MISSING:
        ssWarning(S, dataFileMessage(MISSING_DATA_FILE, scan.fileName, 0));
        ok = setPortsFromParameters(S, inputs, outputs);
        break;
    case DATAFILE_NO_HARNESS:
        ssSetErrorStatus(S, dataFileMessage(NO_HARNESS, mainFile, 0));
        ok = setPortsFromParameters(S, inputs, outputs);
        break;
    default:
        ssSetErrorStatus(S, dataFileMessage(NO_HARNESS_IN_SUBASSEMBLIES, mainFile, 0));
        ok = setPortsFromParameters(S, inputs, outputs);
        break;
    }
    if (!ok) return;

    ssSetNumSampleTimes(S, 1);
    ssSetNumRWork(S, 0);
    ssSetNumIWork(S, 1); // adv, carried from step to step
    ssSetNumPWork(S, 0);
    ssSetNumModes(S, 0);
    ssSetNumNonsampledZCs(S, 0);
    ssSetOptions(S, 0);
}

void mdlInitializeSampleTimes(SimStruct* S) {
    // Sizing has reported a bad Timestep already; here it is only not read.
    if (ssGetSFcnParamsCount(S) != ZV_PARAM_COUNT || !zvCheckDialogParams(S)) return;
    ssSetSampleTime(S, 0, mxGetPr(ssGetSFcnParam(S, ZV_PARAM_TIMESTEP))[0]);
    ssSetOffsetTime(S, 0, 0.0);
}
