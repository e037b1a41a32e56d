// The harness scan of model data files.
#include "block/datafile.h"
#include "block/datafile_fixture.h"

#include <cstring>

namespace {

DataFileScan scanOf(const char* model) {
    DataFileScan s;
    memset(&s, 0x5A, sizeof s); // every reported field must be set by the scan
    scanModelDataFile(model, &s);
    return s;
}

using HarnessScan = WorkFolderTest;

TEST_F(HarnessScan, CountsDistinctPortsPerDirection) {
    write("M.dat", harness("WH", "WH") +
                       std::vector<std::string>{
                           conn("C1", "WH-1", "ENGINE-1"),
                           conn("C2", "WH-1", "ENGINE-3", "ControlConn"),  // 1 again
                           conn("C3", "SENSOR-1", "WH-1", "ActuatorConn"), // 1 as a to-end
                           conn("C4", "WH12-3", "WH-07"),          // separator '1', port 2; 07 is 7
                           conn("C5", "WH:+9", "XWH-5"),           // a sign; XWH is another part
                           conn("C6", "WH-x", "X-1"),              // no digits: 0
                           at("C7", 13, "SensorConn_1 WH-20 X-1"), // keyword one column early
                           at("C8", 14, "SensorCon_1 WH-21 X-1"),  // keyword cut short
                           // a space right after the keyword does not end its field
                           at("C9", 14, "SensorConn WH-22 WH-23 WH-24"),
                           at("CA", 14, "SensorConn_"), // nothing after the keyword field
                       });
    DataFileScan s = scanOf("M");
    EXPECT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(scanModelDataFile("M", &s), 1);
    EXPECT_STREQ(s.fileName, "M.dat");
    EXPECT_STREQ(s.harnessName, "WH");
    EXPECT_EQ(s.inputCount, 5); // 1, 2, 9, 0, 23
    EXPECT_TRUE(s.inputPorts[1] && s.inputPorts[2] && s.inputPorts[9] && s.inputPorts[0] &&
                s.inputPorts[23]);
    EXPECT_EQ(s.outputCount, 3); // 1, 7, 24
    EXPECT_TRUE(s.outputPorts[1] && s.outputPorts[7] && s.outputPorts[24]);
}

TEST_F(HarnessScan, HeaderNameAndPartLines) {
    write("M.dat", {
                       conn("C0", "HARN-1", "X-1"), // before the harness: ignored
                       "WiringHarnesX",             // 13th character not compared
                       " - WH_MAIN  Simulink",      // two spaces: not a name line
                       " - WH_OTHER Simulator",
                       "x - WH_X Simulink", // column 0 not a space
                       " -  Simulink",      // empty name
                       " abWH_MAIN Simulink",
                       " - WH_LATER Simulink",      // only the first name line counts
                       conn("C1", "HARN-2", "X-1"), // before the part line: ignored
                       at("HARN", 27, "WH_MAIN"),   // wrong column
                       at("HARN", 28, "WH_MAINXY"), // what follows the name is not examined
                       at("OTHER", 28, "WH_MAIN"),  // only the first part line counts
                       conn("C2", "HARN-3", "X-1"),
                       conn("C3", "OTHER-4", "X-1"),
                   });
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_STREQ(s.harnessName, "WH_MAIN");
    EXPECT_STREQ(s.partName, "HARN");
    EXPECT_EQ(s.inputCount, 1);
    EXPECT_TRUE(s.inputPorts[3]);

    // A part line that starts with a blank names a part with an empty name,
    // which every reference names: one character skipped, then the number.
    write("E.dat", {"WiringHarness", " - WH Simulink", at("", 28, "WH"), conn("C1", "X-3", "-4"),
                    conn("C2", "Y5", "HARN-6")});
    s = scanOf("E");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_STREQ(s.partName, "");
    EXPECT_EQ(s.inputCount, 2);  // -3 and 5
    EXPECT_EQ(s.outputCount, 2); // 4 and the atoi of "ARN-6", 0
    EXPECT_TRUE(s.inputPorts[5] && s.outputPorts[4] && s.outputPorts[0]);
}

TEST_F(HarnessScan, LongLinesAreReadInPiecesOf99) {
    std::string filler(99, 'z');
    write("M.dat", {
                       filler + "WiringHarness", // the header starts the second piece
                       " - WH_MAIN Simulink",
                       harnessPart("HARN", "WH_MAIN"),
                       // the to-reference is cut after column 98: "HARN-1", then "23 X"
                       at("C1", 14, "SensorConn_1 ") + std::string(63, 'q') + " HARN-123 X",
                       filler + conn("C2", "HARN-4", "X-1"),
                   });
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.inputCount, 1);
    EXPECT_TRUE(s.inputPorts[4]);
    EXPECT_EQ(s.outputCount, 1);
    EXPECT_TRUE(s.outputPorts[1]);
}

using SubAssemblyScan = WorkFolderTest;

std::vector<std::string> mainWithSubs(const std::vector<std::string>& entries,
                                      const std::vector<std::string>& parts) {
    return std::vector<std::string>{"ZELVANE MODEL 6.1", "SubAssembly"} + entries +
           std::vector<std::string>{"Parts"} + parts;
}

