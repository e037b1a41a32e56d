// libzvhost: arrays, the end-of-call clean-up, mexErrMsgTxt ending a call,
// the command window, and the Block's two kinds of call.
#include "zvhost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>

using zvhost::ArrayPtr;
using zvhost::makeScalar;
using zvhost::makeString;

namespace {

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zvhost::setCommandWindow([this](const std::string& t) { out += t; });
        zvhost::setErrorStream([this](const std::string& t) { err += t; });
        arraysBefore = zvhost::liveArrays();
    }
    void TearDown() override {
        zvhost::setCommandWindow(nullptr);
        zvhost::setErrorStream(nullptr);
        zvhost::setEvalHandler(nullptr);
        EXPECT_EQ(zvhost::pendingAllocations(), 0u);
        EXPECT_EQ(zvhost::liveArrays(), arraysBefore);
    }
    std::string out, err;
    size_t arraysBefore = 0;
};

// One MEX entry whose body the test chooses.
std::function<void(int, mxArray*[], int, const mxArray*[])>& body() {
    static std::function<void(int, mxArray*[], int, const mxArray*[])> f;
    return f;
}
void entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    body()(nlhs, plhs, nrhs, prhs);
}

TEST_F(HostTest, ArraysReadTheWayMexFilesRelyOn) {
    ArrayPtr text = makeString("Zelvane");
    EXPECT_EQ(mxGetClassID(text.get()), 4);
    EXPECT_EQ(mxGetNumberOfElements(text.get()), 7u);
    EXPECT_EQ(mxGetPr(text.get()), nullptr); // no doubles to misread
    char small[4];
    EXPECT_EQ(mxGetString(text.get(), small, sizeof small), 1);
    EXPECT_STREQ(small, "Zel");
    char buf[8];
    EXPECT_EQ(mxGetString(text.get(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Zelvane");

    ArrayPtr logical(mxCreateLogicalScalar(true));
    EXPECT_EQ(mxGetClassID(logical.get()), 3);
    EXPECT_FALSE(mxIsNumeric(logical.get()));
    ArrayPtr i32(mxCreateNumericMatrix(1, 1, mxUINT32_CLASS, mxREAL));
    EXPECT_EQ(mxGetClassID(i32.get()), 13);
    *static_cast<uint32_t*>(mxGetData(i32.get())) = 4000000000u;
    EXPECT_EQ(mxGetScalar(i32.get()), 4000000000.0);

    ArrayPtr complex(mxCreateDoubleMatrix(2, 3, mxCOMPLEX));
    ASSERT_NE(mxGetPi(complex.get()), nullptr);
    mxGetPi(complex.get())[5] = 1.0; // the whole imaginary part is there
    EXPECT_EQ(mxGetPr(ArrayPtr(mxCreateDoubleMatrix(0, 0, mxREAL)).get()), nullptr);
    EXPECT_EQ(mxCreateNumericMatrix(SIZE_MAX, 2, mxDOUBLE_CLASS, mxREAL), nullptr);
}

TEST_F(HostTest, CallReleasesItsMemoryAndTemporariesButHandsBackResults) {
    body() = [](int, mxArray* plhs[], int, const mxArray*[]) {
        void* kept = mxCalloc(100, 8);
        static_cast<char*>(kept)[799] = 1;
        mxFree(mxCalloc(3, 3));
        mxCreateString("temporary");
        mxArray* persistent = mxCreateDoubleScalar(1);
        mexMakeArrayPersistent(persistent);
        mxDestroyArray(persistent);
        EXPECT_GT(zvhost::pendingAllocations(), 0u);
        plhs[0] = mxCreateDoubleScalar(42);
    };
    mxArray* plhs[1] = {nullptr};
    auto r = zvhost::callMex(entry, 1, plhs, 0, nullptr);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(zvhost::pendingAllocations(), 0u);
    ArrayPtr result(plhs[0]);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(mxGetScalar(result.get()), 42.0);
}

TEST_F(HostTest, ErrMsgTxtReturnsControlToTheCallSiteAndCleansUp) {
    bool after = false;
    body() = [&](int, mxArray* plhs[], int, const mxArray*[]) {
        char* text = static_cast<char*>(mxCalloc(64, 1));
        std::strcpy(text, "F*** stopped");
        plhs[0] = mxCreateDoubleScalar(1);
        mexErrMsgTxt(text);
        after = true;
    };
    mxArray* plhs[1] = {nullptr};
    auto r = zvhost::callMex(entry, 1, plhs, 0, nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "F*** stopped");
    EXPECT_FALSE(after);
    EXPECT_EQ(plhs[0], nullptr);

    // The next call works as if nothing happened.
    body() = [](int, mxArray*[], int, const mxArray*[]) { mexPrintf("%s %d\n", "step", 2); };
    EXPECT_TRUE(zvhost::callMex(entry, 0, plhs, 0, nullptr).ok);
    EXPECT_EQ(out, "step 2\n");
}

TEST_F(HostTest, CommandWindowWarningsDialogsAndCommands) {
    body() = [](int, mxArray*[], int, const mxArray*[]) {
        mexPrintf("I*** notice\n");
        mexWarnMsgTxt("careful");
        mxArray* args[3] = {mxCreateString("Something broke"), mxCreateString("Fatal Error"),
                            mxCreateString("modal")};
        EXPECT_EQ(mexCallMATLAB(0, nullptr, 3, args, "errordlg"), 0);
        EXPECT_EQ(mexCallMATLAB(0, nullptr, 0, nullptr, "nosuchfunction"), 1);
        EXPECT_EQ(mexEvalString("set_param(bdroot, 'SimulationCommand', 'stop')"), 0);
    };
    mxArray* plhs[1] = {nullptr};
    ASSERT_TRUE(zvhost::callMex(entry, 0, plhs, 0, nullptr).ok);
    EXPECT_EQ(out, "I*** notice\nWarning: careful\n");
    EXPECT_EQ(err, "Error dialog 'Fatal Error': Something broke\n"
                   "Undefined function 'nosuchfunction'.\n"
                   "mexEvalString: no engine to run \"set_param(bdroot, 'SimulationCommand', "
                   "'stop')\"\n");

    std::vector<std::string> commands;
    zvhost::setEvalHandler([&](const std::string& c) {
        commands.push_back(c);
        return 0;
    });
    body() = [](int, mxArray*[], int, const mxArray*[]) { mexEvalString("stop"); };
    ASSERT_TRUE(zvhost::callMex(entry, 0, plhs, 0, nullptr).ok);
    EXPECT_EQ(commands, std::vector<std::string>{"stop"});
}

// A block as Simulink's calls reach it: this entry checks the way the
// SimStruct is handed over on both roads.
SimStruct* seen = nullptr;
double seenFlag = -1;
void simulinkEntry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    seenFlag = mxGetScalar(prhs[3]);
    if (nlhs < 0) {
        seen = reinterpret_cast<SimStruct*>(plhs[1]);
        return;
    }
    ASSERT_EQ(nrhs, 4);
    const double* x = mxGetPr(prhs[1]);
    ASSERT_EQ(mxGetM(prhs[1]), 2u);
    EXPECT_EQ(x[1], 5200229.0);
    seen = reinterpret_cast<SimStruct*>(static_cast<uintptr_t>(x[0]));
    ASSERT_TRUE(ssSetNumInputPorts(seen, 1));
    ASSERT_TRUE(ssSetNumOutputPorts(seen, 2));
    EXPECT_FALSE(ssSetNumOutputPorts(seen, -1));
    ssSetInputPortWidth(seen, 0, 3);
    ssSetOutputPortWidth(seen, 1, 2);
    ssSetNumSampleTimes(seen, 1);
    ssSetNumIWork(seen, 1);
    ssSetNumSFcnParams(seen, 1);
    plhs[0] = mxCreateDoubleMatrix(38, 1, mxREAL);
}

TEST_F(HostTest, BlockMakesSimulinksCallsAndProvidesPortsAndWork) {
    std::vector<ArrayPtr> params;
    params.push_back(makeString("simple"));
    zvhost::Block block("zelvanesl61", "model/Zelvane", std::move(params));
    SimStruct* S = block.simStruct();
    EXPECT_STREQ(ssGetModelName(S), "zelvanesl61");
    EXPECT_STREQ(ssGetPath(S), "model/Zelvane");
    EXPECT_EQ(ssGetSFcnParamsCount(S), 1);

    ASSERT_TRUE(block.initializeSizes(simulinkEntry).ok);
    EXPECT_EQ(seen, S); // the full address travelled through x
    EXPECT_EQ(seenFlag, 0.0);
    EXPECT_EQ(block.sizesVector().size(), 38u);
    EXPECT_EQ(block.numInputPorts(), 1);
    EXPECT_EQ(block.numOutputPorts(), 2);
    EXPECT_EQ(block.inputWidth(0), 3);
    EXPECT_EQ(block.outputWidth(1), 2);
    EXPECT_EQ(block.inputWidth(5), 0);
    EXPECT_EQ(S->sizes[SS_SIZES_PORT_METHOD_FLAGS] & SS_PORT_COUNTS_SET, SS_PORT_COUNTS_SET);

    block.allocateSampleTimes();
    ssSetSampleTime(S, 0, 0.01);
    ssSetSampleTime(S, 1, 9.0); // not registered: dropped
    EXPECT_EQ(block.sampleTime(0), 0.01);
    block.allocateWorkAndSignals();
    ASSERT_NE(ssGetIWork(S), nullptr);
    ssGetIWork(S)[0] = 17;
    EXPECT_EQ(block.iwork()[0], 17);
    block.inputSignal(0)[2] = 6.5;
    InputPtrsType ptrs = S->inputPorts[0].signalPtrs;
    ASSERT_NE(ptrs, nullptr);
    EXPECT_EQ(*static_cast<const double*>(ptrs[2]), 6.5);
    ssGetOutputPortRealSignal(S, 1)[1] = 3.0;
    EXPECT_EQ(block.outputSignal(1)[1], 3.0);

    block.setTime(2.5);
    block.setStopTime(10.0);
    EXPECT_EQ(ssGetT(S), 2.5);
    EXPECT_EQ(ssGetTFinal(S), 10.0);
    seen = nullptr;
    ASSERT_TRUE(block.callFlag(simulinkEntry, 104, -2).ok);
    EXPECT_EQ(seen, S);
    EXPECT_EQ(seenFlag, 104.0);
    EXPECT_EQ(S->sizes[SS_SIZES_CALL_ARG], -2);
}

} // namespace
