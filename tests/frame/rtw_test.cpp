// The code-generation record writers against a recording host writer.
#include "frame/services.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

// What the host writers were handed, one line per call.
struct Recorder {
    std::vector<std::string> lines;
    int strResult = 1, pairResult = 1, paramResult = 1;
    int failPairAt = -1; // index of the pair call that gets 0
    int pairs = 0;
    std::string joined() const {
        std::string j;
        for (const std::string& l : lines)
            j += (j.empty() ? "" : " | ") + l;
        return j;
    }
};

int_T recStr(void* file, const char_T* str) {
    Recorder* r = static_cast<Recorder*>(file);
    r->lines.push_back(std::string("text ") + str);
    return r->strResult;
}

int_T recPair(void* file, int_T type, const char_T* name, const void* value, DTypeId dtype,
              int_T rows, int_T cols) {
    Recorder* r = static_cast<Recorder*>(file);
    std::ostringstream s;
    s << "pair " << type << " " << name << "=";
    if (!value || rows == 0)
        s << "-";
    else if (type == SSWRITE_VALUE_STR || type == SSWRITE_VALUE_QSTR)
        s << static_cast<const char*>(value);
    else if (type == SSWRITE_VALUE_NUM)
        s << *static_cast<const double*>(value);
    else if (type == SSWRITE_VALUE_DTYPE_NUM)
        s << *static_cast<const int32_T*>(value);
    else
        s << "@";
    s << " dtype " << dtype << " " << rows << "x" << cols;
    r->lines.push_back(s.str());
    return r->pairs++ == r->failPairAt ? 0 : r->pairResult;
}

int_T recParam(void* file, int_T type, const char_T* name, const char_T* paramStr,
               const void* value, DTypeId dtype, int_T rows, int_T cols) {
    Recorder* r = static_cast<Recorder*>(file);
    std::ostringstream s;
    s << "param " << type << " " << name << " '" << (paramStr ? paramStr : "") << "' "
      << (value ? "v" : "-") << " dtype " << dtype << " " << rows << "x" << cols;
    r->lines.push_back(s.str());
    return r->paramResult;
}

class FrameRecordWriters : public ::testing::Test {
  protected:
    void SetUp() override {
        S.root = &S;
        S.mdlInfo = &info;
        info.rtwFile = &rec;
        info.writeRTWStr = recStr;
        info.writeRTWNameValuePair = recPair;
        info.writeRTWParameter = recParam;
    }
    std::string status() const { return S.errorStatus ? S.errorStatus : ""; }
    void clear() {
        rec = Recorder{};
        S.errorStatus = nullptr;
    }
    // A single write: refused with the text and nothing written, or written once.
    void expectWrite(int result, const std::string& text, int line) {
        EXPECT_EQ(result, text.empty() ? 1 : 0) << "line " << line;
        EXPECT_EQ(status(), text) << "line " << line;
        EXPECT_EQ(rec.lines.size(), text.empty() ? 1u : 0u) << "line " << line;
        clear();
    }

    SimStruct S{};
    ssMdlInfo info{};
    Recorder rec;
};

#define WRITE(call, text) expectWrite((call), (text), __LINE__)
#define NVP(...) ssWriteRTWNameValuePair(&S, __VA_ARGS__)
#define PARAM(...) ssWriteRTWParameters(&S, 1, __VA_ARGS__)

TEST_F(FrameRecordWriters, NameValuePairChecksInOrder) {
    const double x[6] = {};
    const void* pair[2] = {x, nullptr};
    const std::string badType = "Invalid SSWRITE_VALUE_type passed to ssWriteRTWNameValuePair";
    const std::string badName = "Invalid name passed to ssWriteRTWNameValuePair";
    const std::string badRows =
        "Invalid number of rows or columns passed to ssWriteRTWNameValuePair";
    const std::string badValue = "Invalid value (NULL) passed to ssWriteRTWNameValuePair";
    WRITE(NVP(11, "", nullptr), badType);
    WRITE(NVP(-1, "a", "v"), badType);
    WRITE(NVP(SSWRITE_VALUE_STR, "", "v"), badName);
    WRITE(NVP(SSWRITE_VALUE_STR, nullptr, "v"), badName);
    WRITE(NVP(SSWRITE_VALUE_STR, "a", nullptr), badValue);
    WRITE(NVP(SSWRITE_VALUE_VECT, "a", x, SS_DOUBLE, -1), badRows);
    // An empty matrix needs no value; a half-empty one is refused.
    WRITE(NVP(SSWRITE_VALUE_2DMAT, "m", nullptr, SS_DOUBLE, 0, 0), "");
    WRITE(NVP(SSWRITE_VALUE_2DMAT, "m", nullptr, SS_DOUBLE, 0, 3), badRows);
    WRITE(NVP(SSWRITE_VALUE_DTYPE_2DMAT, "m", x, SS_DOUBLE, 2, 0), badRows);
    WRITE(NVP(SSWRITE_VALUE_VECT, "v", nullptr, SS_DOUBLE, 0), "");
    // The imaginary part is needed only when the data type id asks for it.
    WRITE(NVP(SSWRITE_VALUE_DTYPE_ML_VECT, "c", pair, SSWRITE_DTYPE_COMPLEX_REQUIRED, 1), badValue);
    WRITE(NVP(SSWRITE_VALUE_DTYPE_ML_VECT, "c", pair, SS_DOUBLE, 1), "");
    WRITE(ssWriteRTWMxMatrixParam(&S, "c", x, x, SSWRITE_DTYPE_COMPLEX_REQUIRED, 2, 3), "");
    WRITE(ssWriteRTWMxVectParam(&S, "c", nullptr, x, SS_DOUBLE, 2), badValue);
}

