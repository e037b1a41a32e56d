// The MEX entry: the sizes call from MATLAB and Simulink, and the dispatch of
// callback flags.
#include "frame/simulink.h"
#include "frame_support.h"

#include <cmath>
#include <cstdint>
#include <sstream>

using frametest::ArrayPtr;
using frametest::emptyArray;
using zvhost::makeMatrix;
using zvhost::makeScalar;
using zvhost::makeString;

namespace {

const std::string kName = "MEX level2 S-function \"zelvanesl61\"";
const std::string kInvalid = "Invalid flag encountered in simulink.c";

double addressOf(SimStruct* S) {
    return static_cast<double>(reinterpret_cast<std::uintptr_t>(S));
}
ArrayPtr simulinkX(SimStruct* S) {
    return makeMatrix(2, 1, {addressOf(S), static_cast<double>(SIMSTRUCT_VERSION_LEVEL2)});
}
ArrayPtr complexScalar(double re, double im) {
    ArrayPtr a(mxCreateDoubleMatrix(1, 1, mxCOMPLEX));
    mxGetPr(a.get())[0] = re;
    mxGetPi(a.get())[0] = im;
    return a;
}

class FrameSizesCall : public frametest::FrameTest {
  protected:
    // zelvanesl61([], x, [], flag).
    zvhost::CallResult call(int nlhs, const mxArray* x, const mxArray* flag,
                            ArrayPtr* result = nullptr) {
        return sizesCall(nlhs, {empty.get(), x, empty.get(), flag}, result);
    }
    ArrayPtr empty = emptyArray();
    ArrayPtr zero = makeScalar(0.0);
};

TEST_F(FrameSizesCall, ArgumentChecksEndTheCallWithTheirMessages) {
    for (int nlhs : {0, 1, 2})
        EXPECT_EQ(sizesCall(nlhs, {empty.get(), empty.get(), empty.get()}).error,
                  kName + " must be called with at least 4 right hand arguments");
    EXPECT_EQ(call(2, empty.get(), zero.get()).error,
              kName + " called with too many left hand arguments");

    const std::string notInteger =
        "The 4th right hand argument, FLAG, passed to " + kName + " must be an integer";
    std::vector<std::pair<ArrayPtr, std::string>> flags;
    for (double bad : {0.5, std::nan(""), 1e10})
        flags.emplace_back(makeScalar(bad), notInteger);
    flags.emplace_back(makeMatrix(1, 2, {0, 0}), notInteger);
    flags.emplace_back(complexScalar(0, 0), notInteger);
    flags.emplace_back(makeString("0"), notInteger);
    flags.emplace_back(ArrayPtr(mxCreateLogicalScalar(false)), notInteger);
    flags.emplace_back(emptyArray(), notInteger);
    flags.emplace_back(makeScalar(1.0), "Invalid flag passed to " + kName);
    // Zero in any numeric form is the sizes call.
    flags.emplace_back(makeScalar(-0.0), "");
    flags.emplace_back(ArrayPtr(mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL)), "");
    for (auto& [flag, text] : flags) {
        fakeblock::reset();
        ArrayPtr result;
        EXPECT_EQ(call(1, empty.get(), flag.get(), &result).error, text);
        EXPECT_EQ(result != nullptr, text.empty()) << text;
        EXPECT_EQ(fakeblock::calls().size(), text.empty() ? 1u : 0u) << text;
    }
}

