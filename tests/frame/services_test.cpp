// Checked port services, warnings, dimension setters, generic queries, the
// class mapping and the dialog-parameter check.
#include "frame/services.h"
#include "frame_support.h"

#include <cmath>

using frametest::runInCall;
using zvhost::ArrayPtr;
using zvhost::makeMatrix;
using zvhost::makeScalar;
using zvhost::makeString;

namespace {

struct Dialog {
    std::string function, message, title, mode;
};

class FrameServices : public frametest::FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        S.modelName = "zelvanesl61";
        S.path = "plant/Zelvane";
        S.root = &S;
        S.mdlInfo = &info;
        zvhost::setCallHandler(
            [this](const std::string& name, int, mxArray*[], int nrhs, mxArray* prhs[]) {
                auto text = [&](int i) {
                    char buf[2048] = "";
                    if (i < nrhs) mxGetString(prhs[i], buf, sizeof buf);
                    return std::string(buf);
                };
                dialogs.push_back({name, text(0), text(1), text(2)});
                return 0;
            });
    }
    void setInputPorts(int n) {
        ports.assign(static_cast<size_t>(n), ssInputPort{});
        S.inputPorts = n ? ports.data() : nullptr;
        S.sizes[SS_SIZES_NUM_INPUT_PORTS] = n;
    }

    SimStruct S{};
    ssMdlInfo info{};
    std::vector<ssInputPort> ports;
    std::vector<Dialog> dialogs;
};

std::string rangeText(int port, int n) {
    return "S-function 'zelvanesl61' in block 'plant/Zelvane' is attempting to access the signal "
           "from input port '" +
           std::to_string(port) +
           "' in one its methods. However, the S-function's mdlInitializeSizes routine has "
           "configured the block to have only " +
           std::to_string(n) +
           " input port(s). The incorrect access will cause a segmentation violation. Please "
           "verify that all calls to ssGetInputPort[Real]Signal[Ptrs]() are using port indices "
           "in the range [0.." +
           std::to_string(n - 1) + "].\n";
}

TEST_F(FrameServices, AccessorRefusesPortsOutOfRangeWithADialogAndTheFaultFlag) {
    struct Case {
        int ports, port;
    } cases[] = {{1, 1}, {1, -1}, {0, 0}, {0, 5}, {3, 3}};
    for (const Case& c : cases) {
        setInputPorts(c.ports);
        dialogs.clear();
        info.faultFlag = 0;
        InputRealPtrsType result = reinterpret_cast<InputRealPtrsType>(1);
        ASSERT_TRUE(runInCall([&] { result = ssGetInputPortRealSignalPtrs(&S, c.port); }).ok);
        EXPECT_EQ(result, nullptr);
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].function, "errordlg");
        EXPECT_EQ(dialogs[0].message, rangeText(c.port + 1, c.ports));
        EXPECT_EQ(dialogs[0].title, "Fatal Error");
        EXPECT_EQ(dialogs[0].mode, "modal");
        EXPECT_EQ(info.faultFlag, 1);
        EXPECT_EQ(S.errorStatus, nullptr);
    }
}

TEST_F(FrameServices, AccessorReportsMissingSignalPointersAndOtherwiseHandsThemOut) {
    setInputPorts(2);
    const void* result = &S;
    ASSERT_TRUE(runInCall([&] { result = ssGetInputPortSignalPtrs(&S, 1); }).ok);
    EXPECT_EQ(result, nullptr);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].message,
              "S-function 'zelvanesl61' in block 'plant/Zelvane' is attempting to access the "
              "signal from input port '2' in one its methods. However, the S-function's "
              "mdlInitializeSizes routine did not register the ssSetInputPortDirectFeedThrough "
              "macro or the direct feedthrough flag has been set to zero. This will cause a "
              "segmentation violation. Please verify that the ssSetInputPortDirectFeedThrough is "
              "declared in mdlInitializeSizes and the direct feedthrough flag is set to one when "
              "accessing the input port signals in the mdlOutputs and/or mdlGetTimeOfNextVarHit "
              "method(s).");
    EXPECT_EQ(info.faultFlag, 1);

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
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].message,
              "S-function 'zelvanesl61' in block 'plant/Zelvane' is setting or clearing the "
              "direct feedthrough flag for port 2. However, the S-function's mdlInitializeSizes "
              "routine has configured the block to have only 1 input port(s). Setting of "
              "clearing the direct feedthrough flag for an invalid port index will cause a "
              "segmentation violation. Please verify that all calls to "
              "ssSetInputPortDirectFeedThrough are using port indices in the range [0..0].\n");
    EXPECT_EQ(info.faultFlag, 1);
}

