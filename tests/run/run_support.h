// What the end-to-end tests share: a fresh folder holding the demo model, and
// the texts that the block prints into the command window.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace runtest {

class RunFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zvrun_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        write("tank.dat", read(ZVTEST_DEMO_MODEL));
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
    }
    std::string file(const std::string& name) const { return read(dir + "/" + name); }
    static std::string read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // The tank model with one of its solver lines replaced (or dropped when
    // `with` is empty).
    void writeTankVariant(const std::string& name, const std::string& line,
                          const std::string& with) {
        std::string text = file("tank.dat");
        const size_t at = text.find(line);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, line.size() + 1, with.empty() ? "" : with + "\n");
        write(name, text);
    }

    std::string dir;
};

// Standard output without the link log's lines: what the block and zvsim print.
inline std::string commandWindow(const std::string& out) {
    std::string kept;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("INFO: ", 0) == 0 || line.rfind("WARN: ", 0) == 0 ||
            line.rfind("ERROR: ", 0) == 0 || line.rfind("DEBUG: ", 0) == 0)
            continue;
        kept += line;
        if (!lines.eof()) kept += '\n';
    }
    return kept;
}

inline std::string startSummary(const std::string& model, const std::string& product,
                                const std::string& source, const std::string& timestep, int nIn,
                                int nOut) {
    return "Model:                       " + model + "\nProduct:                     " + product +
           "\nSimulation Duration Source:  " + source +
           "\nTimestep:                    " + timestep +
           "\nInputs:                      " + std::to_string(nIn) +
           "\nOutputs:                     " + std::to_string(nOut) + "\n";
}

inline std::string blockError(const std::string& model, const std::string& text) {
    return "Error reported by S-function 'zelvanesl61' in '" + model + "/Zelvane':\n" + text;
}

const char COMPLETED[] = "\n\nThe Simulink simulation has completed.\n"
                         "\n\nThe ZV simulation may continue...\n"
                         "The ZV simulation has completed.\n";
const char SIMULTANEOUS[] = "The ZV and Simulink simulation have completed simultaneously.\n";
const char REFUSED[] = "The ZV simulation has been interrupted due to a Simulink error. \n"
                       "Please review the Simulink error message window for more details.\n";
const char INTERRUPTED[] = "The Simulink simulation has been interrupted.\n";
const char SOLVER_ERROR[] = "\n\nAn error has occurred in the ZELVANE application.\n"
                            "Examine the screen.zv and the output (*.out) file for error "
                            "messages.\n";
const char ERRSTOP_HINT[] = "Enter 'errstop61('name_of_mdl_file')' in the MATLAB Command Window "
                            "to clear the simulation.\n";

const char NOTICE_UNKNOWN[] = "\nI*** The Simulation Duration of the ZV model is unknown and "
                              "cannot be compared to the Simulink Stop Time.\n\n";
const char NOTICE_GREATER[] =
    "\nI*** The Simulation Duration of the ZV model is greater than the Simulink Stop Time.\n"
    "After reaching the Simulink Stop Time, the inputs to the ZV model will be frozen and the "
    "simulation will continue.\n\n";
const char NOTICE_LESS_FILES[] =
    "\nI*** The Simulation Duration of the ZV model is less than the Simulink Stop Time.\n"
    "ZV model output will be produced when the model reaches the Simulation Duration.\n"
    "The .OUT and .RLT files may be very large.\n\n";
const char NOTICE_LESS_STOPS[] =
    "\nI*** The Simulation Duration of the ZV model is less than the Simulink Stop Time.\n"
    "Simulink will be stopped when the ZV simulation completes.\n\n";

} // namespace runtest
