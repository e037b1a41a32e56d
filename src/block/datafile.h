// Scan of a Zelvane model data file for its wiring harness. A plain function
// of a file name with no host dependency: the block sizes its ports from it,
// and the stand-in solver and tools read the same harness from it.
#pragma once

// Outcome of a scan.
enum {
    // The harness part was found; the counts come from fileName.
    DATAFILE_HARNESS_FOUND = 1,
    // fileName (the main file, or a used sub-assembly's file) could not be opened.
    DATAFILE_MISSING = 2,
    // No harness in the main file and no used sub-assembly to look in.
    DATAFILE_NO_HARNESS = 3,
    // No harness in the main file nor in any used sub-assembly's file.
    DATAFILE_NO_HARNESS_IN_SUBASSEMBLIES = 4
};

// One read of a data file: at most 99 characters and the terminating zero.
// A longer line is examined as several lines.
#define DATAFILE_LINE_SIZE 100
// Port numbers 0 to 127 are marked in the port tables below.
#define DATAFILE_PORT_MARKS 128
// Room kept for fileName; a longer name is cut short here only (the file
// itself is opened under its full name).
#define DATAFILE_NAME_SIZE 260

struct DataFileScan {
    int status;      // one of DATAFILE_*
    int inputCount;  // distinct harness ports used as from-ends (block inputs)
    int outputCount; // distinct harness ports used as to-ends (block outputs)
    // 1 where a port number in 0..127 was counted. Numbers outside that range
    // are counted too (once each) but have no mark.
    unsigned char inputPorts[DATAFILE_PORT_MARKS];
    unsigned char outputPorts[DATAFILE_PORT_MARKS];
    // Names are taken from a single line, so these hold any name the file can carry.
    char harnessName[DATAFILE_LINE_SIZE];
    char partName[DATAFILE_LINE_SIZE];
    // The file whose scan found the harness part, or the one that was missing.
    char fileName[DATAFILE_NAME_SIZE];
};

// Scans "<modelName>.dat" (relative to the working folder) and, when the
// harness is not there, the data files of the sub-assemblies it uses (base
// name + ".dat", also relative to the working folder). Fills *scan and returns
// 1 when the harness was found, 0 otherwise (scan->status tells why). A null
// modelName is treated as an empty one.
int scanModelDataFile(const char* modelName, DataFileScan* scan);
