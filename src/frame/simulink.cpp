// The MEX entry: the sizes call (from Simulink or from the MATLAB command
// line) and the dispatch of Simulink's callback flags to the block's methods.
#include "frame/simulink.h"

#include "block/block.h"
#include "frame/services.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char* const kSFunctionName = ZV_SFUNCTION_NAME;
const char* const kDisplayName = "MEX level2 S-function \"" ZV_SFUNCTION_NAME "\"";

const char* const kInvalidFlag = "Invalid flag encountered in simulink.c";

// Ends the MEX call with a message that names the S-function.
[[noreturn]] void sizesCallError(const char* fmt) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, kDisplayName);
    mexErrMsgTxt(text);
}

// A double that holds an int exactly (or -0.0) gives it; anything else,
// including values beyond int's range and NaN, does not.
bool exactInt(double v, int* out) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return false;
    const int i = static_cast<int>(v);
    if (static_cast<double>(i) != v) return false;
    *out = i;
    return true;
}

// Truncation toward zero, with values outside int's range (and NaN) refused.
bool truncatedInt(double v, int* out) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return false;
    *out = static_cast<int>(v);
    return true;
}

// Simulink passes [address; version stamp] in x. The address is kept at the
// full width of a pointer: a double holds every user-space address exactly.
SimStruct* simStructFromX(const mxArray* x) {
    if (!x || mxGetM(x) != 2 || mxGetN(x) < 1) return nullptr;
    const double* pr = mxGetPr(x);
    if (!pr || pr[1] != static_cast<double>(SIMSTRUCT_VERSION_LEVEL2)) return nullptr;
    const double address = pr[0];
    if (!(address >= 1.0 && address < 18446744073709551616.0) || std::floor(address) != address)
        return nullptr;
    return reinterpret_cast<SimStruct*>(
        static_cast<uintptr_t>(static_cast<std::uint64_t>(address)));
}

int_T standAloneSetNumInputPorts(void* context, int_T n) {
    SimStruct* S = static_cast<SimStruct*>(context);
    if (n < 0) return 0;
    S->sizes[SS_SIZES_NUM_INPUT_PORTS] = n;
    S->sizes[SS_SIZES_PORT_METHOD_FLAGS] |= SS_PORT_COUNTS_SET;
    if (n >= 1) S->inputPorts = static_cast<ssInputPort*>(mxCalloc(n, sizeof(ssInputPort)));
    return 1;
}

int_T standAloneSetNumOutputPorts(void* context, int_T n) {
    SimStruct* S = static_cast<SimStruct*>(context);
    if (n < 0) return 0;
    S->sizes[SS_SIZES_NUM_OUTPUT_PORTS] = n;
    S->sizes[SS_SIZES_PORT_METHOD_FLAGS] |= SS_PORT_COUNTS_SET;
    if (n >= 1) S->outputPorts = static_cast<ssOutputPort*>(mxCalloc(n, sizeof(ssOutputPort)));
    return 1;
}

// For a call from the MATLAB command line. Everything comes from mxCalloc
// and goes when the call returns.
SimStruct* createStandAloneSimStruct(int nrhs, const mxArray* prhs[]) {
    SimStruct* S = static_cast<SimStruct*>(mxCalloc(1, sizeof(SimStruct)));
    ssMdlInfo* info = static_cast<ssMdlInfo*>(mxCalloc(1, sizeof(ssMdlInfo)));
    if (!S || !info) mexErrMsgTxt("Out of memory");
    S->mdlInfo = info;
    S->root = S;
    info->mode = 1;
    const int count = nrhs >= 5 ? nrhs - 4 : 0;
    S->numDialogParams = count;
    if (count > 0) {
        S->dialogParams = static_cast<const mxArray**>(mxCalloc(count, sizeof(const mxArray*)));
        if (!S->dialogParams) mexErrMsgTxt("Out of memory");
        for (int i = 0; i < count; ++i)
            S->dialogParams[i] = prhs[4 + i];
    }
    S->modelName = kSFunctionName;
    S->path = kSFunctionName;
    S->setNumInputPortsFcn = standAloneSetNumInputPorts;
    S->setNumInputPortsContext = S;
    S->setNumOutputPortsFcn = standAloneSetNumOutputPorts;
    S->setNumOutputPortsContext = S;
    return S;
}

