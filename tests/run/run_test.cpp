// Whole co-simulation runs: zvsim as a child process in a fresh folder,
// driving the real block, which launches (or reaches) the stand-in solver.
#include "run/run_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>

using namespace runtest;

namespace {

const std::string TANK_SUMMARY_MODE1 = startSummary("tank", "ZVDEMO", "SIMULINK", "0.100000", 2, 3);
const std::vector<EnvChange> CLEAN_ENV = {{"ZVIHOME", std::string(ZVTEST_ZVIHOME)},
                                          {"ZVIDEBUG", std::nullopt},
                                          {"ZVIVERBOSE", std::nullopt},
                                          {"ZELVANE_FAULTS", std::nullopt}};

std::vector<std::string> command(std::vector<std::string> args) {
    args.insert(args.begin(), ZVTEST_ZVSIM);
    return args;
}

// Timestep 0.1 unless more says otherwise.
std::vector<std::string> opts(const std::string& model, const std::string& product,
                              const std::string& source, const std::string& stopTime,
                              std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--model", model, "--product", product, "--duration-source", source,
                               "--timestep", "0.1", "--stop-time", stopTime});
    return more;
}
// Model tank, Simulink's stop time governing.
std::vector<std::string> tank(const std::string& stopTime, std::vector<std::string> more = {}) {
    return opts("tank", "ZVDEMO", "SIMULINK", stopTime, more);
}

class ZvRun : public ::testing::Test {
  protected:
    Finished zvsim(const std::vector<std::string>& args, std::vector<EnvChange> env = {},
                   const std::function<void(ProcessId, const std::string&)>& watch = {}) {
        env.insert(env.begin(), CLEAN_ENV.begin(), CLEAN_ENV.end());
        Finished r = runChild(command(args), dir.path(), env, watch);
        EXPECT_FALSE(r.timedOut) << r.out << r.err;
        // A sanitized zvsim reports with exit status 1, which some runs expect anyway.
        EXPECT_TRUE(zvtest::lacks(r.err, "Sanitizer"));
        EXPECT_TRUE(zvtest::lacks(r.err, "runtime error:"));
        return r;
    }
    DemoFolder dir;
};

// The endings of a run are the same whether a step takes two round trips or
// one (PIPELINE=1): same texts, same status, same closing calls.
class ZvRunEachStepMode : public ZvRun, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override { dir.file("zvlink.prm", prm()); }
    std::string prm() const { return GetParam() ? "PIPELINE=1\n" : ""; }
};
INSTANTIATE_TEST_SUITE_P(, ZvRunEachStepMode, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "Pipelined" : "TwoRoundTrips";
                         });

// Rows of a whitespace- or comma-separated table, header dropped.
std::vector<std::vector<double>> rows(std::string text) {
    std::replace(text.begin(), text.end(), ',', ' ');
    std::istringstream lines(text.substr(text.find('\n') + 1));
    std::vector<std::vector<double>> table;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        table.emplace_back(std::istream_iterator<double>(fields), std::istream_iterator<double>());
    }
    return table;
}

// ---- how a run ends ----

