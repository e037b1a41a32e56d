// Start, steps and end of a run: the block's side of the co-simulation.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "block/block.h"
#include "block/datafile_text.h"
#include "block/runstate.h"
#include "frame/services.h"
#include "link/link.h"
#include "remote/stubs.h"

int runStatus = RUN_NORMAL;
int durationMode = 0;
double lastSimTime = 0.0;

namespace {

// The block whose method is running: the link's error callback has no
// SimStruct of its own to report on.
SimStruct* blockInCall = nullptr;

const char ERRSTOP_HINT[] =
    "Enter 'errstop61('name_of_mdl_file')' in the MATLAB Command Window to clear the "
    "simulation.\n";

// A dialog text parameter, in memory the host releases when the call ends, so
// that nothing leaks when a failing remote call cuts the call short.
const char* textParam(SimStruct* S, int index) {
    const mxArray* p = ssGetSFcnParam(S, index);
    if (!p) return "";
    size_t len = mxGetNumberOfElements(p);
    char* text = static_cast<char*>(mxCalloc(len + 1, 1));
    if (!text) return "";
    if (mxIsChar(p)) mxGetString(p, text, static_cast<mwSize>(len + 1));
    return text;
}

double timestep(SimStruct* S) {
    const mxArray* p = ssGetSFcnParam(S, ZV_PARAM_TIMESTEP);
    const double* v = p ? mxGetPr(p) : nullptr;
    return (v && mxGetNumberOfElements(p) > 0) ? v[0] : 0.0;
}

int* advSlot(SimStruct* S) {
    static int spare = 0; // a host that gave no work vector still gets a place to write
    int* w = ssGetIWork(S);
    return w ? w : &spare;
}

// The widths the start method accepted; the port records are Simulink's.
int clampWidth(int width) {
    if (width < 0) return 0;
    return width > ZV_MAX_SIGNALS ? ZV_MAX_SIGNALS : width;
}

void refuse(SimStruct* S, const char* text, int status) {
    ssSetErrorStatus(S, text);
    runStatus = status;
}

void reportDuration(SimStruct* S, double duration, double stopTime) {
    if (std::isnan(duration) || duration < 0.0) {
        mexPrintf("\nI*** The Simulation Duration of the ZV model is unknown and cannot be "
                  "compared to the Simulink Stop Time.\n\n");
    } else if (duration > stopTime && durationMode == DURATION_SIMULINK) {
        mexPrintf("\nI*** The Simulation Duration of the ZV model is greater than the Simulink "
                  "Stop Time.\nAfter reaching the Simulink Stop Time, the inputs to the ZV model "
                  "will be frozen and the simulation will continue.\n\n");
    } else if (duration < stopTime && durationMode == DURATION_SIMULINK) {
        mexPrintf("\nI*** The Simulation Duration of the ZV model is less than the Simulink Stop "
                  "Time.\nZV model output will be produced when the model reaches the Simulation "
                  "Duration.\nThe .OUT and .RLT files may be very large.\n\n");
    } else if (duration >= stopTime && durationMode == DURATION_SOLVER) {
        refuse(S,
               "F*** When Simulation Duration is chosen from ZELVANE, it must be less than the "
               "Simulink Stop Time.\n\n",
               RUN_REFUSED);
    } else if (duration < stopTime && durationMode == DURATION_SOLVER) {
        mexPrintf("\nI*** The Simulation Duration of the ZV model is less than the Simulink Stop "
                  "Time.\nSimulink will be stopped when the ZV simulation completes.\n\n");
    }
}

// The solver's answer to the file check: 1 when the run was refused. The
// lines after the fatal text name the file and where it was looked for.
int refuseDataFile(SimStruct* S, int check, const char* model) {
    const char* text;
    switch (check) {
    case 0:
        text = "F*** Specified ZV data file does not exist in the working folder.";
        break;
    case -1:
        text = "F*** Specified product code does not match with the one that was used to create "
               "the specified ZV data file.";
        break;
    case -2:
        text = "F*** Specified ZV data file has not been created by a Zelvane v6.1 product. This "
               "S-function supports only v6.1 ZV data files.";
        break;
    default:
        return 0;
    }
    char file[1024];
    std::snprintf(file, sizeof file, "%s.dat", model);
    // Only a missing file depends on where the solver looks.
    refuse(S, dataFileMessage(text, file, check == 0 && linkConnectMode()), RUN_REFUSED);
    return 1;
}

// A link whose socket never connected (a launch whose solver never called
// back) carries nothing; one that the solver closed is already gone.
int linkIsConnected() {
    XSocket* link = currentLink();
    return link && link->handle != XSOCKET_INVALID_HANDLE;
}

// MATLAB unloads the MEX file (clear mex, exit) with the link of a run that
// was cut short still up: the solver is told the link has ended, and the
// socket is released. No block is in a call to report to any more.
void endLinkAtUnload(void) {
    setErrorCallback(nullptr);
    abandonLink();
}

} // namespace

