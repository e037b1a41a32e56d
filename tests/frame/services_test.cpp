// Checked port services, warnings, and one check each of the services the
// block does not call (dimensions, generic queries, class mapping).
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
        zvhost::setCallHandler([this](const std::string& f, int, mxArray*[], int n, mxArray* a[]) {
            dialogs.push_back(f);
            for (char text[2048]; n-- > 0 && mxGetString(*a++, text, sizeof text) == 0;)
                dialogs.back() += std::string("|") + text;
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

TEST_F(FrameServices, PortMisuseIsFatalWellFormedUseSilentAndTheOtherServicesAnswer) {
    for (const std::pair<int, int>& c : {std::pair{1, 1}, {1, -1}, {0, 0}, {3, 3}}) {
        const int n = c.first, port = c.second; // a lambda cannot capture a structured binding
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

    setInputPorts(1);
    ASSERT_TRUE(runInCall([&] { ssSetInputPortDirectFeedThrough(&S, 1, 0); }).ok);
    expectFatal(kBlock +
                "is setting or clearing the direct feedthrough flag for port 2. However, the "
                "S-function's mdlInitializeSizes routine has configured the block to have only 1 "
                "input port(s). Setting of clearing the direct feedthrough flag for an invalid "
                "port index will cause a segmentation violation. Please verify that all calls to "
                "ssSetInputPortDirectFeedThrough are using port indices in the range [0..0].\n");

    // Well-formed use is silent.
    setInputPorts(1);
    const void* ptrs[1] = {&S};
    ports[0].signalPtrs = ptrs;
    InputPtrsType got = nullptr;
    S.path = nullptr;
    ASSERT_TRUE(runInCall([&] {
                    got = ssGetInputPortSignalPtrs(&S, 0);
                    ssSetInputPortDirectFeedThrough(&S, 0, 1);
                    ssWarning(&S, "As is"); // a block without a path
                }).ok);
    EXPECT_EQ(got, ptrs);
    EXPECT_EQ(ports[0].directFeedThrough, 1);
    EXPECT_TRUE(dialogs.empty());
    EXPECT_EQ(out, "Warning: As is\n");

    // One check each of the services the block does not call.
    static std::string dims; // "port:width=rowsxcols"
    info.setInputPortDimensionInfo = [](SimStruct*, int_T port, const DimsInfo_T* d) -> int_T {
        dims += std::to_string(port) + ":" + std::to_string(d->width) + "=" +
                std::to_string(d->dims[0]) + "x" + std::to_string(d->dims[d->numDims - 1]) + " ";
        return port != 7;
    };
    EXPECT_TRUE(ssSetInputPortMatrixDimensions(&S, 0, 3, 4));
    EXPECT_FALSE(ssSetInputPortMatrixDimensions(&S, 7, 65536, 65536)); // the host's answer
    EXPECT_EQ(dims, "0:12=3x4 7:-1=65536x65536 ");                     // beyond int: no width
    info.genericFcn = [](SimStruct*, int_T request, int_T arg, void* answer) -> int_T {
        if (request == SS_GENERIC_QUERY_INT) *static_cast<int_T*>(answer) = 1000 + arg;
        return 1;
    };
    EXPECT_EQ(ssGenericQueryInt(&S, 4), 1004);
    EXPECT_EQ(ssGetDTypeIdFromMxArray(ArrayPtr(mxCreateLogicalScalar(true)).get()), SS_BOOLEAN);
}

} // namespace
