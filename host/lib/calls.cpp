// MEX calls: the bookkeeping that gives MATLAB's end-of-call clean-up, and
// the call wrapper that is the only catcher of mexErrMsgTxt.
#include "internal.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

namespace {

struct CallFrame {
    zvhost::MexEntry entry = nullptr;
    std::unordered_set<void*> memory;
    std::unordered_set<mxArray*> arrays;
};

// Exit functions by the MEX file (its entry) that registered them.
std::unordered_map<zvhost::MexEntry, void (*)(void)>& exitFunctions() {
    static std::unordered_map<zvhost::MexEntry, void (*)(void)> functions;
    return functions;
}

// Calls nest when a MEX file calls back into MATLAB. Each thread has its
// own: a host may run a MEX file's exit function while another thread is
// stuck in one of its calls.
std::vector<CallFrame>& frames() {
    static thread_local std::vector<CallFrame> stack;
    return stack;
}

} // namespace

namespace zvhost {

MexError::~MexError() = default;

namespace detail {

void trackMemory(void* p) {
    if (!frames().empty()) frames().back().memory.insert(p);
}

int untrackMemory(void* p) {
    for (size_t i = frames().size(); i-- > 0;)
        if (frames()[i].memory.erase(p)) return static_cast<int>(i);
    return -1;
}

void trackMemoryAt(void* p, int depth) {
    if (depth >= 0 && static_cast<size_t>(depth) < frames().size())
        frames()[static_cast<size_t>(depth)].memory.insert(p);
}

void trackArray(mxArray* a) {
    if (!frames().empty()) frames().back().arrays.insert(a);
}

void untrackArray(mxArray* a) {
    for (auto it = frames().rbegin(); it != frames().rend(); ++it)
        if (it->arrays.erase(a)) return;
}

} // namespace detail

size_t pendingAllocations() {
    size_t n = 0;
    for (const CallFrame& f : frames())
        n += f.memory.size() + f.arrays.size();
    return n;
}

namespace {

// Runs body as one MEX call of entry: what it allocates belongs to the call,
// and an error it raises ends only the call and comes back in the result.
// The call's frame is left in *ended for the caller to settle.
template <typename Body> CallResult runCall(MexEntry entry, Body body, CallFrame* ended) {
    CallResult result;
    frames().emplace_back();
    frames().back().entry = entry;
    try {
        body();
    } catch (const MexError& e) {
        result.ok = false;
        result.error = e.what();
    } catch (const std::exception& e) {
        result.ok = false;
        result.error = std::string("Unexpected C++ exception in MEX file: ") + e.what();
    }
    *ended = std::move(frames().back());
    frames().pop_back();
    return result;
}

void release(const CallFrame& frame) {
    for (mxArray* a : frame.arrays)
        detail::destroyArrayStorage(a);
    for (void* p : frame.memory)
        std::free(p);
}

} // namespace

CallResult callMex(MexEntry entry, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    CallFrame frame;
    const CallResult result = runCall(
        entry, [&] { entry(nlhs, plhs, nrhs, prhs); }, &frame);

    // Results (MATLAB always has room for ans, so slot 0 counts with nlhs 0)
    // pass to the caller; after an error there are none.
    if (nlhs >= 0 && plhs) {
        const int slots = std::max(nlhs, 1);
        for (int i = 0; i < slots; ++i) {
            if (!plhs[i]) continue;
            if (!result.ok) {
                plhs[i] = nullptr;
            } else if (frame.arrays.erase(plhs[i])) {
                detail::trackArray(plhs[i]); // the enclosing call's, if any
            }
        }
    }
    release(frame);
    return result;
}

CallResult unloadMex(MexEntry entry) {
    auto it = exitFunctions().find(entry);
    if (it == exitFunctions().end()) return CallResult();
    void (*exitFunction)(void) = it->second;
    exitFunctions().erase(it);
    // MATLAB runs it as a call of the file (one that cannot register again):
    // an error in it ends only it.
    CallFrame frame;
    const CallResult result = runCall(nullptr, exitFunction, &frame);
    release(frame);
    return result;
}

} // namespace zvhost

int zvhost::detail::registerExitFunction(void (*exitFcn)(void)) {
    // Only a MEX file's own calls can register; the host has no file to unload.
    if (frames().empty() || !frames().back().entry) return 1;
    if (exitFcn)
        exitFunctions()[frames().back().entry] = exitFcn;
    else
        exitFunctions().erase(frames().back().entry);
    return 0;
}
