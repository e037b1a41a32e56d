// What the end-to-end tests share: the texts that the block and zvsim print
// into the command window.
#pragma once

#include <sstream>

#include "support/solver.h"

namespace runtest {

using namespace zvproc;

// Standard output without the link log's lines: what the block and zvsim print.
inline std::string commandWindow(const std::string& out) {
    std::string kept, line;
    std::istringstream lines(out);
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
