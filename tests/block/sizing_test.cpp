// Sizing of the block through the MEX entry, as Simulink calls it, against
// data files in a fresh working folder.
#include "block/block.h"
#include "block/runstate.h"
#include "block/datafile_fixture.h"
#include "zvhost.h"

#include <cmath>

namespace {

using zvhost::ArrayPtr;

// The width rule's notice for "inputs" or "outputs" (both compare with the harness outputs).
std::string notice(const std::string& ports, bool larger) {
    return "I*** The specified number of " + ports + " in the S-function block is " +
           (larger ? "larger than the number of Wiring Harness outputs in the Zelvane model.\n"
                     "\t\tThe extra signals will not be used.\n"
                   : "smaller than the number of Wiring Harness outputs in the Zelvane model\n."
                     "\t\tThe rest of the signals will be assigned a value of 0.0\n");
}
const std::string kInLarger = notice("inputs", true), kInSmaller = notice("inputs", false);
const std::string kOutLarger = notice("outputs", true), kOutSmaller = notice("outputs", false);

std::vector<ArrayPtr> params(const std::string& model, double inputs, double outputs,
                             double timestep = 0.01) {
    std::vector<ArrayPtr> p;
    for (const char* text : {model.c_str(), "ZVPRO", "SIMULINK"})
        p.push_back(zvhost::makeString(text));
    for (double v : {timestep, inputs, outputs})
        p.push_back(zvhost::makeScalar(v));
    return p;
}

class BlockSizing : public WorkFolderTest {
  protected:
    void SetUp() override {
        WorkFolderTest::SetUp();
        zvhost::setCommandWindow([this](const std::string& t) { out += t; });
        // three inputs (1, 2, 3), two outputs (1, 2)
        write("M.dat", harness() + std::vector<std::string>{conn("C1", "HARN-1", "X-1"),
                                                            conn("C2", "HARN-2", "X-2"),
                                                            conn("C3", "HARN-3", "HARN-1"),
                                                            conn("C4", "X-3", "HARN-2")});
    }
    void TearDown() override {
        zvhost::setCommandWindow(nullptr);
        EXPECT_EQ(zvhost::pendingAllocations(), 0u);
        WorkFolderTest::TearDown();
    }
    // Sizes a block the way Simulink does; fails the test if the call ended in an error.
    std::unique_ptr<zvhost::Block> size(std::vector<ArrayPtr> p) {
        out.clear();
        auto block =
            std::make_unique<zvhost::Block>("zelvanesl61", "demo/Zelvane Link", std::move(p));
        zvhost::CallResult r = block->initializeSizes(mexFunction);
        EXPECT_TRUE(r.ok) << r.error;
        return block;
    }
    std::string out;
};

TEST_F(BlockSizing, WidthRuleAndItsNotices) {
    struct Case {
        double inputs, outputs;
        int inWidth, outWidth;
        std::string text;
    } cases[] = {
        {-1, -1, 3, 2, ""},
        {3, 2, 3, 2, ""},
        {5, -1, 5, 2, kInLarger},
        {2, 2, 2, 2, kInSmaller},
        {-1, 4, 3, 4, kOutLarger},
        {-1, 1.9, 3, 1, kOutSmaller}, // truncated to 1
        {-3.7, 2147483647.9, -3, 2147483647, kInSmaller + kOutLarger},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.inputs << ", " << c.outputs);
        auto b = size(params("M", c.inputs, c.outputs, 0.25));
        EXPECT_EQ(b->errorStatus(), nullptr);
        ASSERT_EQ(b->numInputPorts(), 1);
        ASSERT_EQ(b->numOutputPorts(), 1);
        EXPECT_EQ(b->inputWidth(0), c.inWidth);
        EXPECT_EQ(b->outputWidth(0), c.outWidth);
        EXPECT_EQ(out, c.text);
        // the counts are process-wide and start over with every sizing
        EXPECT_EQ(harnessInputCount, 3);
        EXPECT_EQ(harnessOutputCount, 2);
        const std::vector<double>& v = b->sizesVector();
        ASSERT_EQ(v.size(), 38u);
        EXPECT_EQ(v[SS_SIZES_NUM_SFCN_PARAMS], 6);
        EXPECT_EQ(v[SS_SIZES_NUM_IWORK], 1);
        EXPECT_EQ(v[SS_SIZES_NUM_CONT_STATES] + v[SS_SIZES_NUM_DISC_STATES] +
                      v[SS_SIZES_NUM_RWORK] + v[SS_SIZES_NUM_PWORK] + v[SS_SIZES_NUM_MODES] +
                      v[SS_SIZES_NUM_NONSAMPLED_ZCS],
                  0);
        // one sample time: the Timestep
        b->allocateSampleTimes();
        ASSERT_EQ(b->numSampleTimes(), 1);
        ASSERT_TRUE(b->callFlag(mexFunction, 101).ok);
        EXPECT_EQ(b->sampleTime(0), 0.25);
        EXPECT_EQ(b->offsetTime(0), 0.0);
    }
}

