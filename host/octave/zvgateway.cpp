// zvgateway: plays Simulink for one zelvanesl61 block inside Octave, so that
// a whole co-simulation runs with every mx*/mex* call of the block served by
// Octave.
//
//   r = zvgateway(mexfile, params, stopTime, u)
//
// mexfile: the block's MEX file (Octave's `which` of its name); it is called
// by its name, so it must be the one Octave finds first;
// params: the six dialog parameters in a cell; stopTime: Simulink's stop
// time; u: the input port's values, one row per sample hit (the last row
// holds on) or empty for zeros.
// r: struct with t (sample hits whose outputs ran), y (one row of outputs
// per hit), steps (updates run), widths ([in out]), error (the block's error
// status, '' when none) and stop (the stop request recorded by set_param).
//
// As Simulink does: the sizes call with [address; 5200229], then flags 101,
// 102, 104/105 at every hit and 107. A stop request (the block's stop command
// reaching set_param) ends the run once the step is done, an error status
// right after the callback that set it; terminate runs either way.
// Every call goes through Octave's own MEX dispatch, by the block's name, so
// that what the block registers (its mexAtExit handler) belongs to the
// block: `clear zelvanesl61` then ends a link a failed run left up. Octave
// passes no negative nlhs, so the callbacks carry the SimStruct in x.
// mexErrMsgTxt from the block ends this call, unwinding through here;
// everything held is Octave's (mxCalloc), released by Octave whichever way
// the call ends.
#include <simstruc.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// The global that the test folder's set_param writes the stop request into.
const char* const kStopVariable = "zvgateway_stop";

template <typename T> T* hostArray(size_t n) {
    return static_cast<T*>(mxCalloc(n > 0 ? n : 1, sizeof(T)));
}

// The port services run inside the sizes call, a MEX call of its own whose
// mxCalloc memory Octave releases when it returns: the records they hand out
// are the gateway's, made beforehand.
const int kMaxPorts = 4;
// Far above what the block accepts at its start, but it keeps the
// recording buffers' sizes in range.
const int kMaxWidth = 1 << 16;

int_T setNumInputPorts(void* context, int_T n) {
    SimStruct* S = static_cast<SimStruct*>(context);
    if (n < 0 || n > kMaxPorts) return 0;
    S->sizes[SS_SIZES_NUM_INPUT_PORTS] = n;
    S->sizes[SS_SIZES_PORT_METHOD_FLAGS] |= SS_PORT_COUNTS_SET;
    std::memset(S->inputPorts, 0, sizeof(ssInputPort) * kMaxPorts);
    return 1;
}

int_T setNumOutputPorts(void* context, int_T n) {
    SimStruct* S = static_cast<SimStruct*>(context);
    if (n < 0 || n > kMaxPorts) return 0;
    S->sizes[SS_SIZES_NUM_OUTPUT_PORTS] = n;
    S->sizes[SS_SIZES_PORT_METHOD_FLAGS] |= SS_PORT_COUNTS_SET;
    std::memset(S->outputPorts, 0, sizeof(ssOutputPort) * kMaxPorts);
    return 1;
}

bool stopRequested() {
    const mxArray* v = mexGetVariablePtr("global", kStopVariable);
    return v && !mxIsEmpty(v);
}

struct Run {
    SimStruct* S;
    ssMdlInfo* info;
    const char* functionName;
};

// Simulink's x: the SimStruct's address and the version stamp.
mxArray* simStructColumn(const Run& run) {
    mxArray* x = mxCreateDoubleMatrix(2, 1, mxREAL);
    mxGetPr(x)[0] = static_cast<double>(reinterpret_cast<std::uintptr_t>(run.S));
    mxGetPr(x)[1] = SIMSTRUCT_VERSION_LEVEL2;
    return x;
}

