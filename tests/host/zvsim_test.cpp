// zvsim: its command line, and --size-only run as a program against the
// real block in a folder holding a small model data file.
#include "engine.h"
#include "support/zvtest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

TEST(ZvsimOptions, DefaultsEveryOptionAndRefusals) {
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
    EXPECT_EQ(zvsim::mexFileName("/opt/bin/zelvanesl61.mexa64"), "zelvanesl61");

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
}

TEST(ZvsimOptions, RunOptionsWithLaterSignalsWinning) {
    const char* run[] = {"zvsim",    "--stop-time=inf", "--signals", "1;2;3",       "--input",
                         "2=step:1", "--csv",           "a.csv",     "--plot=b.svg"};
    zvsim::Options r;
    std::string error;
    ASSERT_TRUE(zvsim::parseOptions(9, run, r, error)) << error;
    EXPECT_TRUE(std::isinf(r.stopTime));
    EXPECT_EQ(r.csvFile, "a.csv");
    EXPECT_EQ(r.plotFile, "b.svg");
    EXPECT_EQ(r.signals.highestElement(), 3);
    double u[3];
    r.signals.sample(2.0, u, 3);
    EXPECT_EQ(std::vector<double>(u, u + 3), (std::vector<double>{1, 1, 3}));
}

#ifdef ZVSIM_PROGRAM

TEST(ZvsimSizeOnly, WidthsNoticesWarningsAndExitStatus) {
    zvtest::TempDir dir;
    // Harness part WH1: ports 1 and 2 are from-ends (block inputs, port 1
    // twice), port 3 a to-end.
    dir.file("plant.dat", "ZELVANE MODEL DATA 6.1\n"
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
    dir.file("bare.dat", "ZELVANE MODEL DATA 6.1\nParts\nENGINE Engine none\nEnd\n");
    dir.file("junk.mexa64", "not a library");
    const std::string warning = "Warning: block 'absent/Zelvane': No ZV data file specified or "
                                "specified ZV data file does not exist in the working folder\n.\n";
    auto widths = [](int in, int out) {
        return "input port width: " + std::to_string(in) +
               "\noutput port width: " + std::to_string(out) + "\n";
    };
    struct Case {
        std::string args;
        int status;
        std::string out; // standard output: all of it, or a part when `exact` is false
        bool exact = true;
    } cases[] = {
        {"--model plant", 0, widths(2, 1)},
        {"--model plant --inputs 5 --outputs 0", 0,
         "I*** The specified number of inputs in the S-function block is larger than the number "
         "of Wiring Harness outputs in the Zelvane model.\n\t\tThe extra signals will not be "
         "used.\nI*** The specified number of outputs in the S-function block is smaller than "
         "the number of Wiring Harness outputs in the Zelvane model\n.\t\tThe rest of the "
         "signals will be assigned a value of 0.0\n" +
             widths(5, 0)},
        {"--model absent", 0, warning + widths(1, 1)},
        // The input takes as many elements as the signals name; the output the input's width.
        {"--model absent --signals '1;2' --input 3=step:1", 0, warning + widths(3, 3)},
        {"--model absent --inputs 2 --input '*=1'", 0, warning + widths(2, 2)},
        {"--model bare", 1,
         "Error reported by S-function 'zelvanesl61' in 'bare/Zelvane':\n"
         "F*** Wiring Harness was not found in Zelvane model\n"},
        {"--model plant --timestep 0", 1,
         "Error reported by S-function 'zelvanesl61' in 'plant/Zelvane':\n"
         "F*** Parameter 'Timestep' must be a real positive scalar number.\n"},
        {"--model plant --inputs -3", 1, "Invalid width -3 of input port 1.", false},
        {"", 2, "", false},
        {"--model plant --bogus", 2, "", false},
        {"--model plant --block nothere.mexa64", 2, "", false},
        {"--model plant --block junk.mexa64", 2, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const std::string cmd = "cd '" + dir.path() + "' && '" ZVSIM_PROGRAM "' --size-only " +
                                c.args + " >out.txt 2>/dev/null";
        const int status = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        const std::string out = zvtest::readFile(dir.path("out.txt"));
        if (c.exact) {
            EXPECT_EQ(out, c.out);
        } else {
            EXPECT_NE(out.find(c.out), std::string::npos) << out;
        }
    }
    const std::string cmd = "'" ZVSIM_PROGRAM "' --help >'" + dir.path("help.txt") + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(zvtest::readFile(dir.path("help.txt")), zvsim::usageText());
}

#endif

} // namespace
