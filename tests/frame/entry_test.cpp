// The MEX entry: the sizes call from MATLAB and Simulink, and the dispatch of
// callback flags.
#include "block/block.h"
#include "frame/simulink.h"
#include "frame_support.h"

#include <cmath>
#include <cstdint>
#include <iterator>
#include <sstream>
#include <vector>

using frametest::ArrayPtr;
using frametest::emptyArray;
using zvhost::makeMatrix;
using zvhost::makeScalar;
using zvhost::makeString;

// A stand-in for the block's methods that records which ran.
namespace fakeblock {
struct Call {
    std::string method;
    SimStruct* S;
    int tid;
};
std::vector<Call> calls;
std::function<void(SimStruct*)> onSizes; // runs inside mdlInitializeSizes, if set
void reset() {
    calls.clear();
    onSizes = nullptr;
}
} // namespace fakeblock

void mdlInitializeSizes(SimStruct* S) {
    fakeblock::calls.push_back({"mdlInitializeSizes", S, 0});
    if (fakeblock::onSizes) fakeblock::onSizes(S);
}
// clang-format off
#define FAKE(name) void name(SimStruct* S) { fakeblock::calls.push_back({#name, S, 0}); }
#define FAKE_TID(name) void name(SimStruct* S, int t) { fakeblock::calls.push_back({#name, S, t}); }
// clang-format on
FAKE(mdlInitializeSampleTimes)
FAKE(mdlInitializeConditions)
FAKE(mdlGetTimeOfNextVarHit)
FAKE_TID(mdlOutputs)
FAKE_TID(mdlUpdate)
FAKE(mdlDerivatives)
FAKE(mdlTerminate)
FAKE(mdlZeroCrossings)

namespace {

const std::string kName = "MEX level2 S-function \"zelvanesl61\"";
const std::string kInvalid = "Invalid flag encountered in simulink.c";
const double kStamp = SIMSTRUCT_VERSION_LEVEL2;

double addressOf(SimStruct* S) {
    return static_cast<double>(reinterpret_cast<std::uintptr_t>(S));
}
ArrayPtr column(double a, double b) {
    return makeMatrix(2, 1, {a, b});
}
ArrayPtr complexScalar(double re, double im) {
    ArrayPtr a(mxCreateDoubleMatrix(1, 1, mxCOMPLEX));
    mxGetPr(a.get())[0] = re;
    mxGetPi(a.get())[0] = im;
    return a;
}

class FrameSizesCall : public frametest::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        fakeblock::reset();
    }
    // zelvanesl61(prhs...) from the MATLAB command line; *result takes plhs[0].
    zvhost::CallResult sizesCall(int nlhs, std::vector<const mxArray*> prhs,
                                 ArrayPtr* result = nullptr) {
        mxArray* plhs[2] = {nullptr, nullptr};
        auto r =
            zvhost::callMex(mexFunction, nlhs, plhs, static_cast<int>(prhs.size()), prhs.data());
        ArrayPtr kept(plhs[0]);
        if (result) *result = std::move(kept);
        return r;
    }
    // zelvanesl61([], x, [], flag).
    zvhost::CallResult call(int nlhs, const mxArray* x, const mxArray* flag,
                            ArrayPtr* result = nullptr) {
        return sizesCall(nlhs, {empty.get(), x, empty.get(), flag}, result);
    }
    ArrayPtr empty = emptyArray(), zero = makeScalar(0.0);
};

TEST_F(FrameSizesCall, ArgumentChecksEndTheCallWithTheirMessages) {
    EXPECT_EQ(sizesCall(2, {empty.get(), empty.get(), empty.get()}).error,
              kName + " must be called with at least 4 right hand arguments");
    EXPECT_EQ(call(2, empty.get(), zero.get()).error,
              kName + " called with too many left hand arguments");

    // Not an integer, then a flag other than 0, then zero in any numeric form.
    ArrayPtr pair(mxCreateDoubleMatrix(1, 2, mxREAL)), logical(mxCreateLogicalScalar(false));
    ArrayPtr int32(mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL));
    ArrayPtr flags[] = {
        makeScalar(0.5),     makeScalar(std::nan("")), makeScalar(1e10),   std::move(pair),
        complexScalar(0, 0), makeString("0"),          std::move(logical), emptyArray(),
        makeScalar(1.0),     makeScalar(-0.0),         std::move(int32)};
    for (size_t i = 0; i < std::size(flags); ++i) {
        const std::string text =
            i < 8 ? "The 4th right hand argument, FLAG, passed to " + kName + " must be an integer"
            : i < 9 ? "Invalid flag passed to " + kName
                    : "";
        fakeblock::reset();
        ArrayPtr result;
        EXPECT_EQ(call(1, empty.get(), flags[i].get(), &result).error, text) << i;
        EXPECT_EQ(result != nullptr, text.empty()) << i;
        EXPECT_EQ(fakeblock::calls.size(), text.empty() ? 1u : 0u) << i;
    }
}