void registerMethods(SimStruct* S) {
    ssSFcnMethods& m = S->methods;
    m.mdlInitializeSizes = mdlInitializeSizes;
    m.mdlInitializeSampleTimes = mdlInitializeSampleTimes;
    m.mdlInitializeConditions = mdlInitializeConditions;
    m.mdlGetTimeOfNextVarHit = mdlGetTimeOfNextVarHit;
    m.mdlOutputs = mdlOutputs;
    m.mdlUpdate = mdlUpdate;
    m.mdlDerivatives = mdlDerivatives;
    m.mdlZeroCrossings = mdlZeroCrossings;
    m.mdlTerminate = mdlTerminate;
}

void dispatch(SimStruct* S, int flag);

bool ownName(SimStruct* S) {
    return std::strcmp(kSFunctionName, "simulink_only_sfcn") == 0 ||
           std::strcmp(S->modelName ? S->modelName : "", kSFunctionName) == 0;
}

// From the command line nobody reads the error status the sizing set, nor
// reports a parameter count that sizing would not look at: shown as a
// warning, once the vector is back.
void warnSizingOutcome(SimStruct* S) {
    if (const char* status = ssGetErrorStatus(S)) {
        mexWarnMsgTxt(status);
        return;
    }
    if (ssGetSFcnParamsCount(S) == ssGetNumSFcnParams(S)) return;
    char text[160];
    std::snprintf(text, sizeof text,
                  "%s takes %d dialog parameters after the flag (Model, Product, Simulation "
                  "Duration Source, Timestep, Inputs, Outputs), not %d",
                  kSFunctionName, ssGetNumSFcnParams(S), ssGetSFcnParamsCount(S));
    mexWarnMsgTxt(text);
}

void sizesCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 4 || !prhs) sizesCallError("%s must be called with at least 4 right hand arguments");
    if (nlhs > 1) sizesCallError("%s called with too many left hand arguments");
    const mxArray* flagArg = prhs[3];
    const char* badFlag = "The 4th right hand argument, FLAG, passed to %s must be an integer";
    if (!flagArg || mxGetM(flagArg) * mxGetN(flagArg) != 1 || mxIsComplex(flagArg) ||
        !mxIsNumeric(flagArg))
        sizesCallError(badFlag);
    // Whatever the numeric class, the value as a double.
    int flag = 0;
    if (!exactInt(mxGetScalar(flagArg), &flag)) sizesCallError(badFlag);

    SimStruct* S = simStructFromX(prhs[1]);
    if (flag != 0) {
        // A host that can call a MEX file only through its interpreter's
        // dispatch (Octave) never passes a negative nlhs: its callbacks come
        // with the SimStruct in x, as the sizes call brings it. The block's
        // unload handler is then registered on the block, not on that host.
        if (!S || !ownName(S)) sizesCallError("Invalid flag passed to %s");
        dispatch(S, flag);
        return;
    }
    const bool standAlone = S == nullptr;
    if (S) {
        const char* modelName = S->modelName ? S->modelName : "";
        if (!ownName(S)) {
            char text[512];
            std::snprintf(text, sizeof text,
                          "S-function name mismatch. Name in source is \"#define S_FUNCTION_NAME "
                          "%s\", whereas name of the S-function MEX file is \"%s\". The source "
                          "needs to be updated",
                          kSFunctionName, modelName);
            mexErrMsgTxt(text);
        }
        registerMethods(S);
    } else {
        S = createStandAloneSimStruct(nrhs, prhs);
    }
    S->sizes[SS_SIZES_VERSION] = SIMSTRUCT_VERSION_LEVEL2;

    mdlInitializeSizes(S);

    // With nlhs 0 MATLAB still provides room for ans.
    mxArray* sizes = mxCreateDoubleMatrix(SS_SIZES_COUNT, 1, mxREAL);
    double* out = sizes ? mxGetPr(sizes) : nullptr;
    if (out)
        for (int i = 0; i < SS_SIZES_COUNT; ++i)
            out[i] = static_cast<double>(S->sizes[i]);
    S->sizes[SS_SIZES_FLAGS] = static_cast<int32_T>(
        static_cast<uint32_T>(S->sizes[SS_SIZES_FLAGS]) | SS_SIZES_FLAG_SIZES_CALL);
    if (plhs) plhs[0] = sizes;
    if (out) {
        static const int unsignedWords[] = {SS_SIZES_CHECKSUM0, SS_SIZES_CHECKSUM1,
                                            SS_SIZES_CHECKSUM2, SS_SIZES_CHECKSUM3, SS_SIZES_FLAGS};
        for (int i : unsignedWords)
            out[i] = static_cast<double>(static_cast<uint32_T>(S->sizes[i]));
    }
    if (standAlone) warnSizingOutcome(S);
}

