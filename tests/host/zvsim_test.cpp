// zvsim: its command line, and --size-only run as a program against the
// real block in a folder holding a small model data file.
#include "engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(ZvsimOptions, DefaultsAndEveryOption) {
    zvsim::Options o;
    std::string error;
    const char* none[] = {"zvsim"};
    ASSERT_TRUE(zvsim::parseOptions(1, none, o, error));
    EXPECT_EQ(o.product, "ZV");
    EXPECT_EQ(o.durationSource, "ZELVANE");
    EXPECT_EQ(o.timestep, 0.01);
    EXPECT_EQ(o.inputs, -1);
    EXPECT_EQ(o.outputs, -1);
    EXPECT_FALSE(o.sizeOnly);

    const char* all[] = {"zvsim",
                         "--size-only",
                         "--model",
                         "simple",
                         "--product=ZVPRO",
                         "--duration-source",
                         "SIMULINK",
                         "--timestep",
                         "0.5",
                         "--inputs",
                         "3",
                         "--outputs=-2",
                         "--block",
                         "b.mexa64"};
    ASSERT_TRUE(zvsim::parseOptions(14, all, o, error)) << error;
    EXPECT_TRUE(o.sizeOnly);
    EXPECT_EQ(o.model, "simple");
    EXPECT_EQ(o.product, "ZVPRO");
    EXPECT_EQ(o.durationSource, "SIMULINK");
    EXPECT_EQ(o.timestep, 0.5);
    EXPECT_EQ(o.inputs, 3);
    EXPECT_EQ(o.outputs, -2);
    EXPECT_EQ(o.blockFile, "b.mexa64");

    const std::string usage = zvsim::usageText();
    for (const char* name : {"--size-only", "--model", "--product", "--duration-source",
                             "--timestep", "--inputs", "--outputs", "--block", "--help",
                             "--stop-time", "--input", "--signals", "--csv", "--plot", "step:"})
        EXPECT_NE(usage.find(name), std::string::npos) << name;

    const char* bad[][3] = {{"zvsim", "--timestep", "fast"}, {"zvsim", "--inputs", "2x"},
                            {"zvsim", "--frobnicate", "1"},  {"zvsim", "--size-only", "--model"},
                            {"zvsim", "--stop-time", "-1"},  {"zvsim", "--stop-time", "nan"},
                            {"zvsim", "--input", "0=1"},     {"zvsim", "--signals", "1;wobble:2"}};
    for (auto& argv : bad) {
        zvsim::Options fresh;
        error.clear();
        EXPECT_FALSE(zvsim::parseOptions(3, argv, fresh, error)) << argv[1];
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(zvsim::mexFileName("/opt/bin/zelvanesl61.mexa64"), "zelvanesl61");

    // The run's options; signals given later win, in command-line order.
    const char* run[] = {"zvsim",    "--stop-time=inf", "--signals", "1;2;3",       "--input",
                         "2=step:1", "--csv",           "a.csv",     "--plot=b.svg"};
    zvsim::Options r;
    ASSERT_TRUE(zvsim::parseOptions(9, run, r, error)) << error;
    EXPECT_TRUE(std::isinf(r.stopTime));
    EXPECT_EQ(r.csvFile, "a.csv");
    EXPECT_EQ(r.plotFile, "b.svg");
    EXPECT_EQ(r.signals.highestElement(), 3);
    double u[3];
    r.signals.sample(2.0, u, 3);
    EXPECT_EQ(u[0], 1.0);
    EXPECT_EQ(u[1], 1.0);
    EXPECT_EQ(u[2], 3.0);
}

#ifdef ZVSIM_PROGRAM

struct ProgramRun {
    int status;
    std::string out;
};