TEST_F(FrameSizesCall, CommandLineCallSizesAStandAloneSimStructAndReturnsTheRecord) {
    ArrayPtr model = makeString("simple"), step = makeScalar(0.1);
    fakeblock::onSizes() = [&](SimStruct* S) {
        EXPECT_STREQ(ssGetModelName(S), "zelvanesl61");
        EXPECT_STREQ(ssGetPath(S), "zelvanesl61");
        ASSERT_EQ(ssGetSFcnParamsCount(S), 2);
        EXPECT_EQ(ssGetSFcnParam(S, 0), model.get());
        EXPECT_EQ(ssGetSFcnParam(S, 1), step.get());
        EXPECT_EQ(S->mdlInfo->mode, 1);
        EXPECT_TRUE(S->methods.mdlOutputs == nullptr && S->methods2 == nullptr);
        EXPECT_FALSE(ssSetNumInputPorts(S, -1));
        EXPECT_EQ(ssGetNumInputPorts(S), 0);
        // The port arrays must be usable by the block (ASan watches them).
        ASSERT_TRUE(ssSetNumInputPorts(S, 2));
        ASSERT_TRUE(ssSetNumOutputPorts(S, 1));
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
    ASSERT_EQ(fakeblock::calls().size(), 1u);
    // With nlhs 0 the vector still comes back, even after an error status.
    ASSERT_NE(sizes, nullptr);
    ASSERT_EQ(mxGetM(sizes.get()), 38u);
    ASSERT_EQ(mxGetN(sizes.get()), 1u);
    const double* v = mxGetPr(sizes.get());
    EXPECT_EQ(v[SS_SIZES_NUM_INPUT_PORTS], 2);
    EXPECT_EQ(v[SS_SIZES_NUM_OUTPUT_PORTS], 1);
    EXPECT_EQ(v[SS_SIZES_PORT_METHOD_FLAGS], SS_PORT_COUNTS_SET);
    EXPECT_EQ(v[SS_SIZES_NUM_BLOCK_PARAMS], -1.0);
    EXPECT_EQ(v[SS_SIZES_CHECKSUM0], 4294967295.0); // an unsigned word
    EXPECT_EQ(v[SS_SIZES_VERSION], 5200229.0);
    EXPECT_EQ(v[SS_SIZES_FLAGS], 8193.0);

    // The block may change the version word; the vector reports what it left.
    fakeblock::onSizes() = [](SimStruct* S) {
        EXPECT_EQ(ssGetSFcnParamsCount(S), 0);
        S->sizes[SS_SIZES_VERSION] = 7;
    };
    ASSERT_TRUE(call(1, empty.get(), zero.get(), &sizes).ok);
    EXPECT_EQ(mxGetPr(sizes.get())[SS_SIZES_VERSION], 7.0);
    EXPECT_EQ(mxGetPr(sizes.get())[SS_SIZES_FLAGS], 8192.0);
}

TEST_F(FrameSizesCall, SimulinkSimStructIsFoundAtItsFullAddressAndGetsTheMethods) {
    auto S = std::make_unique<SimStruct>(); // heap: far above 4 GiB on a 64-bit host
    S->modelName = "zelvanesl61";
    S->root = S.get();
    ArrayPtr x = simulinkX(S.get());
    ASSERT_TRUE(call(1, x.get(), zero.get()).ok);
    ASSERT_EQ(fakeblock::calls().size(), 1u);
    EXPECT_EQ(fakeblock::calls()[0].S, S.get());
    EXPECT_NE(S->sizes[SS_SIZES_FLAGS] & SS_SIZES_FLAG_SIZES_CALL, 0);
    const ssSFcnMethods& m = S->methods;
    EXPECT_TRUE(m.mdlInitializeSizes && m.mdlInitializeSampleTimes && m.mdlInitializeConditions &&
                m.mdlGetTimeOfNextVarHit && m.mdlOutputs && m.mdlUpdate && m.mdlDerivatives &&
                m.mdlZeroCrossings && m.mdlTerminate);
    EXPECT_FALSE(m.mdlSetWorkWidths || m.mdlCheckParameters || m.mdlSetInputPortSize.width ||
                 m.mdlSetInputPortDataType || m.mdlSetInputPortSampleTime);
}

TEST_F(FrameSizesCall, ForeignModelNameEndsTheCallBeforeAnythingIsRegistered) {
    auto S = std::make_unique<SimStruct>();
    S->modelName = "zelvanesl6";
    ArrayPtr x = simulinkX(S.get());
    EXPECT_EQ(call(1, x.get(), zero.get()).error,
              "S-function name mismatch. Name in source is \"#define S_FUNCTION_NAME "
              "zelvanesl61\", whereas name of the S-function MEX file is \"zelvanesl6\". The "
              "source needs to be updated");
    EXPECT_EQ(S->methods.mdlOutputs, nullptr);
    EXPECT_TRUE(fakeblock::calls().empty());
}

TEST_F(FrameSizesCall, AnyOtherXMeansNoSimStructFromSimulink) {
    auto S = std::make_unique<SimStruct>();
    S->modelName = "elsewhere"; // would fail the name check if it were taken
    const double a = addressOf(S.get()), stamp = SIMSTRUCT_VERSION_LEVEL2;
    std::vector<ArrayPtr> xs;
    xs.push_back(makeMatrix(3, 1, {a, 0, stamp}));
    xs.push_back(makeMatrix(2, 1, {a, stamp - 1}));
    xs.push_back(ArrayPtr(mxCreateDoubleMatrix(2, 0, mxREAL)));
    for (double notAnAddress : {0.0, a + 0.5, -a})
        xs.push_back(makeMatrix(2, 1, {notAnAddress, stamp}));
    for (const ArrayPtr& x : xs) {
        fakeblock::reset();
        ASSERT_TRUE(call(1, x.get(), zero.get()).ok);
        ASSERT_EQ(fakeblock::calls().size(), 1u);
        EXPECT_NE(fakeblock::calls()[0].S, S.get());
    }
    EXPECT_EQ(S->methods.mdlOutputs, nullptr);
}

// The optional methods reached through the method tables, recorded.
struct SlotCall {
    std::string method;
    int port, value;
    const DimsInfo_T* dims;
    double sampleTime, offsetTime;
};
std::vector<SlotCall> slotCalls;
void slot(const char* method, int port = 0, int value = 0, const DimsInfo_T* dims = nullptr,
          double st = 0, double ot = 0) {
    slotCalls.push_back({method, port, value, dims, st, ot});
}

class FrameDispatch : public frametest::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        S.modelName = "zelvanesl61";
        S.path = "m/Zelvane";
        S.root = &S;
        S.mdlInfo = &info;
        S.methods2 = &methods2;
        ArrayPtr x = simulinkX(&S), empty = emptyArray(), zero = makeScalar(0.0);
        ASSERT_TRUE(sizesCall(1, {empty.get(), x.get(), empty.get(), zero.get()}).ok);
        fakeblock::reset();
    }

    // Simulink's callback call; returns the methods that ran.
    std::vector<std::string> flag(const mxArray* f, int callArg = 0) {
        fakeblock::reset();
        slotCalls.clear();
        S.errorStatus = nullptr;
        S.sizes[SS_SIZES_CALL_ARG] = callArg;
        ArrayPtr t = makeScalar(0.0), empty = emptyArray();
        const mxArray* prhs[4] = {t.get(), empty.get(), empty.get(), f};
        mxArray* plhs[2] = {nullptr, reinterpret_cast<mxArray*>(&S)};
        EXPECT_TRUE(zvhost::callMex(mexFunction, -1, plhs, 4, prhs).ok);
        EXPECT_EQ(plhs[0], nullptr);
        std::vector<std::string> ran;
        for (auto& c : fakeblock::calls())
            ran.push_back(c.method);
        for (auto& c : slotCalls)
            ran.push_back(c.method);
        return ran;
    }
    std::vector<std::string> flag(double f, int callArg = 0) {
        return flag(makeScalar(f).get(), callArg);
    }
    std::string status() const { return S.errorStatus ? S.errorStatus : ""; }
    using Ran = std::vector<std::string>;

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
        const bool runs = e[0] != '?' && e != "-";
        EXPECT_EQ(flag(f), runs ? Ran{e} : Ran{}) << f;
        EXPECT_EQ(status(), runs       ? ""
                            : e == "-" ? kInvalid
                                       : "Unexpected call to " + e.substr(1))
            << f;
    }
    std::vector<ArrayPtr> invalid;
    for (double f : {0.0, -104.0, 1e12, std::nan("")})
        invalid.push_back(makeScalar(f));
    invalid.push_back(makeString("e")); // 'e' is 101: only the real data of a double counts
    for (const ArrayPtr& f : invalid) {
        EXPECT_TRUE(flag(f.get()).empty());
        EXPECT_EQ(status(), kInvalid);
    }
    // Truncated; -0.0 is 0, no callback flag; the imaginary part is ignored.
    EXPECT_EQ(flag(101.9), Ran{"mdlInitializeSampleTimes"});
    EXPECT_EQ(flag(-0.0), Ran{});
    EXPECT_EQ(status(), kInvalid);
    EXPECT_EQ(flag(complexScalar(107, 3).get()), Ran{"mdlTerminate"});
}

