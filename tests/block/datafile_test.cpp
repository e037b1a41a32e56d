// The harness scan of model data files, file by file.
#include "block/datafile.h"
#include "block/datafile_fixture.h"

namespace {

DataFileScan scanOf(const char* model) {
    DataFileScan s;
    memset(&s, 0x5A, sizeof s); // the scan must set every field it reports
    scanModelDataFile(model, &s);
    return s;
}

using HarnessScan = WorkFolderTest;

TEST_F(HarnessScan, CountsDistinctPortsPerDirection) {
    write("M.dat", std::vector<std::string>{"ZELVANE MODEL 6.1"} + harness() +
                       std::vector<std::string>{
                           "Connections", conn("C1", "HARN-1", "ENGINE-1"),
                           conn("C2", "HARN-2", "ENGINE-2", "ControlConn"),
                           conn("C3", "HARN-1", "ENGINE-3"),                 // port 1 again
                           conn("C4", "SENSOR-1", "HARN-1", "ActuatorConn"), // 1 as a to-end
                           conn("C5", "SENSOR-2", "HARN-5"),
                           conn("C6", "HARN-07", "HARN-5"), // 07 is 7; 5 again as a to-end
                       });
    DataFileScan s = scanOf("M");
    EXPECT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.inputCount, 3);  // 1, 2, 7
    EXPECT_EQ(s.outputCount, 2); // 1, 5
    EXPECT_EQ(s.inputPorts[1] + s.inputPorts[2] + s.inputPorts[7], 3);
    EXPECT_EQ(s.outputPorts[1] + s.outputPorts[5], 2);
    EXPECT_EQ(s.inputPorts[5], 0);
    EXPECT_STREQ(s.harnessName, "WH_MAIN");
    EXPECT_STREQ(s.partName, "HARN");
    EXPECT_STREQ(s.fileName, "M.dat");
    EXPECT_EQ(scanModelDataFile("M", &s), 1);
}

TEST_F(HarnessScan, ConnectionColumnsAndFields) {
    write("M.dat",
          harness() + std::vector<std::string>{
                          at("C1", 13, "SensorConn_1 HARN-1 X-1"), // keyword one column early
                          at("C2", 15, "SensorConn_1 HARN-2 X-1"), // one column late
                          at("C3", 14, "SensorCon_1 HARN-3 X-1"),  // keyword cut short
                          // right after the keyword any character will do
                          at("C4", 14, "ActuatorConnXYZ HARN-4 X-1"),
                          // a space right after the keyword does not end the field, so
                          // the from-reference is the word after HARN-5
                          at("C5", 14, "SensorConn HARN-5 HARN-6 HARN-9"),
                          // the to-reference may end the line
                          at("C6", 14, "SensorConn_2 X-1 HARN-8"), "NOSPACE",
                          at("C7", 14, "SensorConn_"), // nothing after the keyword field
                      });
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.inputCount, 2);  // 4, 6
    EXPECT_EQ(s.outputCount, 2); // 9, 8
    EXPECT_TRUE(s.inputPorts[4] && s.inputPorts[6]);
    EXPECT_TRUE(s.outputPorts[9] && s.outputPorts[8]);
}

TEST_F(HarnessScan, ReferencesAndPortNumbers) {
    write("M.dat",
          harness("WH", "WH") + std::vector<std::string>{
                                    conn("C1", "WH12-3", "X-1"), // separator '1', port "2-3" is 2
                                    conn("C2", "WH:+9", "X-1"),  // sign allowed
                                    conn("C3", "WH-x", "X-1"),   // no digits: 0
                                    conn("C4", "W-4", "XWH-5"),  // neither names the part
                                    conn("C5", "X-1", "WH"),     // no port field: 0
                                });
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.inputCount, 3);
    EXPECT_TRUE(s.inputPorts[2] && s.inputPorts[9] && s.inputPorts[0]);
    EXPECT_EQ(s.outputCount, 1);
    EXPECT_TRUE(s.outputPorts[0]);
}

TEST_F(HarnessScan, HeaderNameAndPartLines) {
    write("M.dat", {
                       conn("C0", "HARN-1", "X-1"), // before the harness: ignored
                       "WiringHarnesX",             // 13th character not compared
                       " - WH_MAIN  Simulink",      // two spaces: not a name line
                       " - WH_OTHER Simulator",     // not Simulink
                       "x - WH_X Simulink",         // column 0 not a space
                       " -  Simulink",              // empty name
                       " abWH_MAIN Simulink",       // columns 1 and 2 not examined
                       " - WH_LATER Simulink",      // only the first name line counts
                       conn("C1", "HARN-2", "X-1"), // before the part line: ignored
                       at("HARN", 27, "WH_MAIN"),   // wrong column
                       at("", 28, "WH_MAIN"),       // empty first word
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
}

TEST_F(HarnessScan, HarnessWithoutConnectionsCountsZero) {
    write("M.dat", harness());
    DataFileScan s = scanOf("M");
    EXPECT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.inputCount, 0);
    EXPECT_EQ(s.outputCount, 0);
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
                       conn("C3", "HARN-5", "X-1"),
                   });
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.inputCount, 2);
    EXPECT_TRUE(s.inputPorts[4] && s.inputPorts[5]);
    EXPECT_EQ(s.outputCount, 1);
    EXPECT_TRUE(s.outputPorts[1]);
}

