// zvsim: its command line, and --size-only run as a program against the
// real block in the folder of the example models.
#include "engine.h"
#include "interrupt.h"
#ifdef _WIN32
#include "interrupt_windows.h"
#include "support/net.h" // windows.h after Winsock
#include <windows.h>
#endif
#include "support/child.h"
#include "support/zvtest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <thread>

namespace {

// Parses "zvsim " + line, its words split at spaces.
bool parse(const std::string& line, zvsim::Options& o, std::string& error) {
    std::istringstream in("zvsim " + line);
    const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    return zvsim::parseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(ZvsimOptions, EveryOptionAndRefusals) {
    zvsim::Options o;
    std::string error;
    // Later signals win over earlier ones.
    ASSERT_TRUE(parse("--stop-time=inf --signals 1;2;3 --input 2=step:1 --csv a.csv --plot=b.svg",
                      o, error))
        << error;
    EXPECT_TRUE(std::isinf(o.stopTime));
    EXPECT_EQ(o.csvFile + " " + o.plotFile, "a.csv b.svg");
    double u[3];
    o.signals.sample(2.0, u, 3);
    EXPECT_EQ(std::vector<double>(u, u + 3), (std::vector<double>{1, 1, 3}));

    for (const char* bad : {"--timestep fast", "--inputs 2x", "--frobnicate 1",
                            "--size-only --model", "--stop-time -1", "--stop-time nan",
                            "--input 0=1", "--signals 1;a:2", "--plot run.png"}) {
        zvsim::Options fresh;
        std::string e;
        EXPECT_FALSE(parse(bad, fresh, e) || e.empty()) << bad;
    }
}

#ifdef ZVSIM_PROGRAM

TEST(ZvsimSizeOnly, WidthsWarningsErrorsAndExitStatus) {
    zvtest::TempDir dir;
    const std::string junk = dir.file("junk.mexa64", "not a library");
    const std::string warning = "Warning: block 'absent/Zelvane': No ZV data file specified or "
                                "specified ZV data file does not exist in the working folder\n.\n"
                                "Data file: absent.dat\nWorking folder: *\n";
    auto widths = [](int in, int out) {
        return "input port width: " + std::to_string(in) +
               "\noutput port width: " + std::to_string(out) + "\n";
    };
    struct Case {
        std::string args;
        int status;
        std::string out; // standard output: all of it, or a part when `exact` is false
        bool exact = true;
        std::string err = ""; // all of standard error, when given
    } cases[] = {
        {"--model simple", 0, widths(3, 2)},
        {"--model absent", 0, warning + widths(1, 1)},
        // The input takes as many elements as the signals name; the output the input's width.
        {"--model absent --signals '1;2' --input 3=step:1", 0, warning + widths(3, 3)},
        {"--model absent --inputs 2 --input '*=1'", 0, warning + widths(2, 2)},
        {"--model simple --timestep 0", 1,
         "Error reported by S-function 'zelvanesl61' in 'simple/Zelvane':\n"
         "F*** Parameter 'Timestep' must be a real positive scalar number.\n"},
        {"--model simple --inputs -3", 1, "Invalid width -3 of input port 1.", false},
        // A usage error is one line that names the problem, and a pointer to the help.
        {"", 2, "", true,
         "zvsim: give --model NAME (the data file NAME.dat)\ntry 'zvsim --help'\n"},
        {"--model simple.dat", 2, "", true,
         "zvsim: --model takes the data file's base name, as the block's Model parameter does: "
         "--model simple reads simple.dat (there is no simple.dat.dat)\ntry 'zvsim --help'\n"},
        {"--model simple --block '" + junk + "'", 2, "", false},
    };
    // zvsim in the models' folder; its exit status, standard output in *out.
    auto run = [&](const std::string& args, std::string* out) {
        std::vector<std::string> argv = {ZVSIM_PROGRAM};
        std::istringstream words(args);
        for (std::string w; words >> std::quoted(w, '\'');)
            argv.push_back(w);
        zvproc::Child zvsim(argv, ZV_EXAMPLE_MODELS, {}, dir.path("err.txt"));
        const int status = zvsim.wait(60);
        while (zvsim.pump(0)) {
        }
        *out = zvsim.out;
        return status;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::string got;
        EXPECT_EQ(run("--size-only " + c.args, &got), c.status);
        got = zvtest::maskedFolders(got);
        EXPECT_TRUE(c.exact ? got == c.out : got.find(c.out) != std::string::npos) << got;
        const std::string err = zvtest::readFile(dir.path("err.txt"));
        EXPECT_TRUE(c.err.empty() || err == c.err) << err;
    }
    std::string help;
    EXPECT_EQ(run("--help", &help), 0);
    EXPECT_EQ(help, zvsim::usageText());
}

#endif

// (How requests merge or give the run up: the run tests' Ctrl-C and SIGTERM
// cases.)
#ifdef _WIN32
// The console handler takes Ctrl-C and Ctrl-Break during a run; one that
// gives the run up is left to the system's default unless the engine
// watches, and so is closing the console.
TEST(ZvsimInterrupt, ConsoleHandlerTakesEventsOnlyDuringARun) {
    zvsim::armInterrupt();
    EXPECT_FALSE(zvsim::onConsoleControl(CTRL_CLOSE_EVENT));
    EXPECT_FALSE(zvsim::interruptRequested());
    EXPECT_TRUE(zvsim::onConsoleControl(CTRL_BREAK_EVENT));
    EXPECT_STREQ(zvsim::interruptName(true), "Ctrl-Break");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    zvsim::setInterruptWatched(true);
    EXPECT_TRUE(zvsim::onConsoleControl(CTRL_C_EVENT));
    EXPECT_EQ(zvsim::abandonSignal(), SIGINT);
    EXPECT_FALSE(zvsim::onConsoleControl(CTRL_C_EVENT)) << "a third: giving up stalls";
    zvsim::setInterruptWatched(false);
    zvsim::armInterrupt(); // the next run starts afresh
    EXPECT_FALSE(zvsim::interruptRequested());
    zvsim::disarmInterrupt();
    EXPECT_FALSE(zvsim::onConsoleControl(CTRL_C_EVENT)) << "outside a run: the default";
}
#endif

} // namespace
