// The MEX entry: the sizes call from MATLAB and Simulink, and the dispatch of
// callback flags.
#include "frame/simulink.h"
#include "frame_support.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>

using frametest::emptyArray;
using zvhost::ArrayPtr;
using zvhost::makeMatrix;
using zvhost::makeScalar;
using zvhost::makeString;

namespace {

const std::string kName = "MEX level2 S-function \"zelvanesl61\"";

double addressOf(SimStruct* S) {
    return static_cast<double>(reinterpret_cast<std::uintptr_t>(S));
}

ArrayPtr simulinkX(SimStruct* S) {
    return makeMatrix(2, 1, {addressOf(S), static_cast<double>(SIMSTRUCT_VERSION_LEVEL2)});
}

class FrameSizesCall : public frametest::FrameTest {
  protected:
    // zelvanesl61([], x, [], flag) with the given x and flag.
    zvhost::CallResult call(int nlhs, const mxArray* x, const mxArray* flag,
                            ArrayPtr* result = nullptr) {
        return sizesCall(nlhs, {empty.get(), x, empty.get(), flag}, result);
    }
    ArrayPtr empty = emptyArray();
    ArrayPtr zero = makeScalar(0.0);
};

TEST_F(FrameSizesCall, ArgumentChecksEndTheCallWithTheirMessages) {
    const std::string tooFew = kName + " must be called with at least 4 right hand arguments";
    for (int nlhs : {0, 1, 2}) {
        auto r = sizesCall(nlhs, {empty.get(), empty.get(), empty.get()});
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, tooFew) << "nlhs " << nlhs;
    }
    auto r = call(2, empty.get(), zero.get());
    EXPECT_EQ(r.error, kName + " called with too many left hand arguments");

    const std::string badFlag =
        "The 4th right hand argument, FLAG, passed to " + kName + " must be an integer";
    ArrayPtr half = makeScalar(0.5);
    ArrayPtr pair = makeMatrix(1, 2, {0, 0});
    ArrayPtr complexZero(mxCreateDoubleMatrix(1, 1, mxCOMPLEX));
    ArrayPtr text = makeString("0");
    ArrayPtr logical(mxCreateLogicalScalar(false));
    ArrayPtr nan = makeScalar(std::nan(""));
    ArrayPtr huge = makeScalar(1e10);
    for (const mxArray* flag : {half.get(), pair.get(), complexZero.get(), text.get(),
                                logical.get(), nan.get(), huge.get(), empty.get()}) {
        ArrayPtr result;
        auto r2 = call(1, empty.get(), flag, &result);
        EXPECT_EQ(r2.error, badFlag);
        EXPECT_EQ(result, nullptr);
    }
    ArrayPtr one = makeScalar(1.0);
    EXPECT_EQ(call(1, empty.get(), one.get()).error, "Invalid flag passed to " + kName);
    EXPECT_TRUE(fakeblock::calls().empty());
}

TEST_F(FrameSizesCall, ZeroFlagInAnyNumericFormIsAccepted) {
    ArrayPtr negativeZero = makeScalar(-0.0);
    ArrayPtr intZero(mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL));
    for (const mxArray* flag : {zero.get(), negativeZero.get(), intZero.get()}) {
        fakeblock::reset();
        EXPECT_TRUE(call(1, empty.get(), flag).ok);
        EXPECT_EQ(fakeblock::calls().size(), 1u);
    }
}