TEST_F(HarnessScan, MissingMainFile) {
    DataFileScan s = scanOf("NoSuchModel");
    EXPECT_EQ(s.status, DATAFILE_MISSING);
    EXPECT_STREQ(s.fileName, "NoSuchModel.dat");
    EXPECT_EQ(s.inputCount, 0);
    EXPECT_EQ(scanOf(nullptr).status, DATAFILE_MISSING);
}

using SubAssemblyScan = WorkFolderTest;

std::vector<std::string> mainWithSubs(const std::vector<std::string>& entries,
                                      const std::vector<std::string>& parts) {
    std::vector<std::string> l{"ZELVANE MODEL 6.1", "SubAssembly"};
    l.insert(l.end(), entries.begin(), entries.end());
    l.push_back("Parts");
    l.insert(l.end(), parts.begin(), parts.end());
    return l;
}

TEST_F(SubAssemblyScan, HarnessInSecondUsedSubAssembly) {
    write("M.dat", mainWithSubs({" - PUMPA \"pump.dat\"", " - VALVEA \"valve.dat\"",
                                 " - CTRLA \"ctrl.dat\""},
                                {usesSub("P1", "PUMPA"), usesSub("P2", "CTRLA")}));
    write("pump.dat", {"no harness here", conn("C1", "HARN-1", "X-1")});
    // not used: must never be read, although it holds a harness
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
    EXPECT_FALSE(s.inputPorts[9]);
}

TEST_F(SubAssemblyScan, NoHarnessAnywhereIsSingularOrPlural) {
    write("A.dat", {"nothing", "at", "all"});
    EXPECT_EQ(scanOf("A").status, DATAFILE_NO_HARNESS);

    // listed but unused: never opened (its file does not even exist)
    write("B.dat", mainWithSubs({" - PUMPA \"pump.dat\""}, {usesSub("P1", "VALVE")}));
    EXPECT_EQ(scanOf("B").status, DATAFILE_NO_HARNESS);

    // a header and a name line without their part line do not count as found
    write("C.dat", std::vector<std::string>{"WiringHarness", " - WH Simulink"} +
                       mainWithSubs({" - PUMPA \"pump.dat\""}, {usesSub("P1", "PUMPA")}));
    write("pump.dat", {"WiringHarness", " - WH Simulink"});
    DataFileScan s = scanOf("C");
    EXPECT_EQ(s.status, DATAFILE_NO_HARNESS_IN_SUBASSEMBLIES);
    EXPECT_STREQ(s.fileName, "C.dat");

    // a sub-assembly's own sub-assemblies are not followed
    write("pump.dat", mainWithSubs({" - DEEPA \"deep.dat\""}, {usesSub("P1", "DEEPA")}));
    write("deep.dat", harness());
    EXPECT_EQ(scanOf("C").status, DATAFILE_NO_HARNESS_IN_SUBASSEMBLIES);
}

TEST_F(SubAssemblyScan, MissingUsedSubAssemblyFileEndsTheSearch) {
    write("M.dat", mainWithSubs({" - GONEA \"gone.dat\"", " - CTRLA \"ctrl.dat\""},
                                {usesSub("P1", "GONEA"), usesSub("P2", "CTRLA")}));
    write("ctrl.dat", harness());
    DataFileScan s = scanOf("M");
    EXPECT_EQ(s.status, DATAFILE_MISSING);
    EXPECT_STREQ(s.fileName, "gone.dat");
}

TEST_F(SubAssemblyScan, NameMatchingLeavesOutTheLastCharacter) {
    write("h.dat", harness());
    // PUMPA is used by a part naming PUMPZ; one character names are never used
    write("M.dat", mainWithSubs({" - P \"nope.dat\"", " - PUMPA \"h.dat\""},
                                {usesSub("P1", "P"), usesSub("P2", "PUMPZ")}));
    EXPECT_EQ(scanOf("M").status, DATAFILE_HARNESS_FOUND);

    write("M.dat", mainWithSubs({" - P \"h.dat\""}, {usesSub("P1", "P")}));
    EXPECT_EQ(scanOf("M").status, DATAFILE_NO_HARNESS);
    write("M.dat", mainWithSubs({" - PU \"h.dat\""}, {usesSub("P1", "P")}));
    EXPECT_EQ(scanOf("M").status, DATAFILE_HARNESS_FOUND);
    // wrong column
    write("M.dat", mainWithSubs({" - PUMPA \"h.dat\""}, {at("P1", 25, "PUMPA")}));
    EXPECT_EQ(scanOf("M").status, DATAFILE_NO_HARNESS);
}