TEST_F(FrameServices, WarningNamesTheBlockWhenItHasAPath) {
    ASSERT_TRUE(runInCall([&] { ssWarning(&S, "No file\n."); }).ok);
    EXPECT_EQ(out, "Warning: block 'plant/Zelvane': No file\n.\n");
    out.clear();
    S.path = nullptr;
    ASSERT_TRUE(runInCall([&] { ssWarning(&S, "As is"); }).ok);
    EXPECT_EQ(out, "Warning: As is\n");
}

struct DimsCall {
    bool input;
    int port, width, numDims;
    std::vector<int> dims;
    int reserved;
};
std::vector<DimsCall>& dimsCalls() {
    static std::vector<DimsCall> v;
    return v;
}
int_T recordDims(bool input, int_T port, const DimsInfo_T* d) {
    dimsCalls().push_back({input, port, d->width, d->numDims,
                           std::vector<int>(d->dims, d->dims + d->numDims), d->reserved});
    return port != 7;
}

TEST_F(FrameServices, DimensionSettersShapeTheRecordForTheHost) {
    dimsCalls().clear();
    // Without a host service every setter succeeds.
    EXPECT_TRUE(ssSetInputPortMatrixDimensions(&S, 0, 3, 4));
    EXPECT_TRUE(ssSetOutputPortVectorDimension(&S, 0, 2));
    info.setInputPortDimensionInfo = [](SimStruct*, int_T p, const DimsInfo_T* d) {
        return recordDims(true, p, d);
    };
    info.setOutputPortDimensionInfo = [](SimStruct*, int_T p, const DimsInfo_T* d) {
        return recordDims(false, p, d);
    };
    EXPECT_TRUE(ssSetInputPortMatrixDimensions(&S, 0, 3, 4));
    EXPECT_TRUE(ssSetOutputPortMatrixDimensions(&S, 1, 3, -1));
    EXPECT_TRUE(ssSetInputPortVectorDimension(&S, 2, 5));
    EXPECT_FALSE(ssSetOutputPortVectorDimension(&S, 7, -1));
    EXPECT_TRUE(ssSetInputPortMatrixDimensions(&S, 0, 65536, 65536));
    ASSERT_EQ(dimsCalls().size(), 5u);
    const auto& c = dimsCalls();
    EXPECT_TRUE(c[0].input);
    EXPECT_EQ(c[0].width, 12);
    EXPECT_EQ(c[0].numDims, 2);
    EXPECT_EQ(c[0].dims, (std::vector<int>{3, 4}));
    EXPECT_EQ(c[0].reserved, 0);
    EXPECT_FALSE(c[1].input);
    EXPECT_EQ(c[1].port, 1);
    EXPECT_EQ(c[1].width, -1);
    EXPECT_EQ(c[1].dims, (std::vector<int>{3, -1}));
    EXPECT_EQ(c[2].width, 5);
    EXPECT_EQ(c[2].numDims, 1);
    EXPECT_EQ(c[2].dims, std::vector<int>{5});
    EXPECT_EQ(c[3].width, -1);
    // A width beyond int is no width.
    EXPECT_EQ(c[4].width, -1);
}

TEST_F(FrameServices, GenericQueriesUseRequestCodes20And21) {
    EXPECT_EQ(ssGenericQueryInt(&S, 4), 0);
    EXPECT_EQ(ssGenericQueryDouble(&S), 0.0);
    info.genericFcn = [](SimStruct*, int_T request, int_T arg, void* answer) -> int_T {
        if (request == SS_GENERIC_QUERY_INT)
            *static_cast<int_T*>(answer) = 1000 + arg;
        else if (request == SS_GENERIC_QUERY_DOUBLE && arg == 0)
            *static_cast<real_T*>(answer) = 0.5;
        return 1;
    };
    EXPECT_EQ(ssGenericQueryInt(&S, 4), 1004);
    EXPECT_EQ(ssGenericQueryDouble(&S), 0.5);
}

