// Checked port services, warnings, dimension setters, generic queries and the
// class mapping.
#include "frame/services.h"
#include "frame_support.h"

using frametest::ArrayPtr;
using frametest::runInCall;

namespace {

const std::string kBlock = "S-function 'zelvanesl61' in block 'plant/Zelvane' ";

class FrameServices : public frametest::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        S.modelName = "zelvanesl61";
        S.path = "plant/Zelvane";
        S.root = &S;
        S.mdlInfo = &info;
        // Each dialog as "function|message|title|mode".
        zvhost::setCallHandler(
            [this](const std::string& name, int, mxArray*[], int nrhs, mxArray* prhs[]) {
                std::string d = name;
                for (int i = 0; i < 3; ++i) {
                    char buf[2048] = "";
                    if (i < nrhs) mxGetString(prhs[i], buf, sizeof buf);
                    d += std::string("|") + buf;
                }
                dialogs.push_back(d);
                return 0;
            });
    }
    void setInputPorts(int n) {
        ports.assign(static_cast<size_t>(n), ssInputPort{});
        S.inputPorts = n ? ports.data() : nullptr;
        S.sizes[SS_SIZES_NUM_INPUT_PORTS] = n;
        dialogs.clear();
        info.faultFlag = 0;
    }
    // The one fatal dialog shown since setInputPorts, with the fault flag raised.
    void expectFatal(const std::string& message) {
        EXPECT_EQ(dialogs, std::vector<std::string>{"errordlg|" + message + "|Fatal Error|modal"});
        EXPECT_EQ(info.faultFlag, 1);
        EXPECT_EQ(S.errorStatus, nullptr);
    }

    SimStruct S{};
    ssMdlInfo info{};
    std::vector<ssInputPort> ports;
    std::vector<std::string> dialogs;
};

TEST_F(FrameServices, AccessorRefusesPortsOutOfRangeWithADialogAndTheFaultFlag) {
    for (auto [n, port] : {std::pair{1, 1}, {1, -1}, {0, 0}, {0, 5}, {3, 3}}) {
        SCOPED_TRACE(port);
        setInputPorts(n);
        InputRealPtrsType result = reinterpret_cast<InputRealPtrsType>(1);
        ASSERT_TRUE(runInCall([&] { result = ssGetInputPortRealSignalPtrs(&S, port); }).ok);
        EXPECT_EQ(result, nullptr);
        expectFatal(kBlock + "is attempting to access the signal from input port '" +
                    std::to_string(port + 1) +
                    "' in one its methods. However, the S-function's mdlInitializeSizes routine "
                    "has configured the block to have only " +
                    std::to_string(n) +
                    " input port(s). The incorrect access will cause a segmentation violation. "
                    "Please verify that all calls to ssGetInputPort[Real]Signal[Ptrs]() are using "
                    "port indices in the range [0.." +
                    std::to_string(n - 1) + "].\n");
    }
}

TEST_F(FrameServices, AccessorReportsMissingSignalPointersAndOtherwiseHandsThemOut) {
    setInputPorts(2);
    const void* result = &S;
    ASSERT_TRUE(runInCall([&] { result = ssGetInputPortSignalPtrs(&S, 1); }).ok);
    EXPECT_EQ(result, nullptr);
    expectFatal(kBlock +
                "is attempting to access the signal from input port '2' in one its methods. "
                "However, the S-function's mdlInitializeSizes routine did not register the "
                "ssSetInputPortDirectFeedThrough macro or the direct feedthrough flag has been "
                "set to zero. This will cause a segmentation violation. Please verify that the "
                "ssSetInputPortDirectFeedThrough is declared in mdlInitializeSizes and the direct "
                "feedthrough flag is set to one when accessing the input port signals in the "
                "mdlOutputs and/or mdlGetTimeOfNextVarHit method(s).");

    double values[2] = {1.5, 2.5};
    const void* ptrs[2] = {&values[0], &values[1]};
    ports[1].signalPtrs = ptrs;
    dialogs.clear();
    InputRealPtrsType real = nullptr;
    InputPtrsType plain = nullptr;
    ASSERT_TRUE(runInCall([&] {
                    real = ssGetInputPortRealSignalPtrs(&S, 1);
                    plain = ssGetInputPortSignalPtrs(&S, 1);
                }).ok);
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(*real[1], 2.5);
    EXPECT_EQ(plain, ptrs);
    EXPECT_TRUE(dialogs.empty());
}

