// The frame tests' fixture (a captured command window, no memory left behind).
#pragma once

#include "zvhost.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace frametest {

using zvhost::ArrayPtr;

inline ArrayPtr emptyArray() {
    return ArrayPtr(mxCreateDoubleMatrix(0, 0, mxREAL));
}

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zvhost::setCommandWindow([this](const std::string& t) { out += t; });
        zvhost::setCallHandler(nullptr);
    }
    void TearDown() override {
        zvhost::setCommandWindow(nullptr);
        zvhost::setCallHandler(nullptr);
        EXPECT_EQ(zvhost::pendingAllocations(), 0u);
    }
    std::string out;
};

// Runs body inside a MEX call, so that what it allocates is released at its end.
inline zvhost::CallResult runInCall(std::function<void()> body) {
    static std::function<void()> pending;
    pending = std::move(body);
    auto r = zvhost::callMex([](int, mxArray*[], int, const mxArray*[]) { pending(); }, 0, nullptr,
                             0, nullptr);
    pending = nullptr;
    return r;
}

} // namespace frametest