TEST_P(ZvRunEachStepMode, StopTimeEndsWithTheFinalAdvanceAndTheSolverRunsOnAlone) {
    Finished r = zvsim(tank("1", {"--input", "1=step:0.5", "--input", "2=2"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(commandWindow(r.out),
              TANK_SUMMARY_MODE1 + NOTICE_GREATER + COMPLETED +
                  "zvsim: the run reached its stop time, t = 1 s (11 sample hits).\n");
    // Eleven advances took the solver to 1.1; then Simulink's end at its stop time.
    EXPECT_TRUE(
        zvtest::holds(dir.read("screen.zv"), "Simulink has finished (doneSim 1) at time 1.1;"));
}

TEST_F(ZvRun, OutputsAnswerInputsOneStepLater) {
    Finished r = zvsim(tank("1.2", {"--input", "1=step:0.5", "--csv", "run.csv"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string csv = dir.read("run.csv");
    EXPECT_EQ(csv.substr(0, csv.find('\n')), "time,u1,u2,y1,y2,y3");
    auto table = rows(csv);
    ASSERT_EQ(table.size(), 13u); // t = 0, 0.1, ..., 1.2: the last hit counts
    EXPECT_EQ(table.back()[0], 1.2);
    // u1 y1 y2 y3 at each hit: y1 (gain 2) and y3 (gain -1.5) answer u1 at the next hit.
    std::string signs;
    for (size_t k = 0; k <= 6; ++k)
        for (size_t column : {1, 3, 4, 5})
            signs += std::string(column == 1 ? " " : "") + (table[k][column] > 0   ? '+'
                                                            : table[k][column] < 0 ? '-'
                                                                                   : '0');
    EXPECT_EQ(signs, " 0000 0000 0000 0000 0000 +000 ++0-");
}

TEST_P(ZvRunEachStepMode, SolverCompletingFirstStopsSimulinkWithoutAFinalAdvance) {
    Finished r =
        zvsim(opts("tank", "ZVDEMO", "ZELVANE", "12", {"--timestep", "0.5", "--plot", "run.svg"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(commandWindow(r.out),
              startSummary("tank", "ZVDEMO", "ZELVANE", "0.500000", 2, 3) + NOTICE_LESS_STOPS +
                  SIMULTANEOUS +
                  "zvsim: the block stopped the run after the sample hit at t = 9.5 s (20 sample "
                  "hits).\n");
    EXPECT_TRUE(zvtest::lacks(dir.read("screen.zv"), "Simulink has finished"));
    EXPECT_TRUE(zvtest::holds(dir.read("run.svg"), ">y3<")); // the plot, every series in it
}

// A solver that stalls: the TIMEOUT of zvlink.prm, or the user, ends the wait.
TEST_P(ZvRunEachStepMode, EveryWaitForAStalledSolverHasAWayOut) {
    const struct {
        std::string what, prm, fault;
        std::vector<int> signals; // sent once the run waits; 0 between: half a second
        int status;
        std::string said; // on standard output or error
        size_t rows = 2;  // t = 0 and 0.1 before the stall; its own row when it ends in order
    } cases[] = {
        // (A stalled handshake ends the same way: the link tests.)
        {"call, TIMEOUT",
         "TIMEOUT=1\n",
         "stall=30@ZVUPDATE:3",
         {},
         1,
         "ERROR: no answer to ZVUPDATE within 1 s (TIMEOUT in zvlink.prm); taking the solver "
         "as lost"},
        // The model load and the run-on are not steps: LONGTIMEOUT bounds them.
        {"model load and run-on past TIMEOUT",
         "TIMEOUT=0.5\nLONGTIMEOUT=60\n",
         "stall=1@SLZVIMAN,stall=1@SLCZVPWR:12",
         {},
         0,
         "zvsim: the run reached its stop time, t = 1 s (11 sample hits).",
         11},
#ifndef _WIN32 // signals sent from outside: POSIX only
        // Two at once, as a process group gets them, are one: the run ends in
        // order (the step, then terminate with doneSim 2), and a call still
        // waiting after 2 s is named.
        {"two SIGINTs together",
         "",
         "stall=4@ZVUPDATE:3",
         {SIGINT, SIGINT},
         130,
         "zvsim: Ctrl-C: the run ends once the block's mdlOutputs returns; it waits for the "
         "solver. A second Ctrl-C abandons the run.\n",
         3},
        // One SIGTERM gives a stalled call up: no third row.
        {"SIGTERM",
         "",
         "stall=30@ZVUPDATE:3",
         {SIGTERM},
         143,
         "zvsim: the run was interrupted with SIGTERM at t = 0.2 s (2 sample hits)."},
        {"second Ctrl-C",
         "",
         "stall=30@ZVUPDATE:3",
         {SIGINT, 0, SIGINT},
         130,
         "zvsim: Ctrl-C again: abandoning the run while the block's mdlOutputs waits"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.path("run.csv").c_str());
        dir.file("zvlink.prm", prm() + c.prm);
        bool sent = false;
        Finished r = zvsim(tank("1", {"--csv", "run.csv"}), {{"ZELVANE_FAULTS", c.fault}},
                           [&](ProcessId pid, const std::string& out) {
                               if (sent || out.find("continue.\n\n") == std::string::npos) return;
                               sent = true;
                               // By now zvsim waits for the stalled answer.
                               std::this_thread::sleep_for(std::chrono::milliseconds(500));
#ifndef _WIN32
                               for (int s : c.signals)
                                   s ? (void)kill(pid, s)
                                     : std::this_thread::sleep_for(std::chrono::milliseconds(500));
#else
                               (void)pid;
#endif
                           });
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_TRUE(zvtest::holds(r.out + r.err, c.said));
        if (c.status == 0) {
            EXPECT_TRUE(dir.eventually("screen.zv", "CHECKBACK\nLink closed by the block."));
        }
        if (c.status == 130 && c.rows == 3) {
            EXPECT_TRUE(zvtest::holds(r.out, std::string(COMPLETED) +
                                                 "zvsim: the run was interrupted with Ctrl-C"));
            EXPECT_TRUE(dir.eventually("screen.zv", "Simulink has finished (doneSim 2)"));
        }
        const std::string csv = dir.read("run.csv");
        // Whole rows only, flushed whatever the end.
        EXPECT_EQ(csv.rfind("time,u1,u2,y1,y2,y3\n", 0), 0u) << csv;
        EXPECT_EQ(rows(csv).size(), c.rows) << csv;
        EXPECT_EQ(csv.back(), '\n');
    }
    dir.file("zvlink.prm", prm());
}

// A fault on any call ends a pipelined run as it ends an unpipelined one:
// same status, command window and CSV, and the solver gets SLCLOSE,
// CHECKBACK and the final advance whenever it gets them without PIPELINE.
// Without a fault, the solver's results are the same byte for byte too.
// ZVUPDATE:5 of a run the solver ends exists only pipelined (the request
// sent ahead that crosses the completion); its refusal changes nothing.
class ZvRunEachFault : public ZvRun, public ::testing::WithParamInterface<const char*> {};
INSTANTIATE_TEST_SUITE_P(, ZvRunEachFault,
                         ::testing::Values("call-back", "wrong-id", "drop", "cut", "call-first"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             std::string name = p.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });
TEST_P(ZvRunEachFault, OnEveryCallEndsAPipelinedRunAsAnUnpipelinedOne) {
    const std::string kind = GetParam();
    std::vector<std::string> targets = {"DATEXIST", "SLOPEN", "SLZVIMAN", "SLCLOSE", "CHECKBACK"};
    for (int k = 1; k <= 5; ++k)
        targets.insert(targets.end(),
                       {"ZVUPDATE:" + std::to_string(k), "SLCZVPWR:" + std::to_string(k)});
    if (kind == "drop") targets.push_back(""); // no fault
    const std::vector<std::string> runs[] = {
        tank("0.3", {"--input", "1=sine:1.5,7,0.3", "--input", "2=step:0.2,-1,2", "--csv",
                     "run.csv"}), // four hits, then the final advance
        opts("tank", "ZVDEMO", "ZELVANE", "12",
             {"--timestep", "2.5", "--input", "1=step:1,0,1", "--input", "2=step:4,0,1.5", "--csv",
              "run.csv"})};
    for (const auto& args : runs)
        for (const std::string& target : targets) {
            const std::string fault = target.empty() ? "" : kind + "=" + target;
            if (fault.find("=ZVUPDATE:5") != std::string::npos && fault[0] <= 'd' &&
                args[5] == "ZELVANE")
                continue; // inherent: the link is lost before SLCLOSE
            SCOPED_TRACE(args[5] + " " + fault);
            std::string seen[2], logs[2];
            for (int pipelined : {0, 1}) {
                std::remove(dir.path("run.csv").c_str());
                std::remove(dir.path("screen.zv").c_str());
                dir.file("zvlink.prm", pipelined ? "PIPELINE=1\n" : "");
                Finished r = zvsim(args, {{"ZELVANE_FAULTS", fault}});
                // The solver may still be at its end when zvsim has ended.
                std::string screen;
                within(10, [&] {
                    screen = dir.read("screen.zv");
                    for (const char* end :
                         {"Link closed by the block.", "The block closed the connection.",
                          "(fault drop)", "(fault cut)", "ending the link."})
                        if (screen.find(end) != std::string::npos) return true;
                    return false;
                });
                std::string closing;
                for (const char* call : {"Simulink has finished", "SLCLOSE 0", "CHECKBACK\n"})
                    closing += screen.find(call) != std::string::npos ? '+' : '-';
                seen[pipelined] = std::to_string(r.status) + closing + "\n" + commandWindow(r.out) +
                                  dir.read("run.csv") + (fault.empty() ? dir.read("tank.out") : "");
                logs[pipelined] = dir.read("zvlinkclient.out");
                // A call slipped in before a return costs that call, and
                // the link goes on in step to its end.
                if (pipelined || screen.find("(fault call-first)") == std::string::npos) continue;
                const std::string window = commandWindow(r.out);
                const size_t first = window.find("Examine the screen.zv");
                EXPECT_NE(first, std::string::npos) << window;
                EXPECT_EQ(window.find("Examine the screen.zv", first + 1), std::string::npos)
                    << window;
                if (window.find("terminate was not called") == std::string::npos) {
                    EXPECT_EQ(closing.substr(1), "++") << screen;
                }
                EXPECT_TRUE(zvtest::holds(screen, "Link closed by the block."));
            }
            EXPECT_EQ(seen[1], seen[0]) << "link logs:\n" << logs[0] << "--\n" << logs[1];
            // A solver lost at t = 0 ends the host's call with the errstop hint;
            // one lost mid-run stops the run as a failure.
            const std::string end =
                fault == "drop=ZVUPDATE:1"
                    ? blockError("tank", ERRSTOP_HINT) + "zvsim: the run was aborted by the "
                                                         "block at t = 0 s; terminate was not "
                                                         "called.\n"
                    : blockError("tank", "F*** An error has occurred in the ZELVANE "
                                         "application.\n") +
                          INTERRUPTED +
                          "zvsim: the run ended with an error at t = 0.2 s (2 "
                          "sample hits).\n";
            if (args[5] == "SIMULINK" &&
                (fault == "drop=ZVUPDATE:1" || fault == "drop=SLCZVPWR:3")) {
                EXPECT_TRUE(zvtest::holds(seen[0], SOLVER_ERROR + end));
            }
        }
}

// ---- the start ----

TEST_F(ZvRun, EachRefusalAtTheStartStopsTheRunWithItsText) {
    dir.file("v60.dat", demoModel("ZVSOLVER:VERSION=6.1", "ZVSOLVER:VERSION=6.0"));
    const std::string folder = std::filesystem::path(dir.path()).parent_path().string();
    struct Refusal {
        std::vector<std::string> args; // model, product, source: the summary's
        std::string error;             // after the start summary
        bool zvihome = true, solverStarted = true;
        std::string end = REFUSED;
        std::string before = ""; // printed before the start summary (sizing)
        int nIn = 2, nOut = 3;
        std::string advice = ""; // zvsim's word on a failed link
    } cases[] = {
        {tank("1", {"--inputs", "129"}),
         "F*** S-function ZELVANESL61 may have a maximum of 128 inputs.\n", true, false, REFUSED,
         "I*** The specified number of inputs in the S-function block is larger than the number "
         "of Wiring Harness outputs in the Zelvane model.\n\t\tThe extra signals will not be "
         "used.\n",
         129},
        {opts("absent", "ZVDEMO", "SIMULINK", "1"),
         "F*** Specified ZV data file does not exist in the working folder.\nData file: "
         "absent.dat\nWorking folder: *\n",
         true, true, REFUSED,
         "Warning: block 'absent/Zelvane': No ZV data file specified or specified ZV data file "
         "does not exist in the working folder\n.\nData file: absent.dat\nWorking folder: *\n",
         1, 1,
         "zvsim: the solver found no absent.dat in " + folder +
             ": the block's Model parameter (--model absent) names absent.dat there; run zvsim "
             "in the folder that holds it.\n"},
        {opts("tank", "ZVOTHER", "SIMULINK", "1"),
         "F*** Specified product code does not match with the one that was used to create the "
         "specified ZV data file.\nData file: tank.dat\nWorking folder: *\n",
         true, true, REFUSED, "", 2, 3,
         "zvsim: tank.dat in " + folder +
             " was made with the product code ZVDEMO, not ZVOTHER: give --product ZVDEMO (the "
             "block's Product parameter).\n"},
        {opts("v60", "ZVDEMO", "SIMULINK", "1"),
         "F*** Specified ZV data file has not been created by a Zelvane v6.1 product. This "
         "S-function supports only v6.1 ZV data files.\nData file: v60.dat\nWorking folder: "
         "*\n"},
        {opts("tank", "ZVDEMO", "ZELVANE", "10"),
         "F*** When Simulation Duration is chosen from ZELVANE, it must be less than the "
         "Simulink Stop Time.\n\n"},
        {tank("1"), "F*** Error initializing socket.\n", false, false, INTERRUPTED, "", 2, 3,
         "zvsim: the block could not start the solver: ZVIHOME is not set (it names the "
         "solver's installation).\n"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.error);
        std::remove(dir.path("screen.zv").c_str());
        // A refused run leaves no empty outputs behind, and says so.
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--csv", "run.csv", "--plot", "run.svg"});
        Finished r =
            zvsim(args, {{"ZVIHOME", c.zvihome ? ZVTEST_ZVIHOME : std::optional<std::string>()}});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(zvtest::maskedFolders(commandWindow(r.out)),
                  c.before +
                      startSummary(c.args[1], c.args[3], c.args[5], "0.100000", c.nIn, c.nOut) +
                      blockError(c.args[1], c.error) + c.end + c.advice +
                      "zvsim: the block refused to start the run.\n");
        EXPECT_EQ(!dir.read("screen.zv").empty(), c.solverStarted);
        EXPECT_FALSE(std::filesystem::exists(dir.path("run.csv")));
        EXPECT_FALSE(std::filesystem::exists(dir.path("run.svg")));
        EXPECT_TRUE(zvtest::holds(r.err,
                                  "zvsim: no sample hit was run, so run.csv and run.svg were not "
                                  "written.\n"));
    }
}

TEST_F(ZvRun, StartNoticesCompareTheDurationWithTheStopTime) {
    dir.file("nodur.dat", demoModel("ZVSOLVER:DURATION=10"));
    struct Case {
        const char* model;
        const char* stopTime;
        std::string notice;
        int nIn = 2; // an input port of width 0 steps with no signals
    } cases[] = {
        {"nodur", "0.5", NOTICE_UNKNOWN},
        {"tank", "10", ""}, // equal: nothing to say
        {"tank", "10.5", NOTICE_LESS_FILES},
        {"tank", "10", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + c.stopTime);
        Finished r = zvsim(opts(c.model, "ZVDEMO", "SIMULINK", c.stopTime,
                                {"--timestep", "0.5", "--inputs", std::to_string(c.nIn)}));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(zvtest::lacks(r.err, "Fatal Error"));
        // Width 0 is smaller than the harness: its sizing notice comes first.
        const std::string window = commandWindow(r.out), from = window.substr(window.find("Model"));
        EXPECT_EQ(window == from, c.nIn > 0) << window;
        const std::string start =
            startSummary(c.model, "ZVDEMO", "SIMULINK", "0.500000", c.nIn, 3) + c.notice +
            COMPLETED;
        EXPECT_EQ(from.rfind(start, 0), 0u) << window;
        EXPECT_TRUE(zvtest::holds(window, "zvsim: the run reached its stop time"));
    }
}

// ---- the link failing ----

TEST_F(ZvRun, ConnectModeReachesAListeningSolverThroughZvlinkPrm) {
    ListeningSolver solver(dir.path());
    ASSERT_NE(solver.port, 0) << solver.out;
    dir.file("zvlink.prm", "HOST=127.0.0.1\nPORT=" + std::to_string(solver.port) + "\n");

    Finished r = zvsim(tank("0.5"), {{"ZVIHOME", std::nullopt}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(commandWindow(r.out),
              TANK_SUMMARY_MODE1 + NOTICE_GREATER + COMPLETED +
                  "zvsim: the run reached its stop time, t = 0.5 s (6 sample hits).\n");
    // A data file the solver does not find: it looked in its own folder.
    r = zvsim(opts("absent", "ZVDEMO", "SIMULINK", "0.5"), {{"ZVIHOME", std::nullopt}});
    EXPECT_TRUE(
        zvtest::holds(r.out, "Data file: absent.dat\nA solver that listens for the block reads the "
                             "data file from its own working folder"));
    solver.stop();
    const std::string screen = dir.read("screen.zv");
    EXPECT_TRUE(zvtest::holds(screen, "Block connected"));
    EXPECT_TRUE(zvtest::holds(screen, "(doneSim 1)"));

    // Nothing listens there any more: refused at the start as a failed launch
    // is (the refusal table), and zvsim says where the link was meant to go.
    r = zvsim(tank("0.5"), {{"ZVIHOME", std::nullopt}});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(zvtest::holds(r.out, "\nzvsim: nothing listens at 127.0.0.1 port " +
                                         std::to_string(solver.port) +
                                         " (zvlink.prm in this folder)"));
}

#ifdef ZVTEST_ZVDOCTOR
// zvdoctor in the model's folder passes on the demo's installation and names
// the fault of each broken one.
TEST_F(ZvRun, ZvdoctorNamesTheFaultOfEachBrokenInstallation) {
    std::ifstream in(ZVTEST_BLOCK, std::ios::binary);
    std::string block((std::istreambuf_iterator<char>(in)), {});
    for (size_t at = block.find("libmex."); at != std::string::npos; at = block.find("libmex."))
        block[at + 5] = 'z'; // a library no machine has
    std::ofstream(dir.path("gone.mex"), std::ios::binary) << block;
    struct Case {
        std::vector<std::string> args;
        std::string prm;
        std::vector<EnvChange> env;
        std::vector<std::string> says; // in this order
    } cases[] = {
        {{"--model", "tank", "--product", "ZVDEMO"},
         "",
         {},
         {"[ ok ] launch: the solver started", "[ ok ] handshake",
          "[ ok ] DATEXIST: the solver "
          "finds tank.dat",
          "[ ok ] close: SLCLOSE, CHECKBACK and the close frame", "all checks passed"}},
        {{}, "VERSION=9.9\n", {}, {"[FAIL] no solver for version 9.9", "(installed: 6.1.0)"}},
        {{"--wait", "1"},
         "",
         {{"ZELVANE_FAULTS", "exit=3"}},
         {"[FAIL] launch: the solver did not connect back", "fix: run the solver by hand"}},
        {{"--mex", dir.path("gone.mex")},
         "",
         {},
         {"[FAIL] gone.mex needs libraries", "libmez.", "[FAIL] gone.mex does not load"}},
        {{},
         "HOST=127.0.0.1\nPORT=abc\nPROT=1234\n",
         {},
         {"[FAIL] zvlink.prm: 3 lines read; launch mode", "Skipping unknown attribute: PROT",
          "HOST=127.0.0.1 without a usable PORT"}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.says.front());
        dir.file("zvlink.prm", c.prm);
        c.args.insert(c.args.begin(), ZVTEST_ZVDOCTOR);
        c.env.insert(c.env.begin(), CLEAN_ENV.begin(), CLEAN_ENV.end());
        const Finished r = runChild(c.args, dir.path(), c.env);
        EXPECT_EQ(r.status, &c == &cases[0] ? 0 : 1) << r.out << r.err;
        size_t at = 0;
        for (const std::string& text : c.says)
            if ((at = r.out.find(text, at)) == std::string::npos) {
                ADD_FAILURE() << text << " not in\n" << r.out;
                break;
            }
    }
}
#endif

// Runs side by side, each in its own folder with its own solver on a port
// of the system's choosing, as a parameter sweep starts them.
TEST(ZvRuns, EightAtOnceEachCompleteOnItsOwn) {
    const int n = 8;
    std::vector<std::unique_ptr<DemoFolder>> dirs;
    std::vector<std::unique_ptr<Child>> runs;
    for (int i = 0; i < n; ++i) {
        dirs.push_back(std::make_unique<DemoFolder>());
        const std::string gain = std::to_string(i + 1);
        runs.push_back(std::make_unique<Child>(
            command(tank("2", {"--input", "1=" + gain, "--csv", "run.csv"})), dirs.back()->path(),
            CLEAN_ENV));
    }
    std::vector<double> settled(n, 0.0);
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(runs[i]->wait(60), 0) << runs[i]->out;
        // Each run's outputs answer its own input.
        auto table = rows(dirs[i]->read("run.csv"));
        ASSERT_EQ(table.size(), 21u) << runs[i]->out;
        EXPECT_EQ(table.back()[1], i + 1.0);
        settled[i] = table.back()[3];
        if (i > 0) {
            EXPECT_GT(settled[i], settled[i - 1]); // a larger input, a larger output
        }
        EXPECT_TRUE(dirs[i]->eventually("screen.zv", "(doneSim 1)"));
    }
}

} // namespace