TEST_F(FrameServices, DirectFeedthroughSetterChecksThePort) {
    setInputPorts(1);
    ASSERT_TRUE(runInCall([&] { ssSetInputPortDirectFeedThrough(&S, 0, 1); }).ok);
    EXPECT_EQ(ports[0].directFeedThrough, 1);
    EXPECT_TRUE(dialogs.empty());
    ASSERT_TRUE(runInCall([&] { ssSetInputPortDirectFeedThrough(&S, 1, 0); }).ok);
    EXPECT_EQ(ports[0].directFeedThrough, 1);
    expectFatal(kBlock +
                "is setting or clearing the direct feedthrough flag for port 2. However, the "
                "S-function's mdlInitializeSizes routine has configured the block to have only 1 "
                "input port(s). Setting of clearing the direct feedthrough flag for an invalid "
                "port index will cause a segmentation violation. Please verify that all calls to "
                "ssSetInputPortDirectFeedThrough are using port indices in the range [0..0].\n");
}

TEST_F(FrameServices, WarningNamesTheBlockWhenItHasAPath) {
    ASSERT_TRUE(runInCall([&] { ssWarning(&S, "No file\n."); }).ok);
    EXPECT_EQ(out, "Warning: block 'plant/Zelvane': No file\n.\n");
    out.clear();
    S.path = nullptr;
    ASSERT_TRUE(runInCall([&] { ssWarning(&S, "As is"); }).ok);
    EXPECT_EQ(out, "Warning: As is\n");
}

// The dimension records handed to the host, as "in|out port width: dims".
std::vector<std::string> dimsCalls;
int_T recordDims(const char* dir, int_T port, const DimsInfo_T* d) {
    std::string r =
        std::string(dir) + " " + std::to_string(port) + " " + std::to_string(d->width) + ":";
    for (int i = 0; i < d->numDims; ++i)
        r += " " + std::to_string(d->dims[i]);
    dimsCalls.push_back(r + (d->reserved ? " reserved" : ""));
    return port != 7;
}

TEST_F(FrameServices, DimensionSettersShapeTheRecordForTheHost) {
    // Without a host service every setter succeeds.
    EXPECT_TRUE(ssSetInputPortMatrixDimensions(&S, 0, 3, 4));
    EXPECT_TRUE(ssSetOutputPortVectorDimension(&S, 0, 2));
    info.setInputPortDimensionInfo = [](SimStruct*, int_T p, const DimsInfo_T* d) {
        return recordDims("in", p, d);
    };
    info.setOutputPortDimensionInfo = [](SimStruct*, int_T p, const DimsInfo_T* d) {
        return recordDims("out", p, d);
    };
    dimsCalls.clear();
    EXPECT_TRUE(ssSetInputPortMatrixDimensions(&S, 0, 3, 4));
    EXPECT_TRUE(ssSetOutputPortMatrixDimensions(&S, 1, 3, -1));
    EXPECT_TRUE(ssSetInputPortVectorDimension(&S, 2, 5));
    EXPECT_FALSE(ssSetOutputPortVectorDimension(&S, 7, -1));
    EXPECT_TRUE(ssSetInputPortMatrixDimensions(&S, 0, 65536, 65536));
    EXPECT_EQ(dimsCalls,
              (std::vector<std::string>{"in 0 12: 3 4", "out 1 -1: 3 -1", "in 2 5: 5",
                                        "out 7 -1: -1", "in 0 -1: 65536 65536"})); // beyond int
}

TEST_F(FrameServices, GenericQueriesReachTheHostOrAnswerZero) {
    EXPECT_EQ(ssGenericQueryInt(&S, 4), 0);
    EXPECT_EQ(ssGenericQueryDouble(&S), 0.0);
    info.genericFcn = [](SimStruct*, int_T request, int_T arg, void* answer) -> int_T {
        if (request == SS_GENERIC_QUERY_INT) *static_cast<int_T*>(answer) = 1000 + arg;
        if (request == SS_GENERIC_QUERY_DOUBLE && arg == 0) *static_cast<real_T*>(answer) = 0.5;
        return 1;
    };
    EXPECT_EQ(ssGenericQueryInt(&S, 4), 1004);
    EXPECT_EQ(ssGenericQueryDouble(&S), 0.5);
}

TEST_F(FrameServices, LogicalArraysAreBooleanAndOthersWithoutATypeAreInvalid) {
    ArrayPtr logical(mxCreateLogicalScalar(true)), text = zvhost::makeString("x");
    ArrayPtr i64(mxCreateNumericMatrix(1, 1, mxINT64_CLASS, mxREAL));
    EXPECT_EQ(ssGetDTypeIdFromMxArray(logical.get()), SS_BOOLEAN);
    EXPECT_EQ(ssGetDTypeIdFromMxArray(text.get()), INVALID_DTYPE_ID);
    EXPECT_EQ(ssGetDTypeIdFromMxArray(i64.get()), INVALID_DTYPE_ID);
}

} // namespace
