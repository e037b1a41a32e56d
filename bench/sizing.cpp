// Sizing time against the size of the model data file: a main file that
// lists many sub-assemblies and uses each of them, the harness in the file
// of the last one. The time per KiB should not grow with the file.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "block/datafile.h"
#include "runs.h"

namespace zvbench {

namespace {

// Writes "big.dat" of about `bytes` bytes into the working folder, with its
// sub-assembly files; returns its size.
size_t writeModel(size_t bytes) {
    std::ofstream("empty.dat") << "ZELVANE MODEL 6.1\nno harness here\n";
    std::ofstream("harness.dat") << "WiringHarness\n - WH Simulink\n"
                                 << "HARN " << std::string(27, ' ') << "WH harness part\n"
                                 << "C1 " << std::string(13, ' ') << "SensorConn_1 HARN-1 X-1 1\n";
    // Each entry costs an entry line and a part line of about 80 bytes.
    const size_t entries = bytes / 80;
    std::string text = "ZELVANE MODEL 6.1\nSubAssembly\n";
    for (size_t i = 0; i < entries; ++i) {
        const bool last = i + 1 == entries;
        text += " - SUB" + std::to_string(100000 + i) + "A \"" + (last ? "harness" : "empty") +
                ".dat\"\n";
    }
    text += "Parts\n";
    for (size_t i = 0; i < entries; ++i)
        text += "P" + std::to_string(i) + " " + std::string(25, ' ') + "SUB" +
                std::to_string(100000 + i) + "A placement\n";
    std::ofstream("big.dat", std::ios::binary) << text;
    return text.size();
}

// Microseconds per KiB of the fastest of a few sizings.
double secondsPerKiB(size_t bytes, bool* found) {
    const size_t size = writeModel(bytes);
    double best = 1e30;
    for (int rep = 0; rep < 3; ++rep) {
        DataFileScan scan;
        const auto start = std::chrono::steady_clock::now();
        *found = scanModelDataFile("big", &scan) == 1;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best / (double(size) / 1024.0);
}

} // namespace

bool benchSizing(FILE* out) {
    bool smallFound = false, largeFound = false;
    const double small = secondsPerKiB(64 * 1024, &smallFound);
    const double large = secondsPerKiB(1024 * 1024, &largeFound);
    fprintf(out,
            "\nsizing, data file listing and using its sub-assemblies: %.2f us/KiB at 64 KiB, "
            "%.2f us/KiB at 1 MiB (ratio %.2f)\n",
            small * 1e6, large * 1e6, small > 0 ? large / small : 0.0);
    return smallFound && largeFound;
}

} // namespace zvbench
