// Sizing of the block through the MEX entry, as Simulink and the MATLAB
// command line call it, against data files in a fresh working folder.
#include "block/block.h"
#include "block/datafile_fixture.h"
#include "zvhost.h"

namespace {

const char WARNING_TEXT[] = "No ZV data file specified or specified ZV data file does not exist "
                            "in the working folder\n.";
const char INPUTS_LARGER[] =
    "I*** The specified number of inputs in the S-function block is larger than the number of "
    "Wiring Harness outputs in the Zelvane model.\n\t\tThe extra signals will not be used.\n";
const char INPUTS_SMALLER[] =
    "I*** The specified number of inputs in the S-function block is smaller than the number of "
    "Wiring Harness outputs in the Zelvane model\n.\t\tThe rest of the signals will be assigned "
    "a value of 0.0\n";
const char OUTPUTS_LARGER[] =
    "I*** The specified number of outputs in the S-function block is larger than the number of "
    "Wiring Harness outputs in the Zelvane model.\n\t\tThe extra signals will not be used.\n";
const char OUTPUTS_SMALLER[] =
    "I*** The specified number of outputs in the S-function block is smaller than the number of "
    "Wiring Harness outputs in the Zelvane model\n.\t\tThe rest of the signals will be assigned "
    "a value of 0.0\n";

std::vector<zvhost::ArrayPtr> params(const std::string& model, double inputs, double outputs,
                                     double timestep = 0.01) {
    std::vector<zvhost::ArrayPtr> p;
    p.push_back(zvhost::makeString(model));
    p.push_back(zvhost::makeString("ZVPRO"));
    p.push_back(zvhost::makeString("SIMULINK"));
    p.push_back(zvhost::makeScalar(timestep));
    p.push_back(zvhost::makeScalar(inputs));
    p.push_back(zvhost::makeScalar(outputs));
    return p;
}

class SizingTest : public WorkFolderTest {
  protected:
    void SetUp() override {
        WorkFolderTest::SetUp();
        zvhost::setCommandWindow([this](const std::string& t) { out += t; });
        // three inputs (1, 2, 3), two outputs (1, 2)
        write("M.dat", harness() + std::vector<std::string>{
                                       conn("C1", "HARN-1", "X-1"),
                                       conn("C2", "HARN-2", "X-2"),
                                       conn("C3", "HARN-3", "HARN-1"),
                                       conn("C4", "X-3", "HARN-2"),
                                   });
    }
    void TearDown() override {
        zvhost::setCommandWindow(nullptr);
        EXPECT_EQ(zvhost::pendingAllocations(), 0u);
        WorkFolderTest::TearDown();
    }

    // Sizes a block the way Simulink does; fails the test if the call ended in an error.
    std::unique_ptr<zvhost::Block> size(std::vector<zvhost::ArrayPtr> p) {
        auto block =
            std::make_unique<zvhost::Block>("zelvanesl61", "demo/Zelvane Link", std::move(p));
        zvhost::CallResult r = block->initializeSizes(mexFunction);
        EXPECT_TRUE(r.ok) << r.error;
        return block;
    }