TEST_F(FrameRecordWriters, NameValuePairHandsTheFurtherArgumentsOn) {
    const double number = 2.5, m[6] = {};
    const int32_T count = 3;
    const char* texts[] = {"a", "b"};
    EXPECT_EQ(NVP(SSWRITE_VALUE_STR, "S", "text"), 1);
    EXPECT_EQ(NVP(SSWRITE_VALUE_VECT_STR, "V", texts, 2), 1);
    EXPECT_EQ(NVP(SSWRITE_VALUE_NUM, "N", &number, SS_DOUBLE), 1);
    EXPECT_EQ(NVP(SSWRITE_VALUE_DTYPE_NUM, "I", &count, SS_INT32), 1);
    EXPECT_EQ(NVP(SSWRITE_VALUE_DTYPE_2DMAT, "M", m, SS_SINGLE, 2, 3), 1);
    rec.pairResult = 5; // the host's answer comes back as it is
    EXPECT_EQ(ssWriteRTWMxVectParam(&S, "C", m, m, SS_DOUBLE, 4), 5);
    EXPECT_EQ(rec.joined(), "pair 0 S=text dtype 0 1x1 | pair 2 V=@ dtype 0 2x1 | "
                            "pair 3 N=2.5 dtype 0 1x1 | pair 6 I=3 dtype 6 1x1 | "
                            "pair 8 M=@ dtype 1 2x3 | pair 9 C=@ dtype 0 4x1");
    info.writeRTWNameValuePair = nullptr; // without host writers nothing is written
    EXPECT_EQ(NVP(SSWRITE_VALUE_STR, "S", "text"), 0);
}

TEST_F(FrameRecordWriters, ParamSettingsFrameTheSettingsInABlock) {
    EXPECT_EQ(ssWriteRTWParamSettings(&S, 0), 0);
    EXPECT_TRUE(rec.lines.empty());
    EXPECT_EQ(status(), "");

    const double v[3] = {1, 2, 3};
    const int32_T dv[2] = {4, 5};
    EXPECT_EQ(ssWriteRTWParamSettings(&S, 4, SSWRITE_VALUE_QSTR, "Name", "abc", SSWRITE_VALUE_NUM,
                                      "Gain", 2.5, SSWRITE_VALUE_VECT, "V", v, 3,
                                      SSWRITE_VALUE_DTYPE_VECT, "D", dv, 2, SS_INT32),
              1);
    EXPECT_EQ(rec.joined(), "text SFcnParamSettings { | pair 1 Name=abc dtype 0 1x1 | "
                            "pair 3 Gain=2.5 dtype 0 1x1 | pair 4 V=@ dtype 0 3x1 | "
                            "pair 7 D=@ dtype 6 2x1 | text }");

    clear();
    EXPECT_EQ(ssWriteRTWParamSettings(&S, 2, SSWRITE_VALUE_STR, "A", "x", 12, "B"), 0);
    EXPECT_EQ(status(), "Invalid SSWRITE_VALUE_type passed to ssWriteRTWParamSettings");
    EXPECT_EQ(rec.lines.size(), 2u);

    clear();
    rec.failPairAt = 0;
    EXPECT_EQ(
        ssWriteRTWParamSettings(&S, 2, SSWRITE_VALUE_STR, "A", "x", SSWRITE_VALUE_STR, "B", "y"),
        0);
    EXPECT_EQ(rec.lines.back(), "pair 0 A=x dtype 0 1x1"); // no closing text
    EXPECT_EQ(status(), "");

    clear();
    rec.strResult = 0;
    EXPECT_EQ(ssWriteRTWParamSettings(&S, 1, SSWRITE_VALUE_STR, "A", "x"), 0);
    EXPECT_EQ(rec.lines.size(), 1u);
}