TEST_F(FrameSizesCall, CommandLineCallSizesAStandAloneSimStruct) {
    ArrayPtr model = makeString("simple");
    ArrayPtr step = makeScalar(0.1);
    struct Seen {
        std::string modelName, path;
        int params = -1;
        const mxArray* first = nullptr;
        const mxArray* second = nullptr;
        int mode = 0;
        bool refusedNegative = false;
        bool methodsEmpty = false;
    } seen;
    fakeblock::onSizes() = [&](SimStruct* S) {
        seen.modelName = ssGetModelName(S);
        seen.path = ssGetPath(S);
        seen.params = ssGetSFcnParamsCount(S);
        seen.first = ssGetSFcnParam(S, 0);
        seen.second = ssGetSFcnParam(S, 1);
        seen.mode = S->mdlInfo->mode;
        seen.methodsEmpty = S->methods.mdlOutputs == nullptr && S->methods2 == nullptr;
        seen.refusedNegative = !ssSetNumInputPorts(S, -1) && ssGetNumInputPorts(S) == 0;
        // The port arrays must be usable by the block (ASan watches them).
        ASSERT_TRUE(ssSetNumInputPorts(S, 2));
        ASSERT_TRUE(ssSetNumOutputPorts(S, 1));
        ssSetInputPortWidth(S, 1, 4);
        ssSetOutputPortWidth(S, 0, 3);
        ssSetErrorStatus(S, "F*** from the block");
    };
    ArrayPtr sizes;
    auto r = sizesCall(
        0, {empty.get(), empty.get(), empty.get(), zero.get(), model.get(), step.get()}, &sizes);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(seen.modelName, "zelvanesl61");
    EXPECT_EQ(seen.path, "zelvanesl61");
    EXPECT_EQ(seen.params, 2);
    EXPECT_EQ(seen.first, model.get());
    EXPECT_EQ(seen.second, step.get());
    EXPECT_EQ(seen.mode, 1);
    EXPECT_TRUE(seen.methodsEmpty);
    EXPECT_TRUE(seen.refusedNegative);
    // With nlhs 0 the vector still comes back, even after an error status.
    ASSERT_NE(sizes, nullptr);
    const double* v = mxGetPr(sizes.get());
    EXPECT_EQ(v[SS_SIZES_NUM_INPUT_PORTS], 2);
    EXPECT_EQ(v[SS_SIZES_NUM_OUTPUT_PORTS], 1);
    EXPECT_EQ(v[SS_SIZES_PORT_METHOD_FLAGS], SS_PORT_COUNTS_SET);

    fakeblock::onSizes() = [&](SimStruct* S) { seen.params = ssGetSFcnParamsCount(S); };
    EXPECT_TRUE(call(1, empty.get(), zero.get()).ok);
    EXPECT_EQ(seen.params, 0);
}

TEST_F(FrameSizesCall, SizesVectorCarriesTheRecordWithUnsignedWordsAndTheFlagBit) {
    fakeblock::onSizes() = [](SimStruct* S) {
        S->sizes[14] = -1;
        S->sizes[15] = -1;
        S->sizes[SS_SIZES_FLAGS] = 1;
        S->sizes[SS_SIZES_NUM_IWORK] = 1;
    };
    ArrayPtr sizes;
    ASSERT_TRUE(call(1, empty.get(), zero.get(), &sizes).ok);
    ASSERT_EQ(mxGetM(sizes.get()), 38u);
    ASSERT_EQ(mxGetN(sizes.get()), 1u);
    const double* v = mxGetPr(sizes.get());
    EXPECT_EQ(v[14], -1.0);
    EXPECT_EQ(v[15], 4294967295.0);
    EXPECT_EQ(v[SS_SIZES_VERSION], 5200229.0);
    EXPECT_EQ(v[SS_SIZES_FLAGS], 8193.0);
    EXPECT_EQ(v[SS_SIZES_NUM_IWORK], 1.0);

    // The block may change the version word; the vector reports what it left.
    fakeblock::onSizes() = [](SimStruct* S) { S->sizes[SS_SIZES_VERSION] = 7; };
    ASSERT_TRUE(call(1, empty.get(), zero.get(), &sizes).ok);
    EXPECT_EQ(mxGetPr(sizes.get())[SS_SIZES_VERSION], 7.0);
    EXPECT_EQ(mxGetPr(sizes.get())[SS_SIZES_FLAGS], 8192.0);
}

TEST_F(FrameSizesCall, SimulinkSimStructIsFoundAtItsFullAddressAndGetsTheMethods) {
    // Heap memory lies far above 4 GiB on a 64-bit host.
    auto S = std::make_unique<SimStruct>();
    S->modelName = "zelvanesl61";
    S->root = S.get();
    ArrayPtr x = simulinkX(S.get());
    ASSERT_TRUE(call(1, x.get(), zero.get()).ok);
    ASSERT_EQ(fakeblock::calls().size(), 1u);
    EXPECT_EQ(fakeblock::calls()[0].S, S.get());
    EXPECT_EQ(S->sizes[SS_SIZES_VERSION], SIMSTRUCT_VERSION_LEVEL2);
    EXPECT_NE(S->sizes[SS_SIZES_FLAGS] & SS_SIZES_FLAG_SIZES_CALL, 0);
    const ssSFcnMethods& m = S->methods;
    for (auto fn : {m.mdlInitializeSampleTimes, m.mdlInitializeConditions, m.mdlGetTimeOfNextVarHit,
                    m.mdlDerivatives, m.mdlZeroCrossings, m.mdlTerminate})
        EXPECT_NE(fn, nullptr);
    EXPECT_NE(m.mdlInitializeSizes, nullptr);
    EXPECT_NE(m.mdlOutputs, nullptr);
    EXPECT_NE(m.mdlUpdate, nullptr);
    for (auto fn : {m.mdlSetWorkWidths, m.mdlCheckParameters})
        EXPECT_EQ(fn, nullptr);
    EXPECT_EQ(m.mdlSetInputPortSize.width, nullptr);
    EXPECT_EQ(m.mdlSetInputPortDataType, nullptr);
    EXPECT_EQ(m.mdlSetInputPortSampleTime, nullptr);
}

