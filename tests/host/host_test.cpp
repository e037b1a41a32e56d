// libmx and libmex: arrays, the end-of-call clean-up, mexErrMsgTxt ending a call,
// and the command window. (The Block's two kinds of call: the frame's entry tests.)
#include "zvhost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>

using zvhost::ArrayPtr;

namespace {

using Body = std::function<void(mxArray** plhs)>;

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
        EXPECT_EQ(zvhost::pendingAllocations(), 0u);
        EXPECT_EQ(zvhost::liveArrays(), arraysBefore);
    }
    // One MEX call with one result, whose body the test chooses.
    zvhost::CallResult call(Body b) {
        static Body body;
        body = std::move(b);
        return zvhost::callMex([](int, mxArray* plhs[], int, const mxArray*[]) { body(plhs); }, 1,
                               result, 0, nullptr);
    }
    mxArray* result[1] = {nullptr};
    std::string out, err;
    size_t arraysBefore = 0;
};

TEST_F(HostTest, ArraysReadTheWayMexFilesRelyOn) {
    ArrayPtr text = zvhost::makeString("Zelvane");
    EXPECT_EQ(mxGetPr(text.get()), nullptr); // no doubles to misread
    char small[4], buf[8];
    EXPECT_EQ(mxGetString(text.get(), small, sizeof small), 1); // cut, within the buffer
    EXPECT_STREQ(small, "Zel");
    EXPECT_EQ(mxGetString(text.get(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Zelvane");

    EXPECT_FALSE(mxIsNumeric(ArrayPtr(mxCreateLogicalScalar(true)).get()));
    ArrayPtr u32(mxCreateNumericMatrix(1, 1, mxUINT32_CLASS, mxREAL));
    *static_cast<uint32_t*>(mxGetData(u32.get())) = 4000000000u;
    EXPECT_EQ(mxGetScalar(u32.get()), 4000000000.0);
    ArrayPtr complex(mxCreateDoubleMatrix(2, 3, mxCOMPLEX));
    mxGetPi(complex.get())[5] = 1.0; // the whole imaginary part is there
    EXPECT_EQ(mxCreateNumericMatrix(SIZE_MAX, 2, mxDOUBLE_CLASS, mxREAL), nullptr);
}

TEST_F(HostTest, CallReleasesItsMemoryAndTemporariesButHandsBackResults) {
    EXPECT_TRUE(call([](mxArray** plhs) {
                    static_cast<char*>(mxCalloc(100, 8))[799] = 1;
                    mxFree(mxCalloc(3, 3));
                    mxCreateString("temporary");
                    mxArray* persistent = mxCreateDoubleScalar(1);
                    mexMakeArrayPersistent(persistent);
                    mxDestroyArray(persistent);
                    EXPECT_GT(zvhost::pendingAllocations(), 0u);
                    plhs[0] = mxCreateDoubleScalar(42);
                }).ok);
    EXPECT_EQ(zvhost::pendingAllocations(), 0u);
    ArrayPtr kept(result[0]);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(mxGetScalar(kept.get()), 42.0);
}

TEST_F(HostTest, ErrMsgTxtReturnsControlToTheCallSiteAndCleansUp) {
    bool after = false;
    auto r = call([&](mxArray** plhs) {
        char* text = static_cast<char*>(mxCalloc(64, 1));
        std::strcpy(text, "F*** stopped");
        plhs[0] = mxCreateDoubleScalar(1);
        mexErrMsgTxt(text);
        after = true;
    });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "F*** stopped");
    EXPECT_FALSE(after);
    EXPECT_EQ(result[0], nullptr);
    // The next call works as if nothing happened.
    EXPECT_TRUE(call([](mxArray**) { mexPrintf("%s %d\n", "step", 2); }).ok);
    EXPECT_EQ(out, "step 2\n");
}

TEST_F(HostTest, CommandWindowWarningsAndDialogs) {
    ASSERT_TRUE(call([](mxArray**) {
                    mexWarnMsgTxt("careful");
                    mxArray* args[3] = {mxCreateString("Something broke"),
                                        mxCreateString("Fatal Error"), mxCreateString("modal")};
                    EXPECT_EQ(mexCallMATLAB(0, nullptr, 3, args, "errordlg"), 0);
                }).ok);
    EXPECT_EQ(out, "Warning: careful\n");
    EXPECT_EQ(err, "Error dialog 'Fatal Error': Something broke\n");
}

} // namespace