TEST_F(FrameSizesCall, CommandLineCallSizesAStandAloneSimStructAndReturnsTheRecord) {
    ArrayPtr model = makeString("simple"), step = makeScalar(0.1);
    fakeblock::onSizes = [&](SimStruct* S) {
        EXPECT_STREQ(ssGetPath(S), "zelvanesl61");
        ASSERT_EQ(ssGetSFcnParamsCount(S), 2);
        EXPECT_EQ(ssGetSFcnParam(S, 1), step.get());
        EXPECT_EQ(S->mdlInfo->mode, 1);
        // The port arrays must be usable by the block (ASan watches them).
        ASSERT_TRUE(ssSetNumInputPorts(S, 2) && ssSetNumOutputPorts(S, 1));
        ssSetInputPortWidth(S, 1, 4);
        ssSetOutputPortWidth(S, 0, 3);
        S->sizes[SS_SIZES_NUM_BLOCK_PARAMS] = S->sizes[SS_SIZES_CHECKSUM0] = -1;
        S->sizes[SS_SIZES_FLAGS] = 1;
        ssSetErrorStatus(S, "F*** from the block");
    };
    ArrayPtr sizes;
    auto r = sizesCall(
        0, {empty.get(), empty.get(), empty.get(), zero.get(), model.get(), step.get()}, &sizes);
    ASSERT_TRUE(r.ok) << r.error;
    // With nlhs 0 the vector still comes back, even after an error status.
    ASSERT_TRUE(sizes && mxGetM(sizes.get()) == 38 && mxGetN(sizes.get()) == 1);
    const double* v = mxGetPr(sizes.get());
    EXPECT_EQ(v[SS_SIZES_NUM_INPUT_PORTS] * 10 + v[SS_SIZES_NUM_OUTPUT_PORTS], 21);
    EXPECT_EQ(v[SS_SIZES_PORT_METHOD_FLAGS], SS_PORT_COUNTS_SET);
    EXPECT_EQ(v[SS_SIZES_NUM_BLOCK_PARAMS], -1.0);
    EXPECT_EQ(v[SS_SIZES_CHECKSUM0], 4294967295.0); // an unsigned word
    EXPECT_EQ(v[SS_SIZES_VERSION], 5200229.0);
    EXPECT_EQ(v[SS_SIZES_FLAGS], 8193.0); // the block's flag and the sizes-call flag
    // Nobody else reads the error status on this road: it is shown as a
    // warning, as is a parameter count that sizing did not take.
    EXPECT_EQ(out, "Warning: F*** from the block\n");
    fakeblock::onSizes = [](SimStruct* S) { ssSetNumSFcnParams(S, 6); };
    out.clear();
    ASSERT_TRUE(
        sizesCall(0, {empty.get(), empty.get(), empty.get(), zero.get(), model.get()}, &sizes).ok);
    EXPECT_EQ(out, "Warning: zelvanesl61 takes 6 dialog parameters after the flag (Model, "
                   "Product, Simulation Duration Source, Timestep, Inputs, Outputs), not 1\n");
}

TEST_F(FrameSizesCall, SimulinksSimStructComesOnlyFromAWellFormedXAndItsOwnName) {
    auto S = std::make_unique<SimStruct>(); // heap: far above 4 GiB on a 64-bit host
    S->modelName = "zelvanesl6";
    const double a = addressOf(S.get());
    EXPECT_EQ(call(1, column(a, kStamp).get(), zero.get()).error,
              "S-function name mismatch. Name in source is \"#define S_FUNCTION_NAME "
              "zelvanesl61\", whereas name of the S-function MEX file is \"zelvanesl6\". The "
              "source needs to be updated");
    EXPECT_TRUE(fakeblock::calls.empty());

    // Any other x means a stand-alone SimStruct (this one's name would be refused).
    ArrayPtr x3 = makeMatrix(3, 1, {a, 0, kStamp}), x20(mxCreateDoubleMatrix(2, 0, mxREAL));
    ArrayPtr xs[] = {std::move(x3),     std::move(x20),          column(a, kStamp - 1),
                     column(0, kStamp), column(a + 0.5, kStamp), column(-a, kStamp)};
    for (const ArrayPtr& x : xs) {
        fakeblock::reset();
        ASSERT_TRUE(call(1, x.get(), zero.get()).ok);
        EXPECT_NE(fakeblock::calls.at(0).S, S.get());
    }
}

class FrameDispatch : public FrameSizesCall {
  protected:
    void SetUp() override {
        FrameSizesCall::SetUp();
        S.modelName = "zelvanesl61";
        S.root = &S;
        S.mdlInfo = &info;
        S.methods2 = &methods2;
        ASSERT_TRUE(call(1, column(addressOf(&S), kStamp).get(), zero.get()).ok);
        fakeblock::reset();
    }
    // Simulink's callback call: what ran, then "! status" if one was set.
    std::string flag(const mxArray* f, int callArg = 0, int nrhs = 4) {
        fakeblock::reset();
        S.errorStatus = nullptr;
        S.sizes[SS_SIZES_CALL_ARG] = callArg;
        const mxArray* prhs[4] = {zero.get(), empty.get(), empty.get(), f};
        mxArray* plhs[2] = {nullptr, reinterpret_cast<mxArray*>(&S)};
        EXPECT_TRUE(zvhost::callMex(mexFunction, -1, plhs, nrhs, prhs).ok);
        EXPECT_EQ(plhs[0], nullptr);
        std::string ran; // a method as "name[ tid][ elsewhere]"
        for (auto& c : fakeblock::calls)
            ran += c.method + (c.tid ? " " + std::to_string(c.tid) : "") +
                   (c.S == &S ? "" : " elsewhere");
        return S.errorStatus ? ran + "! " + S.errorStatus : ran;
    }
    std::string flag(double f, int callArg = 0) { return flag(makeScalar(f).get(), callArg); }