TEST_F(FrameSizesCall, ForeignModelNameEndsTheCallBeforeAnythingIsRegistered) {
    auto S = std::make_unique<SimStruct>();
    S->modelName = "zelvanesl6";
    ArrayPtr x = simulinkX(S.get());
    auto r = call(1, x.get(), zero.get());
    EXPECT_EQ(r.error, "S-function name mismatch. Name in source is \"#define S_FUNCTION_NAME "
                       "zelvanesl61\", whereas name of the S-function MEX file is "
                       "\"zelvanesl6\". The source needs to be updated");
    EXPECT_EQ(S->methods.mdlOutputs, nullptr);
    EXPECT_TRUE(fakeblock::calls().empty());
}

TEST_F(FrameSizesCall, AnyOtherXMeansNoSimStructFromSimulink) {
    auto S = std::make_unique<SimStruct>();
    S->modelName = "elsewhere"; // would fail the name check if it were taken
    const double a = addressOf(S.get());
    const double stamp = SIMSTRUCT_VERSION_LEVEL2;
    std::vector<ArrayPtr> xs;
    xs.push_back(makeMatrix(3, 1, {a, 0, stamp}));
    xs.push_back(makeMatrix(2, 1, {a, stamp - 1}));
    xs.push_back(ArrayPtr(mxCreateDoubleMatrix(2, 0, mxREAL)));
    xs.push_back(makeMatrix(2, 1, {0.0, stamp}));
    xs.push_back(makeMatrix(2, 1, {a + 0.5, stamp}));
    xs.push_back(makeMatrix(2, 1, {-a, stamp}));
    for (const ArrayPtr& x : xs) {
        fakeblock::reset();
        ASSERT_TRUE(call(1, x.get(), zero.get()).ok);
        ASSERT_EQ(fakeblock::calls().size(), 1u);
        EXPECT_NE(fakeblock::calls()[0].S, S.get());
    }
    EXPECT_EQ(S->methods.mdlOutputs, nullptr);
}

// Records the optional methods reached through the method tables.
struct SlotCall {
    std::string method;
    int port;
    int value;
    const DimsInfo_T* dims;
    double sampleTime, offsetTime;
};
std::vector<SlotCall>& slotCalls() {
    static std::vector<SlotCall> v;
    return v;
}

class FrameDispatch : public frametest::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        slotCalls().clear();
        S.modelName = "zelvanesl61";
        S.path = "m/Zelvane";
        S.root = &S;
        S.mdlInfo = &info;
        S.methods2 = &methods2;
        ArrayPtr x = simulinkX(&S);
        ArrayPtr empty = emptyArray();
        ArrayPtr zero = makeScalar(0.0);
        ASSERT_TRUE(sizesCall(1, {empty.get(), x.get(), empty.get(), zero.get()}).ok);
        fakeblock::reset();
    }

    // Simulink's callback call; returns the methods that ran.
    std::vector<std::string> flag(const mxArray* f, int callArg = 0) {
        fakeblock::reset();
        slotCalls().clear();
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
        for (auto& c : slotCalls())
            ran.push_back(c.method);
        return ran;
    }
    std::vector<std::string> flag(double f, int callArg = 0) {
        ArrayPtr a = makeScalar(f);
        return flag(a.get(), callArg);
    }
    std::string status() const { return S.errorStatus ? S.errorStatus : ""; }

    SimStruct S{};
    ssMdlInfo info{};
    ssSFcnMethods2 methods2{};
};