class ZvsimSizeOnly : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zvsim_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // Harness part WH1: ports 1 and 2 are from-ends (block inputs, port 1
        // twice), port 3 a to-end.
        write("plant.dat", "ZELVANE MODEL DATA 6.1\n"
                           "WiringHarness\n"
                           " - HARNESS1 Simulink co-simulation harness\n"
                           "Parts\n"
                           "ENGINE Engine                     none\n"
                           "WH1 Harness                    HARNESS1 4 ports\n"
                           "Connections\n"
                           "C001              SensorConn_a WH1-1 ENGINE-1 1.0\n"
                           "C002              ControlConn_a WH1-2 ENGINE-2 1.0\n"
                           "C003              SensorConn_b WH1-1 ENGINE-3 1.0\n"
                           "C004              ActuatorConn_a ENGINE-4 WH1-3 1.0\n"
                           "End\n");
        write("bare.dat", "ZELVANE MODEL DATA 6.1\nParts\nENGINE Engine none\nEnd\n");
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
    }
    // Runs zvsim in the folder; standard output only.
    ProgramRun zvsim(const std::string& args) {
        const std::string cmd = "cd '" + dir + "' && '" ZVSIM_PROGRAM "' " + args + " 2>/dev/null";
        ProgramRun run{-1, ""};
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return run;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            run.out.append(buf, n);
        const int status = pclose(p);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }
    std::string dir;
};

TEST_F(ZvsimSizeOnly, HarnessCountsBecomeTheWidths) {
    ProgramRun r = zvsim("--size-only --model plant");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "input port width: 2\noutput port width: 1\n");
}

TEST_F(ZvsimSizeOnly, RequestedWidthsWinWithTheirNotices) {
    ProgramRun r = zvsim("--size-only --model plant --inputs 5 --outputs 0");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "I*** The specified number of inputs in the S-function block is larger than "
                     "the number of Wiring Harness outputs in the Zelvane model.\n"
                     "\t\tThe extra signals will not be used.\n"
                     "I*** The specified number of outputs in the S-function block is smaller "
                     "than the number of Wiring Harness outputs in the Zelvane model\n."
                     "\t\tThe rest of the signals will be assigned a value of 0.0\n"
                     "input port width: 5\n"
                     "output port width: 0\n");
}

TEST_F(ZvsimSizeOnly, MissingDataFileWarnsAndInheritedWidthsFollowTheSignals) {
    const std::string warning = "Warning: block 'absent/Zelvane': No ZV data file specified or "
                                "specified ZV data file does not exist in the working folder\n.\n";
    ProgramRun r = zvsim("--size-only --model absent");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, warning + "input port width: 1\noutput port width: 1\n");
    // The input takes as many elements as the signals name; the output the input's width.
    r = zvsim("--size-only --model absent --signals '1;2' --input 3=step:1");
    EXPECT_EQ(r.out, warning + "input port width: 3\noutput port width: 3\n");
    r = zvsim("--size-only --model absent --inputs 2 --input '*=1'");
    EXPECT_EQ(r.out, warning + "input port width: 2\noutput port width: 2\n");
}

TEST_F(ZvsimSizeOnly, ErrorStatusIsShownAndEndsWithFailure) {
    ProgramRun r = zvsim("--size-only --model bare");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error reported by S-function 'zelvanesl61' in 'bare/Zelvane':\n"
                     "F*** Wiring Harness was not found in Zelvane model\n");
    r = zvsim("--size-only --model plant --timestep 0");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error reported by S-function 'zelvanesl61' in 'plant/Zelvane':\n"
                     "F*** Parameter 'Timestep' must be a real positive scalar number.\n");
    r = zvsim("--size-only --model plant --inputs -3");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Invalid width -3 of input port 1."), std::string::npos) << r.out;
}

TEST_F(ZvsimSizeOnly, UsageErrorsAndUnloadableBlocks) {
    EXPECT_EQ(zvsim("--size-only").status, 2);
    EXPECT_EQ(zvsim("--size-only --model plant --bogus").status, 2);
    EXPECT_EQ(zvsim("--size-only --model plant --block nothere.mexa64").status, 2);
    write("junk.mexa64", "not a library");
    EXPECT_EQ(zvsim("--size-only --model plant --block junk.mexa64").status, 2);
    ProgramRun help = zvsim("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, zvsim::usageText());
}

#endif

} // namespace