void fatalErrorStop(int /*code*/) {
    mexPrintf("\n\nAn error has occurred in the ZELVANE application.\n");
    mexPrintf("Examine the screen.zv and the output (*.out) file for error messages.\n");
    runStatus = RUN_LINK_FAILED;
    if (std::isnan(lastSimTime) || lastSimTime <= 0.0) {
        // A host whose mexErrMsgTxt returns gets the run stopped as below.
        mexErrMsgTxt(ERRSTOP_HINT);
    }
    mexEvalString(ZV_STOP_COMMAND);
    // The stop alone would end the run as if nothing had gone wrong.
    if (blockInCall) ssSetErrorStatus(blockInCall, ZV_LINK_FAILED_STATUS);
}

void mdlInitializeConditions(SimStruct* S) {
    blockInCall = S;
    runStatus = RUN_NORMAL;
    lastSimTime = 0.0;
    double stopTime = ssGetTFinal(S);

    const char* model = textParam(S, ZV_PARAM_MODEL);
    const char* product = textParam(S, ZV_PARAM_PRODUCT);
    const char* source = textParam(S, ZV_PARAM_DURATION_SOURCE);
    int nIn = ssGetInputPortWidth(S, 0);
    int nOut = ssGetOutputPortWidth(S, 0);

    mexPrintf("Model:                       %s\n", model);
    mexPrintf("Product:                     %s\n", product);
    mexPrintf("Simulation Duration Source:  %s\n", source);
    mexPrintf("Timestep:                    %f\n", timestep(S));
    mexPrintf("Inputs:                      %d\n", nIn);
    mexPrintf("Outputs:                     %d\n", nOut);

    if (nIn > ZV_MAX_SIGNALS) {
        refuse(S, "F*** S-function ZELVANESL61 may have a maximum of 128 inputs.", RUN_REFUSED);
        return;
    }
    if (nOut > ZV_MAX_SIGNALS) {
        refuse(S, "F*** S-function ZELVANESL61 may have a maximum of 128 outputs.", RUN_REFUSED);
        return;
    }

    setErrorCallback(fatalErrorStop);
    mexAtExit(endLinkAtUnload);
    if (!startLink()) {
        // The fatal text says only that the link failed; the link may know why.
        if (*linkStartFailure()) mexPrintf("%s\n", linkStartFailure());
        refuse(S, "F*** Error initializing socket.", RUN_LINK_FAILED);
        return;
    }

    int check = zvFileCheck(model, product, ZV_DATA_FILE_VERSION);
    // A failed call has already stopped the run through the error callback.
    if (runStatus != RUN_NORMAL) return;
    if (refuseDataFile(S, check, model)) return;

    *advSlot(S) = 0;
    durationMode = std::strcmp(source, ZV_PRODUCT_NAME) == 0 ? DURATION_SOLVER : DURATION_SIMULINK;
    lastSimTime = ssGetT(S);

    slOpen();
    if (runStatus != RUN_NORMAL) return;
    double duration = zvStartup(model, product);
    if (runStatus != RUN_NORMAL) return;
    reportDuration(S, duration, stopTime);
}

// mdlOutputs reads up to a clamped port width (ZV_MAX_SIGNALS) out of the
// buffer the return is unpacked into.
static_assert(ZVUPDATE_CAPACITY >= ZV_MAX_SIGNALS, "zvUpdate's buffer holds a whole port");