// Sets the text when the port-size slot holds a method of the wrong kind
// or none at all.
void callPortSize(SimStruct* S, const ssPortSizeMethod& slot, bool dims, int port,
                  const char* unexpected) {
    const bool takesDims = (S->sizes[SS_SIZES_PORT_METHOD_FLAGS] & SS_PORT_METHODS_TAKE_DIMS) != 0;
    ssMdlInfo* info = S->mdlInfo;
    if (takesDims != dims || !info) {
        ssSetErrorStatus(S, unexpected);
    } else if (dims) {
        if (slot.dims)
            slot.dims(S, port, info->portArgDims);
        else
            ssSetErrorStatus(S, unexpected);
    } else {
        if (slot.width)
            slot.width(S, port, info->portArgInt);
        else
            ssSetErrorStatus(S, unexpected);
    }
}

void throughSlot(SimStruct* S, mdlSimStructFcn fn, const char* unexpected) {
    if (fn)
        fn(S);
    else
        ssSetErrorStatus(S, unexpected);
}

void throughIntSlot(SimStruct* S, mdlSetPortIntFcn fn, int port, const char* unexpected) {
    if (fn && S->mdlInfo)
        fn(S, port, S->mdlInfo->portArgInt);
    else
        ssSetErrorStatus(S, unexpected);
}

void throughTimeSlot(SimStruct* S, mdlSetPortSampleTimeFcn fn, int port, const char* unexpected) {
    if (fn && S->mdlInfo)
        fn(S, port, S->mdlInfo->portArgSampleTime, S->mdlInfo->portArgOffsetTime);
    else
        ssSetErrorStatus(S, unexpected);
}

