// Checked SimStruct services, the block warning and the error dialog.
#include "frame/services.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

// Formats into memory from mxCalloc; NULL when the text cannot be made.
// The caller releases it with mxFree (or leaves it to the end of the call).
char* formatText(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    if (length < 0) return nullptr;
    char* text = static_cast<char*>(mxCalloc(static_cast<size_t>(length) + 1, 1));
    if (!text) return nullptr;
    va_start(args, fmt);
    std::vsnprintf(text, static_cast<size_t>(length) + 1, fmt, args);
    va_end(args);
    return text;
}

const char* orEmpty(const char* text) {
    return text ? text : "";
}

// Shows a port-misuse report the way every checked service does: fault flag,
// dialog, release. Without memory for the text nothing is reported.
void reportPortMisuse(SimStruct* S, char* text) {
    if (!text) return;
    if (S->mdlInfo) S->mdlInfo->faultFlag = 1;
    ssErrorDialogFcn(S, text);
    mxFree(text);
}

const void* const* checkedSignalPtrs(SimStruct* S, int_T port) {
    const int_T n = ssGetNumInputPorts(S);
    const char* name = orEmpty(ssGetModelName(S));
    const char* path = orEmpty(ssGetPath(S));
    if (port < 0 || port >= n || !S->inputPorts) {
        reportPortMisuse(
            S, formatText("S-function '%s' in block '%s' is attempting to access the signal from "
                          "input port '%d' in one its methods. However, the S-function's "
                          "mdlInitializeSizes routine has configured the block to have only %d "
                          "input port(s). The incorrect access will cause a segmentation "
                          "violation. Please verify that all calls to "
                          "ssGetInputPort[Real]Signal[Ptrs]() are using port indices in the "
                          "range [0..%d].\n",
                          name, path, port + 1, n, n - 1));
        return nullptr;
    }
    const void* const* ptrs = S->inputPorts[port].signalPtrs;
    if (!ptrs) {
        reportPortMisuse(
            S, formatText("S-function '%s' in block '%s' is attempting to access the signal from "
                          "input port '%d' in one its methods. However, the S-function's "
                          "mdlInitializeSizes routine did not register the "
                          "ssSetInputPortDirectFeedThrough macro or the direct feedthrough flag "
                          "has been set to zero. This will cause a segmentation violation. Please "
                          "verify that the ssSetInputPortDirectFeedThrough is declared in "
                          "mdlInitializeSizes and the direct feedthrough flag is set to one when "
                          "accessing the input port signals in the mdlOutputs and/or "
                          "mdlGetTimeOfNextVarHit method(s).",
                          name, path, port + 1));
        return nullptr;
    }
    return ptrs;
}

bool setDims(SimStruct* S, bool input, int_T port, const DimsInfo_T& dims) {
    ssMdlInfo* info = S->mdlInfo;
    ssSetPortDimsFcn fn = nullptr;
    if (info) fn = input ? info->setInputPortDimensionInfo : info->setOutputPortDimensionInfo;
    if (!fn) return true;
    return fn(S, port, &dims) != 0;
}

bool setMatrixDims(SimStruct* S, bool input, int_T port, int_T rows, int_T cols) {
    int_T dimensions[2] = {rows, cols};
    DimsInfo_T dims = {DYNAMICALLY_SIZED, DYNAMICALLY_SIZED, nullptr, 0};
    dims.numDims = 2;
    dims.dims = dimensions;
    // Multiplied in 64 bits: a product beyond int is no valid width either.
    const long long width = static_cast<long long>(rows) * cols;
    dims.width = (rows == DYNAMICALLY_SIZED || cols == DYNAMICALLY_SIZED || width > INT32_MAX ||
                  width < INT32_MIN)
                     ? DYNAMICALLY_SIZED
                     : static_cast<int_T>(width);
    return setDims(S, input, port, dims);
}

bool setVectorDims(SimStruct* S, bool input, int_T port, int_T width) {
    int_T dimension = width;
    DimsInfo_T dims = {DYNAMICALLY_SIZED, DYNAMICALLY_SIZED, nullptr, 0};
    dims.width = width;
    dims.numDims = 1;
    dims.dims = &dimension;
    return setDims(S, input, port, dims);
}

bool isText(const mxArray* a) {
    return a && mxIsChar(a) && mxGetM(a) <= 1;
}

bool isRealScalar(const mxArray* a) {
    return a && mxIsDouble(a) && !mxIsComplex(a) && mxGetNumberOfElements(a) == 1 && mxGetPr(a);
}

bool isWidthNumber(const mxArray* a) {
    if (!isRealScalar(a)) return false;
    const double v = mxGetPr(a)[0];
    // Truncation toward zero must land in int's range.
    return std::isfinite(v) && v > -2147483649.0 && v < 2147483648.0;
}

} // namespace