TEST_F(FrameServices, ClassesMapToDataTypeIds) {
    const std::pair<mxClassID, int> numeric[] = {
        {mxDOUBLE_CLASS, 0},  {mxSINGLE_CLASS, 1},  {mxINT8_CLASS, 2},  {mxUINT8_CLASS, 3},
        {mxINT16_CLASS, 4},   {mxUINT16_CLASS, 5},  {mxINT32_CLASS, 6}, {mxUINT32_CLASS, 7},
        {mxINT64_CLASS, -10}, {mxUINT64_CLASS, -10}};
    for (auto [cls, id] : numeric) {
        ArrayPtr a(mxCreateNumericMatrix(1, 1, cls, mxREAL));
        EXPECT_EQ(ssGetDTypeIdFromMxArray(a.get()), id) << cls;
    }
    ArrayPtr logical(mxCreateLogicalScalar(true));
    ArrayPtr text = makeString("x");
    EXPECT_EQ(ssGetDTypeIdFromMxArray(logical.get()), 8);
    EXPECT_EQ(ssGetDTypeIdFromMxArray(text.get()), -10);
}

class FrameDialogParams : public frametest::FrameTest {
  protected:
    // Model, Product, Duration source, Timestep, Inputs, Outputs.
    void SetUp() override {
        FrameTest::SetUp();
        resetParams();
    }
    void resetParams() {
        params.clear();
        params.push_back(makeString("simple"));
        params.push_back(makeString("ZV"));
        params.push_back(makeString("ZELVANE"));
        params.push_back(makeScalar(0.01));
        params.push_back(makeScalar(-1));
        params.push_back(makeScalar(3));
    }
    std::string check() {
        SimStruct S{};
        S.root = &S;
        std::vector<const mxArray*> p;
        for (auto& a : params)
            p.push_back(a.get());
        S.numDialogParams = static_cast<int>(p.size());
        S.dialogParams = p.data();
        const int ok = zvCheckDialogParams(&S);
        if (ok) {
            EXPECT_EQ(S.errorStatus, nullptr);
        }
        return S.errorStatus ? S.errorStatus : (ok ? "ok" : "refused");
    }
    std::vector<ArrayPtr> params;
};

TEST_F(FrameDialogParams, WellFormedParametersPass) {
    EXPECT_EQ(check(), "ok");
    params[0] = makeString(""); // no data file named: the block warns later
    params[4] = makeScalar(-3.7);
    params[5] = makeScalar(2147483647.9);
    EXPECT_EQ(check(), "ok");
}

TEST_F(FrameDialogParams, WrongKindsAreRefusedByName) {
    struct Case {
        int index;
        std::function<ArrayPtr()> value;
        std::string text;
    } cases[] = {
        {0, [] { return makeScalar(1); }, "F*** Parameter 'Model' must be a text."},
        {0, [] { return ArrayPtr(mxCreateNumericMatrix(2, 3, mxCHAR_CLASS, mxREAL)); },
         "F*** Parameter 'Model' must be a text."},
        {1, [] { return makeMatrix(0, 0, {}); }, "F*** Parameter 'Product' must be a text."},
        {2, [] { return ArrayPtr(mxCreateLogicalScalar(true)); },
         "F*** Parameter 'Simulation Duration Source' must be a text."},
        {3, [] { return makeString("0.01"); },
         "F*** Parameter 'Timestep' must be a real positive scalar number."},
        {3, [] { return makeMatrix(0, 0, {}); },
         "F*** Parameter 'Timestep' must be a real positive scalar number."},
        {3, [] { return makeScalar(0.0); },
         "F*** Parameter 'Timestep' must be a real positive scalar number."},
        {3, [] { return makeScalar(std::nan("")); },
         "F*** Parameter 'Timestep' must be a real positive scalar number."},
        {3, [] { return ArrayPtr(mxCreateDoubleMatrix(1, 1, mxCOMPLEX)); },
         "F*** Parameter 'Timestep' must be a real positive scalar number."},
        {4,
         [] {
             return makeMatrix(1, 2, {1, 2});
         },
         "F*** Parameter 'Inputs' must be a real scalar number in the int range."},
        {4, [] { return makeScalar(INFINITY); },
         "F*** Parameter 'Inputs' must be a real scalar number in the int range."},
        {5, [] { return makeScalar(-3e9); },
         "F*** Parameter 'Outputs' must be a real scalar number in the int range."},
        {5, [] { return ArrayPtr(mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL)); },
         "F*** Parameter 'Outputs' must be a real scalar number in the int range."},
    };
    for (Case& c : cases) {
        resetParams();
        params[static_cast<size_t>(c.index)] = c.value();
        EXPECT_EQ(check(), c.text);
    }
    params.pop_back();
    EXPECT_EQ(check(), "refused"); // the host reports the count
}

} // namespace
