// The code-generation record writers (nothing in the block calls them): their
// checks and texts, and what reaches the host's writers.
#include "frame/services.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What the host's writers were handed: texts as they are, a pair or a
// parameter as "name dtype rowsxcols", joined by "|".
std::string lines;
int paramResult = 1, failPairAt = -1, pairs = 0;
int add(const std::string& line, int result = 1) {
    lines += (lines.empty() ? "" : "|") + line;
    return result;
}
std::string shape(const char* name, DTypeId dtype, int_T rows, int_T cols) {
    return std::string(name) + " " + std::to_string(dtype) + " " + std::to_string(rows) + "x" +
           std::to_string(cols);
}

TEST(FrameRecordWriters, ChecksTextsAndWhatReachesTheHost) {
    SimStruct S{};
    ssMdlInfo info{};
    S.root = &S;
    S.mdlInfo = &info;
    info.writeRTWStr = [](void*, const char_T* str) { return add(str); };
    auto pair = [](void*, int_T, const char_T* name, const void*, DTypeId dtype, int_T rows,
                   int_T cols) {
        return add(shape(name, dtype, rows, cols), pairs++ != failPairAt);
    };
    info.writeRTWNameValuePair = pair;
    info.writeRTWParameter = [](void*, int_T, const char_T* name, const char_T*, const void*,
                                DTypeId dtype, int_T rows, int_T cols) {
        return add(shape(name, dtype, rows, cols), paramResult);
    };
    // One write: its result, the error status it left and what the host was handed ("?": any).
    auto expectWrite = [&](int result, int want, const std::string& status,
                           const std::string& record, int line) {
        EXPECT_EQ(result, want) << "line " << line;
        EXPECT_EQ(S.errorStatus ? S.errorStatus : "", status) << "line " << line;
        EXPECT_EQ(lines, record == "?" ? lines : record) << "line " << line;
        lines.clear();
        paramResult = 1, failPairAt = -1, pairs = 0;
        S.errorStatus = nullptr;
    };
#define WRITE(call, ...) expectWrite((call), __VA_ARGS__, __LINE__)
#define NVP(...) ssWriteRTWNameValuePair(&S, __VA_ARGS__)
#define PARAM(...) ssWriteRTWParameters(&S, 1, __VA_ARGS__)
    const double x[6] = {1, 2, 3};
    const void* parts[2] = {x, nullptr};
    const std::string nvp = " passed to ssWriteRTWNameValuePair";
    const std::string badRows = "Invalid number of rows or columns" + nvp;
    const std::string null = "Invalid value (NULL)" + nvp;
    const std::string badParam = "Invalid arguments passed to ssWriteRTWParameters";
    const std::string settings = "SFcnParamSettings {|A 0 1x1";
    const int STR = SSWRITE_VALUE_STR, VECT = SSWRITE_VALUE_VECT;
    const int ML_VECT = SSWRITE_VALUE_DTYPE_ML_VECT, COMPLEX = SSWRITE_DTYPE_COMPLEX_REQUIRED;

    // Name-value pairs: type, name, sizes and value are checked in that order.
    WRITE(NVP(-1, "", nullptr), 0, "Invalid SSWRITE_VALUE_type" + nvp, "");
    WRITE(NVP(STR, nullptr, "v"), 0, "Invalid name" + nvp, "");
    WRITE(NVP(STR, "", "v"), 0, "Invalid name" + nvp, "");
    WRITE(NVP(STR, "a", nullptr), 0, null, "");
    WRITE(NVP(VECT, "a", x, SS_DOUBLE, -1), 0, badRows, "");
    WRITE(NVP(SSWRITE_VALUE_2DMAT, "m", nullptr, SS_DOUBLE, 0, 3), 0, badRows, "");
    WRITE(NVP(SSWRITE_VALUE_2DMAT, "m", nullptr, SS_DOUBLE, 0, 0), 1, "", "m 0 0x0");
    // The imaginary part is needed only when the data type id asks for it.
    WRITE(NVP(ML_VECT, "c", parts, COMPLEX, 1), 0, null, "");
    WRITE(NVP(ML_VECT, "c", parts, SS_DOUBLE, 1), 1, "", "c 0 1x1");
    WRITE(ssWriteRTWMxVectParam(&S, "c", nullptr, x, SS_DOUBLE, 2), 0, null, "");
    info.writeRTWNameValuePair = nullptr; // without the host's writer nothing is written
    WRITE(NVP(STR, "S", "text"), 0, "", "");
    info.writeRTWNameValuePair = pair;

    // Parameter settings: a block of pairs in braces, ending at the first refusal.
    WRITE(ssWriteRTWParamSettings(&S, 4, SSWRITE_VALUE_QSTR, "Name", "abc", SSWRITE_VALUE_NUM,
                                  "Gain", 2.5, VECT, "V", x, 3, SSWRITE_VALUE_DTYPE_VECT, "D", x, 2,
                                  SS_INT32),
          1, "", "SFcnParamSettings {|Name 0 1x1|Gain 0 1x1|V 0 3x1|D 6 2x1|}");
    WRITE(ssWriteRTWParamSettings(&S, 2, STR, "A", "x", 12, "B"), 0,
          "Invalid SSWRITE_VALUE_type passed to ssWriteRTWParamSettings", settings);
    failPairAt = 0;
    WRITE(ssWriteRTWParamSettings(&S, 2, STR, "A", "x", STR, "B", "y"), 0, "", settings);

    // Parameters: each checked on its own, the loop ending at a refusal by the host.
    WRITE(ssWriteRTWParameters(&S, 3, VECT, "P", "p", x, 4, SSWRITE_VALUE_DTYPE_2DMAT, "Q", "q", x,
                               2, 2, SS_INT8, ML_VECT, "R", "r", x, nullptr, 0, SS_DOUBLE),
          1, "", "P 0 4x1|Q 2 2x2|R 0 0x0");
    WRITE(PARAM(SSWRITE_VALUE_NUM, "P", "p", x), 0,
          "Invalid SSWRITE_VALUE_type passed to ssWriteRTWParameters", "");
    WRITE(PARAM(SSWRITE_VALUE_2DMAT, "P", "p", x, 2, 0), 0, badParam, "");
    WRITE(PARAM(VECT, "P", "p", nullptr, 2), 0, badParam, "");
    WRITE(PARAM(SSWRITE_VALUE_DTYPE_ML_2DMAT, "P", "p", nullptr, x, 1, 1, 0), 0, badParam, "");
    paramResult = 0;
    WRITE(ssWriteRTWParameters(&S, 2, VECT, "P", "p", x, 1, VECT, "Q", "q", x, 1), 0, "",
          "P 0 1x1");

    // Work vector definitions must cover the registered length.
    S.sizes[SS_SIZES_NUM_IWORK] = 5;
    WRITE(ssWriteRTWWorkVect(&S, "IWork", 1, "first", 5), 1, "",
          "NumIWorkDefines 6 1x1|IWorkDefine {|Name 0 1x1|Width 6 1x1|StartIndex 6 1x1|}");
    S.sizes[SS_SIZES_NUM_RWORK] = 4;
    WRITE(ssWriteRTWWorkVect(&S, "RWork", 2, "a", 2, "b", 3), 0,
          "Error in ssWriteRTWWorkVect.  The total number of RWorkDefines written to the .rtw file "
          "(= 5), should be equal to number of RWork (= 4), registered in mdlInitializeSizes",
          "?");
    WRITE(ssWriteRTWWorkVect(&S, "DWork", 1, "a", 1), 0,
          "Invalid work vector name (vectName) passed to ssWriteRTWWorkVect (must be RWork, IWork, "
          "or PWork",
          "");
    WRITE(ssWriteRTWWorkVect(&S, "PWork", 0), 0,
          "nNames argument to ssWriteRTWWorkVect must be greater than 0", "");
    WRITE(ssWriteRTWWorkVect(&S, "IWork", 1, nullptr, 5), 0, null,
          "NumIWorkDefines 6 1x1|IWorkDefine {");
}

} // namespace