TEST_F(FrameDispatch, EveryFlagReachesItsMethodOrItsText) {
    const std::string invalid = "Invalid flag encountered in simulink.c";
    const std::map<int, std::string> runs = {{101, "mdlInitializeSampleTimes"},
                                             {102, "mdlInitializeConditions"},
                                             {103, "mdlGetTimeOfNextVarHit"},
                                             {104, "mdlOutputs"},
                                             {105, "mdlUpdate"},
                                             {106, "mdlDerivatives"},
                                             {107, "mdlTerminate"},
                                             {108, "mdlZeroCrossings"}};
    // Registered by no block of this kind: each ends with its own text.
    const std::map<int, std::string> unexpected = {{111, "mdlSetWorkWidths"},
                                                   {112, "mdlCheckParameters"},
                                                   {113, "mdlSetInputPortDataType"},
                                                   {114, "mdlSetOutputPortDataType"},
                                                   {115, "mdlSetInputPortWidth"},
                                                   {116, "mdlSetOutputPortWidth"},
                                                   {120, "mdlSetInputPortComplexSignal"},
                                                   {121, "mdlSetOutputPortComplexSignal"},
                                                   {122, "mdlSetInputPortSampleTime"},
                                                   {123, "mdlSetOutputPortSampleTime"},
                                                   {126, "mdlSetInputPortDimensionInfo"},
                                                   {127, "mdlSetOutputPortDimensionInfo"},
                                                   {128, "mdlSetInputPortFrameData"},
                                                   {131, "mdlSetDefaultPortDimensionInfo"},
                                                   {132, "mdlSetDefaultPortDataTypes"},
                                                   {133, "mdlSetDefaultPortComplexSignals"}};
    for (int f = 100; f <= 134; ++f) {
        auto ran = flag(f);
        if (runs.count(f)) {
            EXPECT_EQ(ran, std::vector<std::string>{runs.at(f)}) << f;
            EXPECT_EQ(status(), "") << f;
            continue;
        }
        EXPECT_TRUE(ran.empty()) << f;
        EXPECT_EQ(status(),
                  unexpected.count(f) ? "Unexpected call to " + unexpected.at(f) : invalid)
            << f;
    }
    for (double f : {0.0, -104.0, 1e12, std::nan(""), -1e300}) {
        EXPECT_TRUE(flag(f).empty());
        EXPECT_EQ(status(), invalid) << f;
    }
    // Only the real data of a double counts.
    ArrayPtr text = makeString("e"); // 'e' is 101
    EXPECT_TRUE(flag(text.get()).empty());
    EXPECT_EQ(status(), invalid);
}

TEST_F(FrameDispatch, FlagIsTruncatedAndOutputsSeeTheMinorStepMarker) {
    EXPECT_EQ(flag(101.9), std::vector<std::string>{"mdlInitializeSampleTimes"});
    EXPECT_EQ(flag(-0.0), std::vector<std::string>{}); // 0 is no callback flag
    ArrayPtr complex(mxCreateDoubleMatrix(1, 1, mxCOMPLEX));
    mxGetPr(complex.get())[0] = 107;
    mxGetPi(complex.get())[0] = 3;
    EXPECT_EQ(flag(complex.get()), std::vector<std::string>{"mdlTerminate"});

    const std::pair<int, int> tids[] = {{-2, -2}, {0, 0}, {5, 0}, {-1, 0}};
    for (auto [callArg, tid] : tids) {
        flag(104, callArg);
        ASSERT_EQ(fakeblock::calls().size(), 1u);
        EXPECT_EQ(fakeblock::calls()[0].tid, tid) << callArg;
        EXPECT_EQ(fakeblock::calls()[0].S, &S);
    }
    flag(105);
    EXPECT_EQ(fakeblock::calls()[0].tid, 0);
}

TEST_F(FrameDispatch, GuardedMethodsNeedTheirSlotButRunTheBlocksOwn) {
    S.methods = ssSFcnMethods{};
    for (auto [f, text] :
         {std::pair<int, const char*>{102, "Unexpected call to mdlInitializeConditions"},
          {105, "Unexpected call to mdlUpdate"},
          {106, "Unexpected call to mdlDerivatives"}}) {
        EXPECT_TRUE(flag(f).empty());
        EXPECT_EQ(status(), text);
    }
    // The direct ones do not look at the table at all.
    for (int f : {101, 103, 104, 107, 108}) {
        EXPECT_EQ(flag(f).size(), 1u) << f;
        EXPECT_EQ(status(), "");
    }
    // A slot holding something else still runs the block's own method.
    S.methods.mdlUpdate = [](SimStruct*, int_T) {
        slotCalls().push_back({"other", 0, 0, nullptr, 0, 0});
    };
    EXPECT_EQ(flag(105), std::vector<std::string>{"mdlUpdate"});
}