TEST_F(FrameRecordWriters, ParametersAreCheckedOneByOne) {
    const double v[4] = {};
    EXPECT_EQ(ssWriteRTWParameters(&S, 0), 1);
    EXPECT_EQ(ssWriteRTWParameters(&S, 3, SSWRITE_VALUE_VECT, "P", "p", v, 4,
                                   SSWRITE_VALUE_DTYPE_2DMAT, "Q", "q", v, 2, 2, SS_INT8,
                                   SSWRITE_VALUE_DTYPE_ML_VECT, "R", "r", v, nullptr, 0, SS_DOUBLE),
              1);
    EXPECT_EQ(rec.joined(), "param 4 P 'p' v dtype 0 4x1 | param 8 Q 'q' v dtype 2 2x2 | "
                            "param 9 R 'r' v dtype 0 0x0");
    clear();

    const std::string invalid = "Invalid arguments passed to ssWriteRTWParameters";
    WRITE(PARAM(SSWRITE_VALUE_NUM, "P", "p", v),
          "Invalid SSWRITE_VALUE_type passed to ssWriteRTWParameters");
    WRITE(PARAM(SSWRITE_VALUE_2DMAT, "P", "p", v, 2, 0), invalid);
    WRITE(PARAM(SSWRITE_VALUE_VECT, "", "p", v, 2), invalid);
    WRITE(PARAM(SSWRITE_VALUE_VECT, "P", "p", nullptr, 2), invalid);
    WRITE(PARAM(SSWRITE_VALUE_VECT, "P", "p", v, -2), invalid);
    WRITE(PARAM(SSWRITE_VALUE_DTYPE_ML_2DMAT, "P", "p", nullptr, v, 1, 1, SS_DOUBLE), invalid);

    // A refusal by the host ends the loop without a text.
    rec.paramResult = 0;
    EXPECT_EQ(ssWriteRTWParameters(&S, 2, SSWRITE_VALUE_VECT, "P", "p", v, 1, SSWRITE_VALUE_VECT,
                                   "Q", "q", v, 1),
              0);
    EXPECT_EQ(rec.lines.size(), 1u);
    EXPECT_EQ(status(), "");
}

TEST_F(FrameRecordWriters, WorkVectorDefinitionsMustCoverTheRegisteredLength) {
    S.sizes[SS_SIZES_NUM_IWORK] = 5;
    EXPECT_EQ(ssWriteRTWWorkVect(&S, "IWork", 2, "first", 2, "second", 3), 1);
    EXPECT_EQ(rec.joined(), "pair 6 NumIWorkDefines=2 dtype 6 1x1 | text IWorkDefine { | "
                            "pair 1 Name=first dtype 0 1x1 | pair 6 Width=2 dtype 6 1x1 | "
                            "pair 6 StartIndex=0 dtype 6 1x1 | text } | text IWorkDefine { | "
                            "pair 1 Name=second dtype 0 1x1 | pair 6 Width=3 dtype 6 1x1 | "
                            "pair 6 StartIndex=2 dtype 6 1x1 | text }");
    EXPECT_EQ(status(), "");

    clear();
    S.sizes[SS_SIZES_NUM_RWORK] = 4;
    EXPECT_EQ(ssWriteRTWWorkVect(&S, "RWork", 2, "a", 2, "b", 3), 0);
    EXPECT_EQ(status(), "Error in ssWriteRTWWorkVect.  The total number of RWorkDefines written "
                        "to the .rtw file (= 5), should be equal to number of RWork (= 4), "
                        "registered in mdlInitializeSizes");
    clear();
    WRITE(ssWriteRTWWorkVect(&S, "DWork", 1, "a", 1),
          "Invalid work vector name (vectName) passed to ssWriteRTWWorkVect (must be RWork, "
          "IWork, or PWork");
    WRITE(ssWriteRTWWorkVect(&S, "PWork", 0),
          "nNames argument to ssWriteRTWWorkVect must be greater than 0");
    // A name the host cannot take stops at once.
    EXPECT_EQ(ssWriteRTWWorkVect(&S, "IWork", 1, nullptr, 5), 0);
    EXPECT_EQ(status(), "Invalid value (NULL) passed to ssWriteRTWNameValuePair");
    EXPECT_EQ(rec.lines.size(), 2u);
}

} // namespace