void mdlOutputs(SimStruct* S, int /*tid*/) {
    blockInCall = S;
    // Cleared, so outputs the solver does not provide read 0.0.
    double values[ZVUPDATE_CAPACITY] = {0.0};
    int w = clampWidth(ssGetOutputPortWidth(S, 0));
    real_T* y = ssGetOutputPortRealSignal(S, 0);

    zvUpdate(values, w);
    if (!y) return;
    for (int i = 0; i < w; ++i)
        y[i] = values[i];
}

void mdlUpdate(SimStruct* S, int /*tid*/) {
    blockInCall = S;
    double inputs[ZV_MAX_SIGNALS];
    double deltaSim = timestep(S);
    int nIn = clampWidth(ssGetInputPortWidth(S, 0));
    InputRealPtrsType u = ssGetInputPortRealSignalPtrs(S, 0);
    if (!u && nIn > 0) return; // the frame has shown the fault; there is nothing to send

    lastSimTime = ssGetT(S);
    int32_t doneSim = durationMode == DURATION_SOLVER ? -1 : 0;
    int* advp = advSlot(S);
    int32_t adv = *advp;
    for (int i = 0; i < nIn; ++i)
        inputs[i] = *u[i];

    // The next step's output request travels with this advance only when a
    // next sample hit is sure to come: at the last hit, or in a run already
    // failing, it would ask the solver for outputs after the run is over.
    if (runStatus == RUN_NORMAL && ssGetT(S) + 1.5 * deltaSim <= ssGetTFinal(S))
        zvAdvanceThenUpdate(deltaSim, inputs, nIn, &doneSim, &adv);
    else
        zvAdvance(deltaSim, inputs, nIn, &doneSim, &adv);
    *advp = adv;
    if (doneSim == -2) {
        runStatus = RUN_SOLVER_COMPLETED;
        mexEvalString(ZV_STOP_COMMAND);
    }
}

void mdlDerivatives(SimStruct*) {}

void mdlTerminate(SimStruct* S) {
    blockInCall = S;
    double deltaSim = timestep(S);
    switch (runStatus) {
    case RUN_NORMAL: {
        mexPrintf("\n\nThe Simulink simulation has completed.\n");
        mexPrintf("\n\nThe ZV simulation may continue...\n");
        double zeros[ZV_MAX_SIGNALS] = {0.0};
        int nIn = clampWidth(ssGetInputPortWidth(S, 0));
        int32_t adv = *advSlot(S);
        int32_t doneSim = ssGetT(S) == ssGetTFinal(S) ? 1 : 2;
        if (linkIsConnected()) zvAdvance(deltaSim, zeros, nIn, &doneSim, &adv);
        mexPrintf("The ZV simulation has completed.\n");
        break;
    }
    case RUN_REFUSED:
        mexPrintf("The ZV simulation has been interrupted due to a Simulink error. \n");
        mexPrintf("Please review the Simulink error message window for more details.\n");
        break;
    case RUN_LINK_FAILED:
        mexPrintf("The Simulink simulation has been interrupted.\n");
        break;
    case RUN_SOLVER_COMPLETED:
        mexPrintf("The ZV and Simulink simulation have completed simultaneously.\n");
        break;
    default:
        break;
    }

    // Only a link that is up is closed with the solver. Reaching for a new
    // one here would start a fresh solver just to close it, and that solver
    // would overwrite the screen.zv and .out files the user is told to read.
    if (linkIsConnected()) {
        slClose(0);
        if (linkIsConnected()) zvCheckBack();
    }
    endLink();
    blockInCall = nullptr;
}

void mdlGetTimeOfNextVarHit(SimStruct* S) {
    ssSetErrorStatus(S, "To have a variable sample time, you must define "
                        "MDL_GET_TIME_OF_NEXT_VAR_HIT and add a mdlGetTimeOfNextVarHit routine");
}

void mdlZeroCrossings(SimStruct* S) {
    ssSetErrorStatus(S, "To have nonsampled zero crossings, you must define MDL_ZERO_CROSSINGS "
                        "and have a mdlZeroCrossings routine");
}