TEST_F(SubAssemblyScan, ListShape) {
    write("h.dat", harness());
    write("M.dat", {
                       usesSub("P0", "CTRLA"), // before the list: not a part line
                       "SubAssembly",
                       "* before any entry nothing ends the list",
                       "| a comment",
                       " - PUMPA",           // no file: not an entry
                       " - VALVEA \"v\"",    // no '.': not an entry
                       " - CTRLA \"h.dat\"", // the only entry
                       "| still the list",
                       " - MIXA \"h.dat\"",
                       "", // ends the list; is no part line itself
                       usesSub("P1", "VALVEA"),
                   });
    EXPECT_EQ(scanOf("M").status, DATAFILE_NO_HARNESS);

    write("M.dat",
          mainWithSubs({" - CTRLA \"h.dat\"", "|", " - MIXA \"h.dat\""}, {usesSub("P1", "MIXA")}));
    DataFileScan s = scanOf("M");
    EXPECT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_STREQ(s.fileName, "h.dat");

    // the line that ends the list is not also a part line
    write("M.dat", {"SubAssembly", " - CTRLA \"h.dat\"", usesSub("P1", "CTRLA")});
    EXPECT_EQ(scanOf("M").status, DATAFILE_NO_HARNESS);
}

// Input beyond the sizes the file format was laid out for.
using DataFileLimits = WorkFolderTest;

TEST_F(DataFileLimits, PortNumbersOutsideTheMarksAreCountedOnce) {
    write("M.dat", harness() + std::vector<std::string>{
                                   conn("C1", "HARN-128", "X-1"),
                                   conn("C2", "HARN-128", "X-1"),
                                   conn("C3", "HARN--1", "X-1"),
                                   conn("C4", "HARN-1000", "X-1"), // more than three digits
                                   conn("C5", "HARN-100", "X-1"),
                                   conn("C6", "HARN-99999999999999999999999999", "X-1"),
                                   conn("C7", "HARN-99999999999999999999999998", "X-1"),
                                   conn("C8", "HARN--99999999999999999999999999", "X-1"),
                                   conn("C9", "X-1", "HARN-2147483648"),
                                   conn("CA", "X-1", "HARN-2147483647"),
                                   conn("CB", "X-1", "HARN-127"),
                               });
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    // 128, -1, 1000, 100, one saturated large number, one saturated negative
    EXPECT_EQ(s.inputCount, 6);
    EXPECT_TRUE(s.inputPorts[100]);
    EXPECT_EQ(s.outputCount, 3);
    EXPECT_TRUE(s.outputPorts[127]);
}

TEST_F(DataFileLimits, ManyDistinctPortsNeverUndercount) {
    std::vector<std::string> lines = harness();
    for (int i = 0; i < 300; i++)
        lines.push_back(conn("C", "HARN-" + std::to_string(i), "X-1"));
    for (int i = 0; i < 300; i++)
        lines.push_back(conn("C", "X-1", "HARN-" + std::to_string(i)));
    write("M.dat", lines);
    DataFileScan s = scanOf("M");
    EXPECT_EQ(s.inputCount, 300);
    EXPECT_EQ(s.outputCount, 300);
}

TEST_F(DataFileLimits, LongNamesAreKeptWhole) {
    std::string name(55, 'N'), part(15, 'P');
    write("M.dat", {"WiringHarness", " - " + name + " Simulink", at(part, 28, name),
                    at("C1", 14, "SensorConn_1 " + part + "-3 X-1")});
    DataFileScan s = scanOf("M");
    ASSERT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.harnessName, name);
    EXPECT_EQ(s.partName, part);
    EXPECT_EQ(s.inputCount, 1);

    std::string longModel(400, 'm');
    s = scanOf(longModel.c_str());
    EXPECT_EQ(s.status, DATAFILE_MISSING);
    EXPECT_EQ(strlen(s.fileName), sizeof s.fileName - 1);
}

TEST_F(DataFileLimits, MoreThanAHundredSubAssemblies) {
    std::vector<std::string> entries, parts;
    for (int i = 0; i < 150; i++) {
        std::string n = "SUB" + std::to_string(1000 + i);
        entries.push_back(" - " + n + "X \"" + n + ".dat\"");
        parts.push_back(usesSub("P" + std::to_string(i), n + "X"));
    }
    write("M.dat", mainWithSubs(entries, parts));
    for (int i = 0; i < 149; i++)
        write("SUB" + std::to_string(1000 + i) + ".dat", {"empty"});
    write("SUB1149.dat", harness());
    DataFileScan s = scanOf("M");
    EXPECT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_STREQ(s.fileName, "SUB1149.dat");
}

} // namespace

namespace {

// The shipped example models read as their README says.
class ExampleModels : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(ZV_EXAMPLE_MODELS);
    }
    void TearDown() override { std::filesystem::current_path(old_); }
    std::filesystem::path old_;
};

TEST_F(ExampleModels, CountsAsDocumented) {
    DataFileScan s = scanOf("simple");
    EXPECT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_EQ(s.inputCount, 3);
    EXPECT_EQ(s.outputCount, 2);
    s = scanOf("vehicle");
    EXPECT_EQ(s.status, DATAFILE_HARNESS_FOUND);
    EXPECT_STREQ(s.fileName, "controls.dat");
    EXPECT_EQ(s.inputCount, 2);
    EXPECT_EQ(s.outputCount, 4);
}

} // namespace