extern "C" {

InputPtrsType ssGetInputPortSignalPtrsChecked(SimStruct* S, int_T port) {
    return checkedSignalPtrs(S, port);
}

InputRealPtrsType ssGetInputPortRealSignalPtrsChecked(SimStruct* S, int_T port) {
    return reinterpret_cast<InputRealPtrsType>(checkedSignalPtrs(S, port));
}

void ssSetInputPortDirectFeedThroughChecked(SimStruct* S, int_T port, int_T value) {
    const int_T n = ssGetNumInputPorts(S);
    if (port >= 0 && port < n && S->inputPorts) {
        S->inputPorts[port].directFeedThrough = value;
        return;
    }
    reportPortMisuse(
        S, formatText("S-function '%s' in block '%s' is setting or clearing the direct "
                      "feedthrough flag for port %d. However, the S-function's "
                      "mdlInitializeSizes routine has configured the block to have only %d input "
                      "port(s). Setting of clearing the direct feedthrough flag for an invalid "
                      "port index will cause a segmentation violation. Please verify that all "
                      "calls to ssSetInputPortDirectFeedThrough are using port indices in the "
                      "range [0..%d].\n",
                      orEmpty(ssGetModelName(S)), orEmpty(ssGetPath(S)), port + 1, n, n - 1));
}

void ssErrorDialogFcn(SimStruct* S, const char_T* msg) {
    (void)S;
    mxArray* args[3] = {mxCreateString(msg), mxCreateString("Fatal Error"),
                        mxCreateString("modal")};
    // The arrays are MATLAB's to release when the call returns.
    mexCallMATLAB(0, nullptr, 3, args, "errordlg");
}

void ssWarningFcn(SimStruct* S, const char_T* msg) {
    const char* path = ssGetPath(S);
    char* text = path ? formatText("block '%s': %s", path, orEmpty(msg)) : nullptr;
    if (!text) {
        mexWarnMsgTxt(msg);
        return;
    }
    mexWarnMsgTxt(text);
    mxFree(text);
}

bool ssSetInputPortMatrixDimensionsFcn(SimStruct* S, int_T port, int_T rows, int_T cols) {
    return setMatrixDims(S, true, port, rows, cols);
}

bool ssSetOutputPortMatrixDimensionsFcn(SimStruct* S, int_T port, int_T rows, int_T cols) {
    return setMatrixDims(S, false, port, rows, cols);
}

bool ssSetInputPortVectorDimensionFcn(SimStruct* S, int_T port, int_T width) {
    return setVectorDims(S, true, port, width);
}

bool ssSetOutputPortVectorDimensionFcn(SimStruct* S, int_T port, int_T width) {
    return setVectorDims(S, false, port, width);
}

// Without a generic service the queries answer 0.
int_T ssGenericQueryInt(SimStruct* S, int_T arg) {
    int_T answer = 0;
    if (S->mdlInfo && S->mdlInfo->genericFcn)
        S->mdlInfo->genericFcn(S, SS_GENERIC_QUERY_INT, arg, &answer);
    return answer;
}

real_T ssGenericQueryDouble(SimStruct* S) {
    real_T answer = 0.0;
    if (S->mdlInfo && S->mdlInfo->genericFcn)
        S->mdlInfo->genericFcn(S, SS_GENERIC_QUERY_DOUBLE, 0, &answer);
    return answer;
}

DTypeId ssGetDTypeIdFromMxArray(const mxArray* m) {
    switch (mxGetClassID(m)) {
    case mxDOUBLE_CLASS:
        return SS_DOUBLE;
    case mxSINGLE_CLASS:
        return SS_SINGLE;
    case mxINT8_CLASS:
        return SS_INT8;
    case mxUINT8_CLASS:
        return mxIsLogical(m) ? SS_BOOLEAN : SS_UINT8;
    // MATLAB numbers logical arrays as a class of their own; they are
    // boolean signals all the same.
    case mxLOGICAL_CLASS:
        return SS_BOOLEAN;
    case mxINT16_CLASS:
        return SS_INT16;
    case mxUINT16_CLASS:
        return SS_UINT16;
    case mxINT32_CLASS:
        return SS_INT32;
    case mxUINT32_CLASS:
        return SS_UINT32;
    default:
        return INVALID_DTYPE_ID;
    }
}

int zvCheckDialogParams(SimStruct* S) {
    if (ssGetSFcnParamsCount(S) < ZV_PARAM_COUNT) return 0;
    static const struct {
        int index;
        const char* message;
    } texts[] = {
        {ZV_PARAM_MODEL, "F*** Parameter 'Model' must be a text."},
        {ZV_PARAM_PRODUCT, "F*** Parameter 'Product' must be a text."},
        {ZV_PARAM_DURATION_SOURCE, "F*** Parameter 'Simulation Duration Source' must be a text."},
    };
    for (const auto& t : texts) {
        if (!isText(ssGetSFcnParam(S, t.index))) {
            ssSetErrorStatus(S, t.message);
            return 0;
        }
    }
    const mxArray* timestep = ssGetSFcnParam(S, ZV_PARAM_TIMESTEP);
    if (!isRealScalar(timestep) || !std::isfinite(mxGetPr(timestep)[0]) ||
        !(mxGetPr(timestep)[0] > 0.0)) {
        ssSetErrorStatus(S, "F*** Parameter 'Timestep' must be a real positive scalar number.");
        return 0;
    }
    if (!isWidthNumber(ssGetSFcnParam(S, ZV_PARAM_INPUTS))) {
        ssSetErrorStatus(S,
                         "F*** Parameter 'Inputs' must be a real scalar number in the int range.");
        return 0;
    }
    if (!isWidthNumber(ssGetSFcnParam(S, ZV_PARAM_OUTPUTS))) {
        ssSetErrorStatus(S,
                         "F*** Parameter 'Outputs' must be a real scalar number in the int range.");
        return 0;
    }
    return 1;
}

} // extern "C"
