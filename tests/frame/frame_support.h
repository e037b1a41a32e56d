// Helpers of the frame tests: the recording stand-in for the block's methods
// (fake_block.cpp), the captured command window, and MEX calls the way MATLAB
// and Simulink make them.
#pragma once

#include "zvhost.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace fakeblock {

struct Call {
    std::string method;
    SimStruct* S;
    int tid;
};
std::vector<Call>& calls();
std::function<void(SimStruct*)>& onSizes(); // runs inside mdlInitializeSizes, if set
void reset();

} // namespace fakeblock

namespace frametest {

using zvhost::ArrayPtr;

inline ArrayPtr emptyArray() {
    return ArrayPtr(mxCreateDoubleMatrix(0, 0, mxREAL));
}

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakeblock::reset();
        zvhost::setCommandWindow([this](const std::string& t) { out += t; });
        zvhost::setCallHandler(nullptr);
    }
    void TearDown() override {
        zvhost::setCommandWindow(nullptr);
        zvhost::setCallHandler(nullptr);
        fakeblock::reset();
        EXPECT_EQ(zvhost::pendingAllocations(), 0u);
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
    std::string out;
};

// Runs body inside a MEX call, so that what it allocates is released as at
// the end of a real call.
inline zvhost::CallResult runInCall(std::function<void()> body) {
    static std::function<void()> pending;
    pending = std::move(body);
    auto r = zvhost::callMex([](int, mxArray*[], int, const mxArray*[]) { pending(); }, 0, nullptr,
                             0, nullptr);
    pending = nullptr;
    return r;
}

} // namespace frametest