TEST_F(BlockSizing, WithoutAHarnessThePortsTakeTheRequestedWidths) {
    // Each text goes on to name the file and the folder it was looked for in.
    const std::string folder = std::filesystem::current_path().string();
    auto where = [&](const std::string& file) {
        return "\nData file: " + file + "\nWorking folder: " + folder;
    };
    auto warning = [&](const std::string& file) {
        return "Warning: block 'demo/Zelvane Link': No ZV data file specified or specified ZV "
               "data file does not exist in the working folder\n." +
               where(file) + "\n";
    };
    const std::string noHarness = "F*** Wiring Harness was not found in Zelvane model";
    write("N.dat", {"nothing here"});
    write("sub.dat", {"no harness either"});
    write("S.dat", {"SubAssembly", " - SUBA \"sub.dat\"", "Parts", usesSub("P1", "SUBA")});
    write("G.dat", {"SubAssembly", " - GONEA \"gone.dat\"", "Parts", usesSub("P1", "GONEA")});
    struct Case {
        const char* model;
        std::string text;
        std::string status;
    } cases[] = {
        {"NoSuchModel", warning("NoSuchModel.dat"), ""},
        {"G", warning("gone.dat"), ""}, // a used sub-assembly's file is missing
        {"N", "", noHarness + where("N.dat")},
        {"S", "", noHarness + "s" + where("S.dat")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        auto b = size(params(c.model, -1, 4));
        EXPECT_EQ(out, c.text);
        EXPECT_EQ(b->errorStatus() ? b->errorStatus() : "", c.status);
        EXPECT_EQ(b->inputWidth(0), DYNAMICALLY_SIZED);
        EXPECT_EQ(b->outputWidth(0), 4);
    }
}

TEST_F(BlockSizing, WrongKindsOfParametersAreRefusedByName) {
    const char* const refusals[] = {"Model' must be a text.",
                                    "Product' must be a text.",
                                    "Simulation Duration Source' must be a text.",
                                    "Timestep' must be a real positive scalar number.",
                                    "Inputs' must be a real scalar number in the int range.",
                                    "Outputs' must be a real scalar number in the int range."};
    std::vector<std::pair<size_t, ArrayPtr>> cases;
    cases.emplace_back(0, zvhost::makeScalar(3));
    cases.emplace_back(0, ArrayPtr(mxCreateNumericMatrix(2, 3, mxCHAR_CLASS, mxREAL)));
    cases.emplace_back(1, ArrayPtr(mxCreateDoubleMatrix(0, 0, mxREAL)));
    cases.emplace_back(2, ArrayPtr(mxCreateLogicalScalar(true)));
    cases.emplace_back(3, zvhost::makeString("0.01"));
    cases.emplace_back(3, ArrayPtr(mxCreateDoubleMatrix(0, 0, mxREAL)));
    for (double bad : {0.0, std::nan("")})
        cases.emplace_back(3, zvhost::makeScalar(bad));
    ArrayPtr complex(mxCreateDoubleMatrix(1, 1, mxCOMPLEX));
    mxGetPr(complex.get())[0] = 1;
    cases.emplace_back(3, std::move(complex));
    // Inputs and Outputs take the Timestep's shape checks; only the range is their own.
    cases.emplace_back(4, zvhost::makeScalar(INFINITY));
    for (double bad : {1e12, -3e9})
        cases.emplace_back(5, zvhost::makeScalar(bad));
    for (auto& [index, value] : cases) {
        const std::string text = std::string("F*** Parameter '") + refusals[index];
        SCOPED_TRACE(text);
        size(params("M", -1, -1));
        auto p = params("M", -1, -1);
        p[index] = std::move(value);
        auto b = size(std::move(p));
        EXPECT_EQ(b->errorStatus(), text);
        EXPECT_EQ(b->numInputPorts(), 0);
        EXPECT_EQ(harnessInputCount, 0); // nothing left over from the sizing before
        // the sample-time method does not read a refused Timestep either
        b->allocateSampleTimes();
        b->clearErrorStatus();
        EXPECT_TRUE(b->callFlag(mexFunction, 101).ok);
        EXPECT_EQ(b->errorStatus(), text);
    }

    // a wrong count is Simulink's to report; nothing is sized
    auto p = params("M", -1, -1);
    p.pop_back();
    auto b = size(std::move(p));
    EXPECT_EQ(b->errorStatus(), nullptr);
    EXPECT_EQ(b->expectedParams(), 6);
    EXPECT_EQ(b->numInputPorts(), 0);
}

} // namespace
