// Helpers of the frame tests: capture of the command window and the error
// stream, and MEX calls the way MATLAB and Simulink make them.
#pragma once

#include "fake_block.h"
#include "zvhost.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace frametest {

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakeblock::reset();
        zvhost::setCommandWindow([this](const std::string& t) { out += t; });
        zvhost::setErrorStream([this](const std::string& t) { err += t; });
        zvhost::setCallHandler(nullptr);
        zvhost::setEvalHandler(nullptr);
    }
    void TearDown() override {
        zvhost::setCommandWindow(nullptr);
        zvhost::setErrorStream(nullptr);
        zvhost::setCallHandler(nullptr);
        fakeblock::reset();
        EXPECT_EQ(zvhost::pendingAllocations(), 0u);
    }

    // A call from the MATLAB command line: zelvanesl61(t, x, u, flag, params...).
    zvhost::CallResult sizesCall(int nlhs, std::vector<const mxArray*> prhs,
                                 zvhost::ArrayPtr* result = nullptr) {
        mxArray* plhs[2] = {nullptr, nullptr};
        zvhost::CallResult r =
            zvhost::callMex(mexFunction, nlhs, plhs, static_cast<int>(prhs.size()), prhs.data());
        if (result)
            result->reset(plhs[0]);
        else
            mxDestroyArray(plhs[0]);
        return r;
    }

    std::string out;
    std::string err;
};

inline zvhost::ArrayPtr emptyArray() {
    return zvhost::ArrayPtr(mxCreateDoubleMatrix(0, 0, mxREAL));
}

} // namespace frametest

namespace frametest {

// Runs code inside a MEX call, so that arrays and memory it makes are
// cleaned up as at the end of a real call.
inline std::function<void()>& pendingBody() {
    static std::function<void()> body;
    return body;
}

inline void bodyEntry(int, mxArray*[], int, const mxArray*[]) {
    pendingBody()();
}

inline zvhost::CallResult runInCall(std::function<void()> body) {
    pendingBody() = std::move(body);
    zvhost::CallResult r = zvhost::callMex(bodyEntry, 0, nullptr, 0, nullptr);
    pendingBody() = nullptr;
    return r;
}

} // namespace frametest
