// The block as Simulink drives it: sizes call, flags 101 and 102, then 104
// and 105 at every sample hit, then 107; the MEX file loaded with dlopen,
// the solver launched by the block itself.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "alloc_hook.h"
#include "runs.h"
#include "zvhost.h"

namespace zvbench {

namespace {

using Clock = std::chrono::steady_clock;

const double TIMESTEP = 0.001;
const char MODEL[] = "bench";

// A harness of width inputs (from-ends) and width outputs (to-ends), laid
// out as the block's scan reads it; no Simulation Duration, so the solver
// never runs on alone after the last step.
bool writeModel(const std::string& folder, int width) {
    std::ofstream out(folder + "/" + MODEL + ".dat");
    out << "ZELVANE MODEL DATA 6.1\n"
        << "Title   Benchmark harness\n"
        << "WiringHarness\n"
        << " - HARNESS1 Simulink co-simulation harness\n"
        << "Parts\n"
        << "PLANT Actuator                   none\n"
        << "WH1 Harness                    HARNESS1 " << width << " ports\n"
        << "Connections\n";
    char line[100];
    int n = 0;
    for (int i = 1; i <= width; ++i) {
        snprintf(line, sizeof line, "C%03d              ControlConn_a WH1-%d PLANT-%d 1.0\n", ++n,
                 i, i);
        out << line;
    }
    for (int j = 1; j <= width; ++j) {
        snprintf(line, sizeof line, "C%03d              SensorConn_a PLANT-%d WH1-%d 1.0\n", ++n,
                 width + j, j);
        out << line;
    }
    out << "End\n";
    return bool(out);
}

zvhost::MexEntry realEntry = nullptr;

// Only what happens inside the MEX call is the block's: the host's own
// bookkeeping around the call is not counted.
long allocationsInCalls = 0;
void countedEntry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    struct Stop {
        ~Stop() { allocationsInCalls += stopCountingAllocations(); }
    } stop;
    startCountingAllocations();
    realEntry(nlhs, plhs, nrhs, prhs);
}

std::string failure(const zvhost::CallResult& call, zvhost::Block& block, const char* what) {
    std::string text = std::string(what) + ": ";
    if (!call.ok) return text + call.error;
    if (block.errorStatus()) return text + block.errorStatus();
    return std::string();
}

} // namespace

RunResult runBlock(const BlockSetup& setup, int width, int warmup, int steps,
                   const std::string& zvlinkPrm) {
    RunResult result;
    const std::string settingsFile = setup.folder + "/zvlink.prm";
    std::remove(settingsFile.c_str());
    if (!writeModel(setup.folder, width) ||
        (!zvlinkPrm.empty() && !(std::ofstream(settingsFile) << zvlinkPrm))) {
        result.error = "cannot write the model data file or zvlink.prm";
        return result;
    }
    void* library = dlopen(setup.mexFile.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        result.error = std::string("cannot load the block: ") + dlerror();
        return result;
    }
    realEntry = reinterpret_cast<zvhost::MexEntry>(dlsym(library, "mexFunction"));
    if (!realEntry) {
        result.error = "the block exports no mexFunction";
        dlclose(library);
        return result;
    }

    std::vector<zvhost::ArrayPtr> params;
    params.push_back(zvhost::makeString(MODEL));
    params.push_back(zvhost::makeString("ZVBENCH"));
    params.push_back(zvhost::makeString("Simulink"));
    params.push_back(zvhost::makeScalar(TIMESTEP));
    params.push_back(zvhost::makeScalar(width));
    params.push_back(zvhost::makeScalar(width));
    {
        zvhost::Block block("zelvanesl61", "bench/Zelvane", std::move(params));
        const int total = warmup + steps;
        std::string error = failure(block.initializeSizes(realEntry), block, "sizes");
        if (error.empty()) {
            block.allocateSampleTimes();
            error = failure(block.callFlag(realEntry, 101), block, "flag 101");
        }
        if (error.empty()) {
            block.allocateWorkAndSignals();
            block.setTime(0.0);
            block.setStopTime(total * TIMESTEP);
            const Clock::time_point begin = Clock::now();
            error = failure(block.callFlag(realEntry, 102), block, "start");
            result.startSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
        }
        std::vector<double>& in = block.inputSignal(0);
        result.stepSeconds.reserve(size_t(steps));
        allocationsInCalls = 0;
        for (int i = 0; i < total && error.empty(); ++i) {
            block.setTime(i * TIMESTEP);
            for (size_t k = 0; k < in.size(); ++k)
                in[k] = std::sin(0.01 * i + double(k));
            const bool measured = i >= warmup;
            const zvhost::MexEntry entry = measured ? countedEntry : realEntry;
            const Clock::time_point begin = Clock::now();
            error = failure(block.callFlag(entry, 104), block, "outputs");
            if (error.empty()) error = failure(block.callFlag(entry, 105), block, "update");
            const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            if (i == 0) result.firstStepSeconds = seconds;
            if (measured) result.stepSeconds.push_back(seconds);
        }
        if (allocationsCounted()) result.allocations = allocationsInCalls;
        // The end of the run closes the link; the solver then ends on its own.
        const std::string end = failure(block.callFlag(realEntry, 107), block, "terminate");
        if (error.empty()) error = end;
        result.ok = error.empty();
        result.error = error;
    }
    dlclose(library);
    std::remove(settingsFile.c_str());
    return result;
}

RunResult recordRun(const BlockSetup& setup, int width, int warmup, int steps,
                    const std::string& recording) {
    setenv("ZVIHOME", setup.tracehome.c_str(), 1);
    setenv("ZVTRACE_SOLVER", (setup.zvihome + "/v6.1.0/Zelvane/bin/zelvane").c_str(), 1);
    setenv("ZVTRACE_RECORD", recording.c_str(), 1);
    setenv("ZVTRACE_OUTPUT", "/dev/null", 1); // the recording is all that is wanted
    RunResult result = runBlock(setup, width, warmup, steps);
    setenv("ZVIHOME", setup.zvihome.c_str(), 1);
    for (const char* name : {"ZVTRACE_SOLVER", "ZVTRACE_RECORD", "ZVTRACE_OUTPUT"})
        unsetenv(name);
    return result;
}

RunResult runReplay(const BlockSetup& setup, int width, int warmup, int steps,
                    const std::string& recording) {
    setenv("ZELVANE_REPLAY", recording.c_str(), 1);
    RunResult result = runBlock(setup, width, warmup, steps);
    unsetenv("ZELVANE_REPLAY");
    // The replay names a difference in its report; the block only sees the link close.
    if (!result.ok) {
        std::ifstream report(setup.folder + "/replay.txt");
        std::string line;
        if (std::getline(report, line)) result.error += " (replay: " + line + ")";
    }
    return result;
}

} // namespace zvbench