TEST_F(FrameDispatch, OutputsSeeTheMinorStepMarker) {
    for (auto [callArg, tid] : {std::pair{-2, -2}, {0, 0}, {5, 0}, {-1, 0}}) {
        flag(104, callArg);
        ASSERT_EQ(fakeblock::calls().size(), 1u);
        EXPECT_EQ(fakeblock::calls()[0].tid, tid) << callArg;
        EXPECT_EQ(fakeblock::calls()[0].S, &S);
    }
    flag(105, -2);
    EXPECT_EQ(fakeblock::calls()[0].tid, 0);
}

TEST_F(FrameDispatch, GuardedMethodsNeedTheirSlotButRunTheBlocksOwn) {
    S.methods = ssSFcnMethods{};
    for (auto [f, name] :
         {std::pair{102, "mdlInitializeConditions"}, {105, "mdlUpdate"}, {106, "mdlDerivatives"}}) {
        EXPECT_TRUE(flag(f).empty());
        EXPECT_EQ(status(), std::string("Unexpected call to ") + name);
    }
    for (int f : {101, 103, 104, 107, 108}) // these do not look at the table at all
        EXPECT_EQ(flag(f).size(), 1u) << f;
    // A slot holding something else still runs the block's own method.
    S.methods.mdlUpdate = [](SimStruct*, int_T) { slot("other"); };
    EXPECT_EQ(flag(105), Ran{"mdlUpdate"});
}