    SimStruct S{};
    ssMdlInfo info{};
    ssSFcnMethods2 methods2{};
};

TEST_F(FrameDispatch, EveryFlagReachesItsMethodOrItsText) {
    // One word per flag from 100 on: the method that runs, "?name" for the text "Unexpected
    // call to name" (methods no block of this kind registers), or "-" for an invalid flag.
    std::istringstream expected(
        "- mdlInitializeSampleTimes mdlInitializeConditions mdlGetTimeOfNextVarHit mdlOutputs "
        "mdlUpdate mdlDerivatives mdlTerminate mdlZeroCrossings - - ?mdlSetWorkWidths "
        "?mdlCheckParameters ?mdlSetInputPortDataType ?mdlSetOutputPortDataType "
        "?mdlSetInputPortWidth ?mdlSetOutputPortWidth - - - ?mdlSetInputPortComplexSignal "
        "?mdlSetOutputPortComplexSignal ?mdlSetInputPortSampleTime ?mdlSetOutputPortSampleTime - "
        "- ?mdlSetInputPortDimensionInfo ?mdlSetOutputPortDimensionInfo ?mdlSetInputPortFrameData "
        "- - ?mdlSetDefaultPortDimensionInfo ?mdlSetDefaultPortDataTypes "
        "?mdlSetDefaultPortComplexSignals -");
    for (int f = 100; f <= 134; ++f) {
        std::string e;
        ASSERT_TRUE(expected >> e);
        EXPECT_EQ(flag(f), e == "-"      ? "! " + kInvalid
                           : e[0] == '?' ? "! Unexpected call to " + e.substr(1)
                                         : e);
    }
    // 'e' is 101: only the real data of a double counts. -0.0 is 0, no callback flag.
    for (const ArrayPtr& f : {makeScalar(0), makeScalar(-0.0), makeScalar(-104), makeScalar(1e12),
                              makeScalar(std::nan("")), makeString("e")})
        EXPECT_EQ(flag(f.get()), "! " + kInvalid);
    // Three arguments (the fourth slot holds a flag that must not be read), an empty flag.
    EXPECT_EQ(flag(makeScalar(101).get(), 0, 3), "! " + kInvalid);
    EXPECT_EQ(flag(empty.get()), "! " + kInvalid);
    // Truncated; the imaginary part is ignored.
    EXPECT_EQ(flag(101.9), "mdlInitializeSampleTimes");
    EXPECT_EQ(flag(complexScalar(107, 3).get()), "mdlTerminate");
}

TEST_F(FrameDispatch, OutputsSeeTheMinorStepMarkerAndGuardedMethodsNeedTheirSlot) {
    EXPECT_EQ(flag(104, -2), "mdlOutputs -2");
    EXPECT_EQ(flag(104, -1), "mdlOutputs");
    EXPECT_EQ(flag(105, -2), "mdlUpdate");
    S.methods = ssSFcnMethods{};
    EXPECT_EQ(flag(102), "! Unexpected call to mdlInitializeConditions");
    EXPECT_EQ(flag(105), "! Unexpected call to mdlUpdate");
    EXPECT_EQ(flag(106), "! Unexpected call to mdlDerivatives");
    EXPECT_EQ(flag(104), "mdlOutputs"); // does not look at the table
    // A slot holding something else still runs the block's own method.
    S.methods.mdlUpdate = [](SimStruct*, int_T) {};
    EXPECT_EQ(flag(105), "mdlUpdate");
    S.methods2 = nullptr; // without a second table its flags end with their texts
    EXPECT_EQ(flag(132), "! Unexpected call to mdlSetDefaultPortDataTypes");

    // Through a dispatch without a negative nlhs (Octave's) the SimStruct
    // comes in x; without it, or with another name there, the flag is refused.
    fakeblock::reset();
    ArrayPtr x = column(addressOf(&S), kStamp), f = makeScalar(104);
    S.sizes[SS_SIZES_CALL_ARG] = -2;
    EXPECT_TRUE(call(0, x.get(), f.get()).ok);
    ASSERT_EQ(fakeblock::calls.size(), 1u);
    EXPECT_EQ(fakeblock::calls[0].method + std::to_string(fakeblock::calls[0].tid), "mdlOutputs-2");
    S.modelName = "other";
    EXPECT_EQ(call(0, x.get(), f.get()).error, "Invalid flag passed to " + kName);
}

} // namespace