TEST_F(SubAssemblyScan, HarnessInSecondUsedSubAssembly) {
    write("M.dat", mainWithSubs({" - PUMPA \"pump.dat\"", " - VALVEA \"valve.dat\"",
                                 " - CTRLA \"ctrl.dat\""},
                                {usesSub("P1", "PUMPA"), usesSub("P2", "CTRLA")}));
    write("pump.dat", {"no harness here", conn("C1", "HARN-1", "X-1")});
    // not used: never read, although it holds a harness
    write("valve.dat", harness() + std::vector<std::string>{conn("C1", "HARN-9", "X-9")});
    write("ctrl.dat",
          harness("WH_CTRL", "HC") +
              std::vector<std::string>{conn("C1", "HC-1", "X-1"), conn("C2", "HC-2", "HC-3")});
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_STREQ(s.fileName, "ctrl.dat");
    EXPECT_STREQ(s.partName, "HC");
    EXPECT_EQ(s.inputCount, 2);
    EXPECT_EQ(s.outputCount, 1);
}

TEST_F(SubAssemblyScan, WhatCountsAsFoundAndUsed) {
    write("h.dat", harness());
    // a header and a name line without their part line are not a harness;
    // a sub-assembly's own sub-assemblies are not followed
    write("C.dat", std::vector<std::string>{"WiringHarness", " - WH Simulink"} +
                       mainWithSubs({" - PUMPA \"pump.dat\""}, {usesSub("P1", "PUMPA")}));
    write("pump.dat", mainWithSubs({" - DEEPA \"h.dat\""}, {usesSub("P1", "DEEPA")}));
    EXPECT_EQ(scanOf("C").status, DATAFILE_NO_HARNESS_IN_SUBASSEMBLIES);
    write("e.dat", {"no harness"});

    struct Case {
        std::vector<std::string> lines;
        int status;
    } cases[] = {
        // the last character of the name is not compared; one-character names never match
        // (else the missing nope.dat would end the scan)
        {mainWithSubs({" - P \"nope.dat\"", " - PUMPA \"h.dat\""},
                      {usesSub("P1", "P"), usesSub("P2", "PUMPZ")}),
         DATAFILE_HARNESS_FOUND},
        {mainWithSubs({" - PU \"h.dat\""}, {usesSub("P1", "P")}), DATAFILE_HARNESS_FOUND},
        {mainWithSubs({" - PUMPA \"h.dat\""}, {at("P1", 25, "PUMPA")}), DATAFILE_NO_HARNESS},
        // one use marks every entry whose name compares alike; a file named
        // twice, or the main file itself, is no reason to stop looking
        {mainWithSubs({" - PUMPA \"M.dat\"", " - PUMPB \"e.dat\"", " - PUMPC \"e.dat\"",
                       " - PUMPD \"h.dat\""},
                      {usesSub("P1", "PUMPZ")}),
         DATAFILE_HARNESS_FOUND},
        {mainWithSubs({" - PUMPA \"M.dat\"", " - VALVEA \"e.dat\""},
                      {usesSub("P1", "PUMPA"), usesSub("P2", "VALVEA")}),
         DATAFILE_NO_HARNESS_IN_SUBASSEMBLIES},
        // comments inside the list; a line before any entry does not end it
        {mainWithSubs({"* not yet the end", " - PUMPA", " - VALVEA \"v\"", "| comment",
                       " - CTRLA \"h.dat\""},
                      {usesSub("P1", "CTRLA")}),
         DATAFILE_HARNESS_FOUND},
        // the line that ends the list is not a part line, nor is one before the list
        {{usesSub("P0", "CTRLA"), "SubAssembly", " - CTRLA \"h.dat\"", usesSub("P1", "CTRLA")},
         DATAFILE_NO_HARNESS},
    };
    for (const Case& c : cases) {
        write("M.dat", c.lines);
        EXPECT_EQ(scanOf("M").status, c.status) << c.lines[2] << " / " << c.lines.back();
    }
}

// Input beyond the sizes the file format was laid out for.
using DataFileLimits = WorkFolderTest;

TEST_F(DataFileLimits, PortNumbersOutsideTheMarksAreCountedOnce) {
    std::vector<std::string> lines = harness();
    for (const char* port : {"128", "128", "-1", "1000", "100", "99999999999999999999999999",
                             "99999999999999999999999998", "-99999999999999999999999999"})
        lines.push_back(conn("C", std::string("HARN-") + port, "X-1"));
    for (int i = 0; i < 300; i++)
        lines.push_back(conn("C", "X-1", "HARN-" + std::to_string(i)));
    write("M.dat", lines);
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    // 128, -1, 1000, 100 (a field of four digits is read whole), the two saturated ends
    EXPECT_EQ(s.inputCount, 6);
    EXPECT_TRUE(s.inputPorts[100]);
    EXPECT_EQ(s.outputCount, 300); // more distinct numbers than are remembered: never fewer
}

TEST_F(DataFileLimits, LongNamesAndManySubAssemblies) {
    std::string name(55, 'N'), part(15, 'P');
    write("L.dat", {"WiringHarness", " - " + name + " Simulink", at(part, 28, name),
                    at("C1", 14, "SensorConn_1 " + part + "-3 X-1")});
    DataFileScan s = scanOf("L");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.harnessName, name);
    EXPECT_EQ(s.partName, part);
    EXPECT_EQ(s.inputCount, 1);

    s = scanOf(std::string(400, 'm').c_str());
    EXPECT_EQ(s.status, DATAFILE_MISSING);
    EXPECT_EQ(strlen(s.fileName), sizeof s.fileName - 1);

    std::vector<std::string> entries, parts;
    for (int i = 0; i < 150; i++) {
        std::string n = "SUB" + std::to_string(1000 + i);
        entries.push_back(" - " + n + "X \"" + n + ".dat\"");
        parts.push_back(usesSub("P", n + "X"));
        write(n + ".dat",
              {i == 149 ? "WiringHarness" : "empty", " - WH Simulink", harnessPart("H", "WH")});
    }
    write("M.dat", mainWithSubs(entries, parts));
    s = scanOf("M");
    EXPECT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_STREQ(s.fileName, "SUB1149.dat");
}

} // namespace