// The sizes call goes through Octave, as a call of the block by its name.
void sizesCall(Run& run, const mxArray* params) {
    mxArray* prhs[10];
    prhs[0] = mxCreateDoubleScalar(0.0);
    prhs[1] = simStructColumn(run);
    prhs[2] = mxCreateDoubleMatrix(0, 0, mxREAL);
    prhs[3] = mxCreateDoubleScalar(0.0);
    for (int i = 0; i < 6; ++i)
        prhs[4 + i] = mxDuplicateArray(mxGetCell(params, i));
    mxArray* plhs[1] = {nullptr};
    mexCallMATLAB(1, plhs, 10, prhs, run.functionName);
}

void callFlag(Run& run, double flag) {
    mxArray* prhs[4] = {mxCreateDoubleScalar(run.info->t), simStructColumn(run),
                        mxCreateDoubleMatrix(0, 0, mxREAL), mxCreateDoubleScalar(flag)};
    mxArray* plhs[1] = {nullptr};
    mexCallMATLAB(0, plhs, 4, prhs, run.functionName);
    for (mxArray* a : prhs)
        mxDestroyArray(a);
}

bool failed(Run& run) {
    return ssGetErrorStatus(run.S) != nullptr;
}

void setField(mxArray* r, const char* name, mxArray* value) {
    mxSetField(r, 0, name, value);
}

} // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 4 || !mxIsChar(prhs[0]) || !mxIsCell(prhs[1]) ||
        mxGetNumberOfElements(prhs[1]) != 6 || !mxIsDouble(prhs[2]) ||
        mxGetNumberOfElements(prhs[2]) != 1 || !mxIsDouble(prhs[3]))
        mexErrMsgTxt("usage: r = zvgateway(mexfile, {six parameters}, stopTime, u)");
    if (nlhs > 1) mexErrMsgTxt("one result");
    // Not mxArrayToString: Octave does not release its text when a call
    // ends in an error, and the block may end this one.
    const int pathSize = static_cast<int>(mxGetNumberOfElements(prhs[0])) + 1;
    char* path = hostArray<char>(pathSize);
    mxGetString(prhs[0], path, pathSize);
    Run run;
    // The S-function name is the file's name without folder and suffix.
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    char* name = hostArray<char>(static_cast<int>(std::strlen(base)) + 1);
    std::strcpy(name, base);
    if (char* dot = std::strchr(name, '.')) *dot = '\0';
    run.functionName = name;

    SimStruct* S = hostArray<SimStruct>(1);
    run.S = S;
    run.info = hostArray<ssMdlInfo>(1);
    S->modelName = name;
    S->path = "zvdemo/Zelvane";
    S->root = S;
    S->mdlInfo = run.info;
    S->methods2 = hostArray<ssSFcnMethods2>(1);
    S->inputPorts = hostArray<ssInputPort>(kMaxPorts);
    S->outputPorts = hostArray<ssOutputPort>(kMaxPorts);
    S->setNumInputPortsFcn = setNumInputPorts;
    S->setNumInputPortsContext = S;
    S->setNumOutputPortsFcn = setNumOutputPorts;
    S->setNumOutputPortsContext = S;
    S->numDialogParams = 6;
    S->dialogParams = hostArray<const mxArray*>(6);
    for (int i = 0; i < 6; ++i)
        S->dialogParams[i] = mxGetCell(prhs[1], i);
    run.info->tFinal = mxGetScalar(prhs[2]);

    mexPutVariable("global", kStopVariable, mxCreateDoubleMatrix(0, 0, mxREAL));
    const char* r_fields[] = {"t", "y", "steps", "widths", "error", "stop"};
    mxArray* result = mxCreateStructMatrix(1, 1, 6, r_fields);
    plhs[0] = result;

    sizesCall(run, prhs[1]);
    const int nIn = ssGetInputPortWidth(S, 0);
    const int nOut = ssGetOutputPortWidth(S, 0);
    mxArray* widths = mxCreateDoubleMatrix(1, 2, mxREAL);
    mxGetPr(widths)[0] = nIn;
    mxGetPr(widths)[1] = nOut;
    setField(result, "widths", widths);
    const int nIWork = ssGetNumIWork(S);
    if (failed(run) || nIn < 0 || nOut < 0 || nIn > kMaxWidth || nOut > kMaxWidth || nIWork < 0 ||
        nIWork > kMaxWidth || ssGetNumInputPorts(S) != 1 || ssGetNumOutputPorts(S) != 1 ||
        ssGetNumSampleTimes(S) != 1) {
        setField(result, "error",
                 mxCreateString(failed(run) ? ssGetErrorStatus(S) : "not a runnable block"));
        return;
    }
    S->sampleTimes = hostArray<time_T>(1);
    S->offsetTimes = hostArray<time_T>(1);
    S->iWork = hostArray<int_T>(nIWork);
    real_T* uValues = hostArray<real_T>(nIn);
    const real_T** uPtrs = hostArray<const real_T*>(nIn);
    for (int i = 0; i < nIn; ++i)
        uPtrs[i] = &uValues[i];
    S->inputPorts[0].signalPtrs = reinterpret_cast<InputPtrsType>(uPtrs);
    real_T* yValues = hostArray<real_T>(nOut);
    S->outputPorts[0].signal = yValues;

    callFlag(run, 101);
    const double timestep = ssGetSampleTime(S, 0);
    if (!(timestep > 0.0)) mexErrMsgTxt("the block's sample time must be above 0");
    // The hit at or before the stop time, a rounding error past it included.
    const double hits = std::floor(run.info->tFinal / timestep + 1e-9);
    if (!(hits < 100000)) mexErrMsgTxt("more than 100000 sample hits before the stop time");
    const int maxHits = hits < 0 ? 0 : static_cast<int>(hits) + 1;
    double* tBuf = hostArray<double>(maxHits);
    double* yBuf = hostArray<double>(static_cast<size_t>(maxHits) * nOut);
    const size_t uRows = mxGetM(prhs[3]);
    const size_t uCols = mxGetN(prhs[3]);
    const double* u = mxGetPr(prhs[3]);

    int ran = 0;
    int steps = 0;
    callFlag(run, 102);
    bool stop = failed(run) || stopRequested();
    for (int k = 0; k < maxHits && !stop; ++k) {
        run.info->t = k * timestep;
        if (uRows > 0)
            for (int i = 0; i < nIn; ++i) {
                const size_t row = static_cast<size_t>(k) < uRows ? k : uRows - 1;
                uValues[i] = static_cast<size_t>(i) < uCols ? u[row + i * uRows] : 0.0;
            }
        S->sizes[SS_SIZES_CALL_ARG] = 0;
        callFlag(run, 104);
        tBuf[ran] = run.info->t;
        std::memcpy(yBuf + static_cast<size_t>(ran) * nOut, yValues, sizeof(double) * nOut);
        ++ran;
        // A stop request lets the step finish; an error status ends it.
        if (failed(run)) break;
        callFlag(run, 105);
        ++steps;
        stop = failed(run) || stopRequested();
    }
    // Simulink calls terminate however the run ended, unless a callback
    // ended the MEX call (that never reaches here).
    const char* error = ssGetErrorStatus(S);
    callFlag(run, 107);
    if (!error) error = ssGetErrorStatus(S);

    mxArray* tOut = mxCreateDoubleMatrix(ran, 1, mxREAL);
    mxArray* yOut = mxCreateDoubleMatrix(ran, nOut, mxREAL);
    std::memcpy(mxGetPr(tOut), tBuf, sizeof(double) * ran);
    for (int k = 0; k < ran; ++k)
        for (int i = 0; i < nOut; ++i)
            mxGetPr(yOut)[k + static_cast<size_t>(i) * ran] =
                yBuf[static_cast<size_t>(k) * nOut + i];
    setField(result, "t", tOut);
    setField(result, "y", yOut);
    setField(result, "steps", mxCreateDoubleScalar(steps));
    setField(result, "error", mxCreateString(error ? error : ""));
    const mxArray* request = mexGetVariablePtr("global", kStopVariable);
    setField(result, "stop",
             request && mxIsChar(request) ? mxDuplicateArray(request) : mxCreateString(""));
}