TEST_F(FrameDispatch, PortMethodsGetTheirArgumentsFromTheModelInformation) {
    ssSFcnMethods& m = S.methods;
    m.mdlSetInputPortSize.width = [](SimStruct*, int_T p, int_T w) { slot("inWidth", p, w); };
    m.mdlSetOutputPortDataType = [](SimStruct*, int_T p, int_T v) { slot("outType", p, v); };
    m.mdlSetInputPortSampleTime = [](SimStruct*, int_T p, real_T st, real_T ot) {
        slot("inTime", p, 0, nullptr, st, ot);
    };
    m.mdlSetWorkWidths = [](SimStruct*) { slot("work"); };
    methods2.mdlSetInputPortFrameData = [](SimStruct*, int_T p, int_T v) { slot("frame", p, v); };
    methods2.mdlSetDefaultPortDataTypes = [](SimStruct*) { slot("defaultTypes"); };
    info.portArgInt = 9;
    info.portArgSampleTime = 0.25;
    info.portArgOffsetTime = 0.125;

    EXPECT_EQ(flag(115, 3), Ran{"inWidth"});
    EXPECT_EQ(slotCalls[0].port, 3);
    EXPECT_EQ(slotCalls[0].value, 9);
    EXPECT_EQ(flag(114, 1), Ran{"outType"});
    EXPECT_EQ(flag(122, 2), Ran{"inTime"});
    EXPECT_EQ(slotCalls[0].sampleTime, 0.25);
    EXPECT_EQ(slotCalls[0].offsetTime, 0.125);
    EXPECT_EQ(flag(111), Ran{"work"});
    EXPECT_EQ(flag(128, 1), Ran{"frame"});
    EXPECT_EQ(slotCalls[0].value, 9);
    EXPECT_EQ(flag(132), Ran{"defaultTypes"});

    // The width method in the shared slot does not answer dimension calls.
    EXPECT_TRUE(flag(126).empty());
    EXPECT_EQ(status(), "Unexpected call to mdlSetInputPortDimensionInfo");
    // Once the port methods take dimensions, 126 reaches the slot and 115 is refused.
    m.mdlSetInputPortSize.dims = [](SimStruct*, int_T p, const DimsInfo_T* d) {
        slot("inDims", p, 0, d);
    };
    S.sizes[SS_SIZES_PORT_METHOD_FLAGS] |= SS_PORT_METHODS_TAKE_DIMS;
    DimsInfo_T dims = {4, 1, nullptr, 0};
    info.portArgDims = &dims;
    EXPECT_EQ(flag(126), Ran{"inDims"});
    EXPECT_EQ(slotCalls[0].dims, &dims);
    EXPECT_TRUE(flag(115).empty());
    EXPECT_EQ(status(), "Unexpected call to mdlSetInputPortWidth");
    EXPECT_TRUE(flag(127).empty());
    EXPECT_EQ(status(), "Unexpected call to mdlSetOutputPortDimensionInfo");
    // Without a second table its flags end with their texts.
    S.methods2 = nullptr;
    EXPECT_TRUE(flag(132).empty());
    EXPECT_EQ(status(), "Unexpected call to mdlSetDefaultPortDataTypes");
}

TEST_F(FrameDispatch, MalformedCallbackCallsOnlySetTheStatus) {
    ArrayPtr f = makeScalar(101), empty = emptyArray();
    const mxArray* prhs[4] = {nullptr, nullptr, nullptr, f.get()};
    mxArray* plhs[2] = {nullptr, reinterpret_cast<mxArray*>(&S)};
    EXPECT_TRUE(zvhost::callMex(mexFunction, -1, plhs, 3, prhs).ok);
    EXPECT_EQ(status(), kInvalid);
    prhs[3] = empty.get();
    S.errorStatus = nullptr;
    EXPECT_TRUE(zvhost::callMex(mexFunction, -1, plhs, 4, prhs).ok);
    EXPECT_EQ(status(), kInvalid);
    EXPECT_TRUE(fakeblock::calls().empty());
}

} // namespace
