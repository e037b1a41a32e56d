// libzvhost: arrays, the end-of-call clean-up, mexErrMsgTxt ending a call,
// the command window, and the Block's two kinds of call.
#include "zvhost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>

using zvhost::ArrayPtr;

namespace {

using Body = std::function<void(int, mxArray*[], int, const mxArray*[])>;

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
    // One MEX call whose body the test chooses.
    zvhost::CallResult call(Body b, int nlhs = 0, mxArray** plhs = nullptr) {
        static Body body;
        body = std::move(b);
        return zvhost::callMex(
            [](int nl, mxArray* pl[], int nr, const mxArray* pr[]) { body(nl, pl, nr, pr); }, nlhs,
            plhs, 0, nullptr);
    }
    std::string out, err;
    size_t arraysBefore = 0;
};

TEST_F(HostTest, ArraysReadTheWayMexFilesRelyOn) {
    ArrayPtr text = zvhost::makeString("Zelvane");
    EXPECT_EQ(mxGetNumberOfElements(text.get()), 7u);
    EXPECT_EQ(mxGetPr(text.get()), nullptr); // no doubles to misread
    char small[4], buf[8];
    EXPECT_EQ(mxGetString(text.get(), small, sizeof small), 1);
    EXPECT_STREQ(small, "Zel");
    EXPECT_EQ(mxGetString(text.get(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Zelvane");

    EXPECT_FALSE(mxIsNumeric(ArrayPtr(mxCreateLogicalScalar(true)).get()));
    ArrayPtr u32(mxCreateNumericMatrix(1, 1, mxUINT32_CLASS, mxREAL));
    *static_cast<uint32_t*>(mxGetData(u32.get())) = 4000000000u;
    EXPECT_EQ(mxGetScalar(u32.get()), 4000000000.0);

    ArrayPtr complex(mxCreateDoubleMatrix(2, 3, mxCOMPLEX));
    ASSERT_NE(mxGetPi(complex.get()), nullptr);
    mxGetPi(complex.get())[5] = 1.0; // the whole imaginary part is there
    EXPECT_EQ(mxGetPr(ArrayPtr(mxCreateDoubleMatrix(0, 0, mxREAL)).get()), nullptr);
    EXPECT_EQ(mxCreateNumericMatrix(SIZE_MAX, 2, mxDOUBLE_CLASS, mxREAL), nullptr);
}

TEST_F(HostTest, CallReleasesItsMemoryAndTemporariesButHandsBackResults) {
    mxArray* plhs[1] = {nullptr};
    auto r = call(
        [](int, mxArray* plhs[], int, const mxArray*[]) {
            static_cast<char*>(mxCalloc(100, 8))[799] = 1;
            mxFree(mxCalloc(3, 3));
            mxCreateString("temporary");
            mxArray* persistent = mxCreateDoubleScalar(1);
            mexMakeArrayPersistent(persistent);
            mxDestroyArray(persistent);
            EXPECT_GT(zvhost::pendingAllocations(), 0u);
            plhs[0] = mxCreateDoubleScalar(42);
        },
        1, plhs);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(zvhost::pendingAllocations(), 0u);
    ArrayPtr result(plhs[0]);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(mxGetScalar(result.get()), 42.0);
}

TEST_F(HostTest, ErrMsgTxtReturnsControlToTheCallSiteAndCleansUp) {
    bool after = false;
    mxArray* plhs[1] = {nullptr};
    auto r = call(
        [&](int, mxArray* plhs[], int, const mxArray*[]) {
            char* text = static_cast<char*>(mxCalloc(64, 1));
            std::strcpy(text, "F*** stopped");
            plhs[0] = mxCreateDoubleScalar(1);
            mexErrMsgTxt(text);
            after = true;
        },
        1, plhs);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "F*** stopped");
    EXPECT_FALSE(after);
    EXPECT_EQ(plhs[0], nullptr);
    // The next call works as if nothing happened.
    EXPECT_TRUE(
        call([](int, mxArray*[], int, const mxArray*[]) { mexPrintf("%s %d\n", "step", 2); }).ok);
    EXPECT_EQ(out, "step 2\n");
}

TEST_F(HostTest, CommandWindowWarningsDialogsAndCommands) {
    ASSERT_TRUE(call([](int, mxArray*[], int, const mxArray*[]) {
                    mexPrintf("I*** notice\n");
                    mexWarnMsgTxt("careful");
                    mxArray* args[3] = {mxCreateString("Something broke"),
                                        mxCreateString("Fatal Error"), mxCreateString("modal")};
                    EXPECT_EQ(mexCallMATLAB(0, nullptr, 3, args, "errordlg"), 0);
                    EXPECT_EQ(mexCallMATLAB(0, nullptr, 0, nullptr, "nosuchfunction"), 1);
                    EXPECT_EQ(mexEvalString("set_param(bdroot, 'SimulationCommand', 'stop')"), 0);
                }).ok);
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
    ASSERT_TRUE(call([](int, mxArray*[], int, const mxArray*[]) { mexEvalString("stop"); }).ok);
    EXPECT_EQ(commands, std::vector<std::string>{"stop"});
}

// A block's entry as Simulink's calls reach it: the SimStruct comes through
// x on the sizes call and through plhs[1] on a callback call.
SimStruct* seen = nullptr;
void simulinkEntry(int nlhs, mxArray* plhs[], int, const mxArray* prhs[]) {
    if (nlhs < 0) {
        seen = reinterpret_cast<SimStruct*>(plhs[1]);
        return;
    }
    EXPECT_EQ(mxGetPr(prhs[1])[1], 5200229.0);
    seen = reinterpret_cast<SimStruct*>(static_cast<uintptr_t>(mxGetPr(prhs[1])[0]));
    ASSERT_TRUE(ssSetNumInputPorts(seen, 1));
    ASSERT_TRUE(ssSetNumOutputPorts(seen, 2));
    EXPECT_FALSE(ssSetNumOutputPorts(seen, -1));
    ssSetInputPortWidth(seen, 0, 3);
    ssSetOutputPortWidth(seen, 1, 2);
    ssSetNumSampleTimes(seen, 1);
    ssSetNumIWork(seen, 1);
}

TEST_F(HostTest, BlockProvidesPortsSampleTimesAndWorkWithinTheirBounds) {
    zvhost::Block block("zelvanesl61", "model/Zelvane", {});
    SimStruct* S = block.simStruct();
    ASSERT_TRUE(block.initializeSizes(simulinkEntry).ok);
    EXPECT_EQ(seen, S); // the full address travelled through x
    EXPECT_EQ(block.numOutputPorts(), 2);
    EXPECT_EQ(block.inputWidth(5), 0);

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
    EXPECT_EQ(S->sizes[SS_SIZES_CALL_ARG], -2);
}

} // namespace