    std::string out;
};

using BlockSizing = SizingTest;

TEST_F(BlockSizing, WidthRule) {
    struct Case {
        double inputs, outputs;
        int inWidth, outWidth;
        std::string text;
    } cases[] = {
        {-1, -1, 3, 2, ""},
        {3, 2, 3, 2, ""},
        {5, -1, 5, 2, INPUTS_LARGER},
        {2, 2, 2, 2, INPUTS_SMALLER},
        {-1, 4, 3, 4, OUTPUTS_LARGER},
        {-1, 1.9, 3, 1, OUTPUTS_SMALLER}, // truncated to 1
        {-3, 0, -3, 0, std::string(INPUTS_SMALLER) + OUTPUTS_SMALLER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.inputs << ", " << c.outputs);
        out.clear();
        auto b = size(params("M", c.inputs, c.outputs));
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
        EXPECT_EQ(v[SS_SIZES_NUM_SAMPLE_TIMES], 1);
        EXPECT_EQ(v[SS_SIZES_NUM_IWORK], 1);
        EXPECT_EQ(v[SS_SIZES_NUM_CONT_STATES] + v[SS_SIZES_NUM_DISC_STATES] +
                      v[SS_SIZES_NUM_RWORK] + v[SS_SIZES_NUM_PWORK] + v[SS_SIZES_NUM_MODES] +
                      v[SS_SIZES_NUM_NONSAMPLED_ZCS],
                  0);
    }
}

TEST_F(BlockSizing, WithoutAHarnessThePortsTakeTheRequestedWidths) {
    const std::string warning =
        std::string("Warning: block 'demo/Zelvane Link': ") + WARNING_TEXT + "\n";
    write("N.dat", {"nothing here"});
    write("sub.dat", {"no harness either"});
    write("S.dat", {"SubAssembly", " - SUBA \"sub.dat\"", "Parts", usesSub("P1", "SUBA")});
    write("G.dat", {"SubAssembly", " - GONEA \"gone.dat\"", "Parts", usesSub("P1", "GONEA")});
    struct Case {
        const char* model;
        std::string text;
        const char* status;
    } cases[] = {
        {"NoSuchModel", warning, nullptr},
        {"", warning, nullptr},  // an empty Model names no file
        {"G", warning, nullptr}, // a used sub-assembly's file is missing
        {"N", "", "F*** Wiring Harness was not found in Zelvane model"},
        {"S", "", "F*** Wiring Harness was not found in Zelvane models"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        out.clear();
        auto b = size(params(c.model, -1, 4));
        EXPECT_EQ(out, c.text);
        EXPECT_STREQ(b->errorStatus(), c.status);
        EXPECT_EQ(b->inputWidth(0), DYNAMICALLY_SIZED);
        EXPECT_EQ(b->outputWidth(0), 4);
        EXPECT_EQ(b->sizesVector()[SS_SIZES_NUM_SAMPLE_TIMES], 1);
        EXPECT_EQ(harnessInputCount, 0);
    }
}

TEST_F(BlockSizing, FromTheCommandLine) {
    // zelvanesl61([], [], [], 0, 'NoSuchModel', ...): a stand-alone SimStruct
    // whose block path is the S-function's name.
    auto p = params("NoSuchModel", -1, -1);
    zvhost::ArrayPtr empty(mxCreateDoubleMatrix(0, 0, mxREAL));
    zvhost::ArrayPtr flag = zvhost::makeScalar(0);
    std::vector<const mxArray*> prhs = {empty.get(), empty.get(), empty.get(), flag.get()};
    for (auto& a : p)
        prhs.push_back(a.get());
    mxArray* plhs[1] = {nullptr};
    zvhost::CallResult r =
        zvhost::callMex(mexFunction, 1, plhs, static_cast<int>(prhs.size()), prhs.data());
    ASSERT_TRUE(r.ok) << r.error;
    zvhost::ArrayPtr sizes(plhs[0]);
    ASSERT_NE(sizes, nullptr);
    const double* v = mxGetPr(sizes.get());
    EXPECT_EQ(v[SS_SIZES_NUM_INPUT_PORTS], 1);
    EXPECT_EQ(v[SS_SIZES_NUM_OUTPUT_PORTS], 1);
    EXPECT_EQ(v[SS_SIZES_NUM_SFCN_PARAMS], 6);
    EXPECT_EQ(v[SS_SIZES_NUM_IWORK], 1);
    EXPECT_EQ(out, std::string("Warning: block 'zelvanesl61': ") + WARNING_TEXT + "\n");
}

using BlockParameters = SizingTest;

TEST_F(BlockParameters, WrongKindsAreRefusedByName) {
    auto complexOne = [] {
        zvhost::ArrayPtr a(mxCreateDoubleMatrix(1, 1, mxCOMPLEX));
        mxGetPr(a.get())[0] = 1;
        return a;
    };
    struct Case {
        int index;
        std::function<zvhost::ArrayPtr()> value;
        const char* text;
    } cases[] = {
        {0, [] { return zvhost::makeScalar(3); }, "F*** Parameter 'Model' must be a text."},
        {3, [] { return zvhost::ArrayPtr(mxCreateDoubleMatrix(0, 0, mxREAL)); },
         "F*** Parameter 'Timestep' must be a real positive scalar number."},
        {4, [] { return zvhost::makeString("3"); },
         "F*** Parameter 'Inputs' must be a real scalar number in the int range."},
        {5, complexOne, "F*** Parameter 'Outputs' must be a real scalar number in the int range."},
        {5, [] { return zvhost::makeScalar(1e12); },
         "F*** Parameter 'Outputs' must be a real scalar number in the int range."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        size(params("M", -1, -1));
        auto p = params("M", -1, -1);
        p[c.index] = c.value();
        auto b = size(std::move(p));
        EXPECT_STREQ(b->errorStatus(), c.text);
        EXPECT_EQ(b->numInputPorts(), 0);
        EXPECT_EQ(harnessInputCount, 0); // nothing left over from the sizing before
        // the sample-time method does not read a refused Timestep either
        b->allocateSampleTimes();
        b->clearErrorStatus();
        EXPECT_TRUE(b->callFlag(mexFunction, 101).ok);
        EXPECT_STREQ(b->errorStatus(), c.text);
    }

    // a wrong count is Simulink's to report; nothing is sized
    auto p = params("M", -1, -1);
    p.pop_back();
    auto b = size(std::move(p));
    EXPECT_EQ(b->errorStatus(), nullptr);
    EXPECT_EQ(b->expectedParams(), 6);
    EXPECT_EQ(b->numInputPorts(), 0);
}

TEST_F(BlockParameters, SampleTimeIsTheTimestep) {
    auto b = size(params("M", -1, -1, 0.25));
    b->allocateSampleTimes();
    ASSERT_EQ(b->numSampleTimes(), 1);
    ASSERT_TRUE(b->callFlag(mexFunction, 101).ok);
    EXPECT_EQ(b->sampleTime(0), 0.25);
    EXPECT_EQ(b->offsetTime(0), 0.0);
}

} // namespace