TEST_F(FrameDispatch, PortMethodsGetTheirArgumentsFromTheModelInformation) {
    ssSFcnMethods& m = S.methods;
    m.mdlSetInputPortSize.width = [](SimStruct*, int_T p, int_T w) {
        slotCalls().push_back({"inWidth", p, w, nullptr, 0, 0});
    };
    m.mdlSetOutputPortDataType = [](SimStruct*, int_T p, int_T v) {
        slotCalls().push_back({"outType", p, v, nullptr, 0, 0});
    };
    m.mdlSetInputPortSampleTime = [](SimStruct*, int_T p, real_T st, real_T ot) {
        slotCalls().push_back({"inTime", p, 0, nullptr, st, ot});
    };
    m.mdlSetWorkWidths = [](SimStruct*) { slotCalls().push_back({"work", 0, 0, nullptr, 0, 0}); };
    methods2.mdlSetInputPortFrameData = [](SimStruct*, int_T p, int_T v) {
        slotCalls().push_back({"frame", p, v, nullptr, 0, 0});
    };
    methods2.mdlSetDefaultPortDataTypes = [](SimStruct*) {
        slotCalls().push_back({"defaultTypes", 0, 0, nullptr, 0, 0});
    };
    info.portArgInt = 9;
    info.portArgSampleTime = 0.25;
    info.portArgOffsetTime = 0.125;

    EXPECT_EQ(flag(115, 3), std::vector<std::string>{"inWidth"});
    EXPECT_EQ(slotCalls()[0].port, 3);
    EXPECT_EQ(slotCalls()[0].value, 9);
    EXPECT_EQ(flag(114, 1), std::vector<std::string>{"outType"});
    EXPECT_EQ(flag(122, 2), std::vector<std::string>{"inTime"});
    EXPECT_EQ(slotCalls()[0].sampleTime, 0.25);
    EXPECT_EQ(slotCalls()[0].offsetTime, 0.125);
    EXPECT_EQ(flag(111), std::vector<std::string>{"work"});
    EXPECT_EQ(flag(128, 1), std::vector<std::string>{"frame"});
    EXPECT_EQ(slotCalls()[0].value, 9);
    EXPECT_EQ(flag(132), std::vector<std::string>{"defaultTypes"});

    // The width method in the shared slot does not answer dimension calls.
    EXPECT_TRUE(flag(126).empty());
    EXPECT_EQ(status(), "Unexpected call to mdlSetInputPortDimensionInfo");

    // Once bit 0 says the port methods take dimensions, 126 reaches the same
    // slot and 115 is refused.
    m.mdlSetInputPortSize.dims = [](SimStruct*, int_T p, const DimsInfo_T* d) {
        slotCalls().push_back({"inDims", p, 0, d, 0, 0});
    };
    S.sizes[SS_SIZES_PORT_METHOD_FLAGS] |= SS_PORT_METHODS_TAKE_DIMS;
    DimsInfo_T dims = {4, 1, nullptr, 0};
    info.portArgDims = &dims;
    EXPECT_EQ(flag(126, 0), std::vector<std::string>{"inDims"});
    EXPECT_EQ(slotCalls()[0].dims, &dims);
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
    ArrayPtr f = makeScalar(101);
    const mxArray* prhs[4] = {nullptr, nullptr, nullptr, f.get()};
    mxArray* plhs[2] = {nullptr, reinterpret_cast<mxArray*>(&S)};
    EXPECT_TRUE(zvhost::callMex(mexFunction, -1, plhs, 3, prhs).ok);
    EXPECT_EQ(status(), "Invalid flag encountered in simulink.c");
    ArrayPtr empty = emptyArray();
    prhs[3] = empty.get();
    S.errorStatus = nullptr;
    EXPECT_TRUE(zvhost::callMex(mexFunction, -1, plhs, 4, prhs).ok);
    EXPECT_EQ(status(), "Invalid flag encountered in simulink.c");
    EXPECT_TRUE(fakeblock::calls().empty());
}

} // namespace