void dispatch(SimStruct* S, int flag) {
    const int port = S->sizes[SS_SIZES_CALL_ARG];
    ssSFcnMethods& m = S->methods;
    ssSFcnMethods2* m2 = S->methods2;
    switch (flag) {
    case 101:
        mdlInitializeSampleTimes(S);
        break;
    case 102:
        if (m.mdlInitializeConditions)
            mdlInitializeConditions(S);
        else
            ssSetErrorStatus(S, "Unexpected call to mdlInitializeConditions");
        break;
    case 103:
        mdlGetTimeOfNextVarHit(S);
        break;
    case 104:
        mdlOutputs(S, port == -2 ? -2 : 0);
        break;
    case 105:
        if (m.mdlUpdate)
            mdlUpdate(S, 0);
        else
            ssSetErrorStatus(S, "Unexpected call to mdlUpdate");
        break;
    case 106:
        if (m.mdlDerivatives)
            mdlDerivatives(S);
        else
            ssSetErrorStatus(S, "Unexpected call to mdlDerivatives");
        break;
    case 107:
        mdlTerminate(S);
        break;
    case 108:
        mdlZeroCrossings(S);
        break;
    case 111:
        throughSlot(S, m.mdlSetWorkWidths, "Unexpected call to mdlSetWorkWidths");
        break;
    case 112:
        throughSlot(S, m.mdlCheckParameters, "Unexpected call to mdlCheckParameters");
        break;
    case 113:
        throughIntSlot(S, m.mdlSetInputPortDataType, port,
                       "Unexpected call to mdlSetInputPortDataType");
        break;
    case 114:
        throughIntSlot(S, m.mdlSetOutputPortDataType, port,
                       "Unexpected call to mdlSetOutputPortDataType");
        break;
    case 115:
        callPortSize(S, m.mdlSetInputPortSize, false, port,
                     "Unexpected call to mdlSetInputPortWidth");
        break;
    case 116:
        callPortSize(S, m.mdlSetOutputPortSize, false, port,
                     "Unexpected call to mdlSetOutputPortWidth");
        break;
    case 120:
        throughIntSlot(S, m.mdlSetInputPortComplexSignal, port,
                       "Unexpected call to mdlSetInputPortComplexSignal");
        break;
    case 121:
        throughIntSlot(S, m.mdlSetOutputPortComplexSignal, port,
                       "Unexpected call to mdlSetOutputPortComplexSignal");
        break;
    case 122:
        throughTimeSlot(S, m.mdlSetInputPortSampleTime, port,
                        "Unexpected call to mdlSetInputPortSampleTime");
        break;
    case 123:
        throughTimeSlot(S, m.mdlSetOutputPortSampleTime, port,
                        "Unexpected call to mdlSetOutputPortSampleTime");
        break;
    case 126:
        callPortSize(S, m.mdlSetInputPortSize, true, port,
                     "Unexpected call to mdlSetInputPortDimensionInfo");
        break;
    case 127:
        callPortSize(S, m.mdlSetOutputPortSize, true, port,
                     "Unexpected call to mdlSetOutputPortDimensionInfo");
        break;
    case 128:
        throughIntSlot(S, m2 ? m2->mdlSetInputPortFrameData : nullptr, port,
                       "Unexpected call to mdlSetInputPortFrameData");
        break;
    case 131:
        throughSlot(S, m2 ? m2->mdlSetDefaultPortDimensionInfo : nullptr,
                    "Unexpected call to mdlSetDefaultPortDimensionInfo");
        break;
    case 132:
        throughSlot(S, m2 ? m2->mdlSetDefaultPortDataTypes : nullptr,
                    "Unexpected call to mdlSetDefaultPortDataTypes");
        break;
    case 133:
        throughSlot(S, m2 ? m2->mdlSetDefaultPortComplexSignals : nullptr,
                    "Unexpected call to mdlSetDefaultPortComplexSignals");
        break;
    default:
        ssSetErrorStatus(S, kInvalidFlag);
        break;
    }
}

void callbackCall(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (!plhs || !plhs[1]) return;
    SimStruct* S = reinterpret_cast<SimStruct*>(plhs[1]);
    const double* flagData = (nrhs >= 4 && prhs && prhs[3] && mxGetNumberOfElements(prhs[3]) >= 1)
                                 ? mxGetPr(prhs[3])
                                 : nullptr;
    int flag = 0;
    if (!flagData || !truncatedInt(flagData[0], &flag)) {
        ssSetErrorStatus(S, kInvalidFlag);
        return;
    }
    dispatch(S, flag);
}

} // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nlhs < 0)
        callbackCall(plhs, nrhs, prhs);
    else
        sizesCall(nlhs, plhs, nrhs, prhs);
}
