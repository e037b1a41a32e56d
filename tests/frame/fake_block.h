// A stand-in for the block's methods that records which ran, so that the
// frame's dispatch can be tested on its own.
#pragma once

#include "simstruc.h"

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
// Runs inside mdlInitializeSizes (after the call is recorded), if set.
std::function<void(SimStruct*)>& onSizes();
void reset();

} // namespace fakeblock
