// The host side of the MATLAB/Simulink stand-in (libmx, libmex): what the engine
// (zvsim) and the tests use to make MEX calls, own blocks and watch the
// command window. The MEX file itself sees only matrix.h, mex.h and
// simstruc.h.
//
// mexErrMsgTxt throws zvhost::MexError. Only callMex catches it: the MEX
// file is C++ built with unwind tables, so the exception unwinds the block's
// frames back to the host's call site, and the end-of-call clean-up then
// releases every mxCalloc block and temporary array of the call.
#pragma once

#include "simstruc.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zvhost {

class ZVHOST_API MexError : public std::runtime_error {
  public:
    explicit MexError(const std::string& message) : std::runtime_error(message) {}
    ~MexError() override; // the key function: type information lives in libmx
};

// ---------------------------------------------------------------------------
// Arrays owned by host code (outside any MEX call).
struct ArrayDeleter {
    void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

ZVHOST_API ArrayPtr makeString(const std::string& text);
ZVHOST_API ArrayPtr makeScalar(double value);
ZVHOST_API ArrayPtr makeMatrix(size_t rows, size_t cols, const std::vector<double>& columnMajor);

// ---------------------------------------------------------------------------
// Command window. By default text goes to standard output (mexPrintf,
// mexWarnMsgTxt) and standard error (dialogs, host diagnostics), flushed.
using TextSink = std::function<void(const std::string&)>;
ZVHOST_MEX_API void setCommandWindow(TextSink sink); // empty: standard output
ZVHOST_MEX_API void setErrorStream(TextSink sink);   // empty: standard error
ZVHOST_MEX_API void printToCommandWindow(const std::string& text);
ZVHOST_MEX_API void printToErrorStream(const std::string& text);

// mexEvalString: the handler runs the command and answers 0 when it ran.
// Without one, the command is only reported on the error stream.
using EvalHandler = std::function<int(const std::string& command)>;
ZVHOST_MEX_API void setEvalHandler(EvalHandler handler);

// mexCallMATLAB: the handler answers for every function name; without one,
// "errordlg" shows its title and message on the error stream and every
// other name is reported as undefined (result 1).
using CallHandler = std::function<int(const std::string& name, int nlhs, mxArray* plhs[], int nrhs,
                                      mxArray* prhs[])>;
ZVHOST_MEX_API void setCallHandler(CallHandler handler);

// ---------------------------------------------------------------------------
// One MEX call, the way MATLAB makes it: mxCalloc memory and arrays created
// during the call are released when it returns, except the arrays handed
// back through plhs[0..nlhs-1] (which the caller then owns). On an error the
// results are released too and plhs is cleared.
using MexEntry = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

struct CallResult {
    bool ok = true;    // false when mexErrMsgTxt ended the call
    std::string error; // its message
};

ZVHOST_API CallResult callMex(MexEntry entry, int nlhs, mxArray* plhs[], int nrhs,
                              const mxArray* prhs[]);

// What MATLAB does when it unloads a MEX file: runs the exit function the
// file registered with mexAtExit during its calls through entry, once. An
// error in it comes back as a call's would.
ZVHOST_API CallResult unloadMex(MexEntry entry);

// Memory blocks and arrays still awaiting the clean-up of calls in progress
// (0 outside a call); for tests.
ZVHOST_API size_t pendingAllocations();
// Arrays alive in the process, whoever owns them; for tests.
ZVHOST_API size_t liveArrays();

// ---------------------------------------------------------------------------
// A block instance as Simulink holds it: the SimStruct with its model
// information, ports, dialog parameters, sample times and work vectors.
class ZVHOST_API Block {
  public:
    // modelName: the MEX file's name; path: the block path.
    Block(std::string modelName, std::string path, std::vector<ArrayPtr> params);
    ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    SimStruct* simStruct() { return &S_; }

    // Simulink's sizes call: x = [address of the SimStruct; version stamp],
    // flag 0. On success the sizes vector is kept (sizesVector()).
    CallResult initializeSizes(MexEntry entry);
    // A callback call with the given flag (plhs[1] carries the SimStruct).
    // callArg goes to sizes word 4 for the call.
    CallResult callFlag(MexEntry entry, double flag, int callArg = 0);

    const std::vector<double>& sizesVector() const { return sizesVector_; }

    // After sizing: room for the registered sample times.
    void allocateSampleTimes();
    // After the sample times: work vectors and port signals for the
    // resolved widths (widths of -1 must be resolved first).
    void allocateWorkAndSignals();

    const char* errorStatus() const { return S_.errorStatus; }
    void clearErrorStatus() { S_.errorStatus = nullptr; }
    int faultFlag() const { return info_.faultFlag; }

    int numInputPorts() const { return S_.sizes[SS_SIZES_NUM_INPUT_PORTS]; }
    int numOutputPorts() const { return S_.sizes[SS_SIZES_NUM_OUTPUT_PORTS]; }
    int inputWidth(int port) const;
    int outputWidth(int port) const;
    void setInputWidth(int port, int width);
    void setOutputWidth(int port, int width);
    int numSampleTimes() const { return S_.sizes[SS_SIZES_NUM_SAMPLE_TIMES]; }
    double sampleTime(int i) const;
    double offsetTime(int i) const;
    int numParams() const { return static_cast<int>(params_.size()); }
    int expectedParams() const { return S_.sizes[SS_SIZES_NUM_SFCN_PARAMS]; }

    // Port signals (after allocateWorkAndSignals).
    std::vector<double>& inputSignal(int port) { return inputs_.at(port).values; }
    std::vector<double>& outputSignal(int port) { return outputs_.at(port).values; }
    std::vector<int>& iwork() { return iwork_; }

    void setTime(double t) { info_.t = t; }
    void setStopTime(double t) { info_.tFinal = t; }
    double time() const { return info_.t; }
    double stopTime() const { return info_.tFinal; }

  private:
    static int_T setNumInputPorts(void* context, int_T n);
    static int_T setNumOutputPorts(void* context, int_T n);
    static int_T setInputDims(SimStruct* S, int_T port, const DimsInfo_T* dims);
    static int_T setOutputDims(SimStruct* S, int_T port, const DimsInfo_T* dims);

    struct InputSignal {
        std::vector<double> values;
        std::vector<const void*> ptrs;
    };
    struct OutputSignal {
        std::vector<double> values;
    };

    SimStruct S_{};
    ssMdlInfo info_{};
    ssSFcnMethods2 methods2_{};
    std::string modelName_;
    std::string path_;
    std::vector<ArrayPtr> params_;
    std::vector<const mxArray*> paramPtrs_;
    std::vector<ssInputPort> inputPorts_;
    std::vector<ssOutputPort> outputPorts_;
    std::vector<InputSignal> inputs_;
    std::vector<OutputSignal> outputs_;
    std::vector<double> sampleTimes_;
    std::vector<double> offsetTimes_;
    std::vector<int> iwork_;
    std::vector<double> rwork_;
    std::vector<void*> pwork_;
    std::vector<double> sizesVector_;
    // The right-hand arguments of callback calls (t, x, u, flag), made at
    // the first call and refilled for each: a step costs the host no heap.
    ArrayPtr callArgs_[4];
};

} // namespace zvhost
