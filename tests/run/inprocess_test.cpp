// Runs inside the test process, with the block loaded once: what carries
// over from one run to the next.
#include "engine.h"
#include "run/run_support.h"

#include <filesystem>

using namespace runtest;

namespace {

class ZvRunInProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        home = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        std::string error;
        ASSERT_TRUE(library.open(ZVTEST_BLOCK, error)) << error;
        zvhost::setCommandWindow([this](const std::string& text) { window += text; });
    }
    void TearDown() override {
        zvhost::setCommandWindow({});
        std::filesystem::current_path(home);
    }
    // One run of the loaded block; its command window text in `window`.
    zvsim::RunReport run(const std::string& source, const std::string& stopTime,
                         const std::string& csv = "") {
        window.clear();
        zvsim::Options o;
        std::string error;
        const std::string t = "--stop-time=" + stopTime, s = "--duration-source=" + source;
        const char* argv[] = {"zvsim",          "--model=tank",     "--product=ZVDEMO",
                              "--timestep=0.5", "--input=1=step:1", t.c_str(),
                              s.c_str()};
        EXPECT_TRUE(zvsim::parseOptions(7, argv, o, error)) << error;
        o.csvFile = csv;
        zvsim::Engine engine(o);
        engine.useEntry(library.entry(), "zelvanesl61");
        return engine.simulate();
    }

    DemoFolder dir;
    zvtest::EnvVar zvihome{"ZVIHOME", ZVTEST_ZVIHOME}, faults{"ZELVANE_FAULTS", nullptr};
    zvsim::MexLibrary library;
    std::filesystem::path home;
    std::string window;
};

TEST_F(ZvRunInProcess, ARunEndsAsItsOwnWhateverTheRunBeforeIt) {
    const size_t arraysBefore = zvhost::liveArrays();
    zvsim::RunReport first = run("SIMULINK", "2", "first.csv");
    ASSERT_EQ(first.end, zvsim::RunEnd::StopTime) << window;
    const std::string firstWindow = window;

    // The solver completing first (run status -1) ...
    EXPECT_EQ(run("ZELVANE", "12").end, zvsim::RunEnd::StoppedByBlock) << window;
    // ... the link failing after the start (2) ...
    zvtest::setEnv("ZELVANE_FAULTS", "drop=SLCZVPWR:2");
    EXPECT_EQ(run("SIMULINK", "2").end, zvsim::RunEnd::Error) << window;
    // ... at time 0, leaving terminate out ...
    zvtest::setEnv("ZELVANE_FAULTS", "drop=ZVUPDATE");
    EXPECT_EQ(run("SIMULINK", "2").end, zvsim::RunEnd::Aborted) << window;
    // ... and a refusal at the start (1).
    zvtest::setEnv("ZELVANE_FAULTS", nullptr);
    EXPECT_EQ(run("ZELVANE", "1").end, zvsim::RunEnd::Refused) << window;

    zvsim::RunReport again = run("SIMULINK", "2", "again.csv");
    EXPECT_EQ(again.end, zvsim::RunEnd::StopTime);
    EXPECT_EQ(again.steps, first.steps);
    EXPECT_EQ(window, firstWindow);
    EXPECT_EQ(dir.read("again.csv"), dir.read("first.csv"));
    EXPECT_TRUE(zvtest::holds(dir.read("screen.zv"), "(doneSim 1)"));

    EXPECT_EQ(zvhost::pendingAllocations(), 0u);
    EXPECT_EQ(zvhost::liveArrays(), arraysBefore);
}

} // namespace
