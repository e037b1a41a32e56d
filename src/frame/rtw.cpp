// Writers of an S-function's block record in the code-generation (.rtw)
// file. The host's writers do the writing; these check the arguments, shape
// the calls and report misuse through the error status.
#include "frame/services.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

struct NameValue {
    int_T type;
    const char_T* name;
    const void* value;
    DTypeId dtype;
    int_T rows;
    int_T cols;
};

bool validType(int_T type) {
    return type >= SSWRITE_VALUE_STR && type <= SSWRITE_VALUE_DTYPE_ML_2DMAT;
}

bool isMatrixType(int_T type) {
    return type == SSWRITE_VALUE_2DMAT || type == SSWRITE_VALUE_DTYPE_2DMAT ||
           type == SSWRITE_VALUE_DTYPE_ML_2DMAT;
}

bool isComplexType(int_T type) {
    return type == SSWRITE_VALUE_DTYPE_ML_VECT || type == SSWRITE_VALUE_DTYPE_ML_2DMAT;
}

// For the complex codes the value is the address of the (real, imaginary) pair.
bool valuePresent(int_T type, const void* value, DTypeId dtype) {
    if (!isComplexType(type)) return value != nullptr;
    const void* const* pair = static_cast<const void* const*>(value);
    if (!pair || !pair[0]) return false;
    return !(dtype & SSWRITE_DTYPE_COMPLEX_REQUIRED) || pair[1];
}

int_T writeStr(SimStruct* S, const char_T* str) {
    ssMdlInfo* info = S->mdlInfo;
    if (!info || !info->writeRTWStr) return 0;
    return info->writeRTWStr(info->rtwFile, str);
}

int_T writeNameValue(SimStruct* S, const NameValue& nv) {
    if (!validType(nv.type)) {
        ssSetErrorStatus(S, "Invalid SSWRITE_VALUE_type passed to ssWriteRTWNameValuePair");
        return 0;
    }
    if (!nv.name || !nv.name[0]) {
        ssSetErrorStatus(S, "Invalid name passed to ssWriteRTWNameValuePair");
        return 0;
    }
    if (nv.rows < 0 || nv.cols < 0 ||
        (isMatrixType(nv.type) && ((nv.rows == 0) != (nv.cols == 0)))) {
        ssSetErrorStatus(S, "Invalid number of rows or columns passed to ssWriteRTWNameValuePair");
        return 0;
    }
    if (nv.rows != 0 && !valuePresent(nv.type, nv.value, nv.dtype)) {
        ssSetErrorStatus(S, "Invalid value (NULL) passed to ssWriteRTWNameValuePair");
        return 0;
    }
    ssMdlInfo* info = S->mdlInfo;
    if (!info || !info->writeRTWNameValuePair) return 0;
    return info->writeRTWNameValuePair(info->rtwFile, nv.type, nv.name, nv.value, nv.dtype, nv.rows,
                                       nv.cols);
}

// Reads the further arguments of one name-value pair: the order of
// ssWriteRTWNameValuePair (data type id first, then count or rows, columns).
void readPairArgs(NameValue& nv, va_list* args) {
    nv.dtype = SS_DOUBLE;
    nv.rows = 1;
    nv.cols = 1;
    switch (nv.type) {
    case SSWRITE_VALUE_VECT_STR:
        nv.rows = va_arg(*args, int_T);
        break;
    case SSWRITE_VALUE_NUM:
    case SSWRITE_VALUE_DTYPE_NUM:
        nv.dtype = va_arg(*args, DTypeId);
        break;
    case SSWRITE_VALUE_VECT:
    case SSWRITE_VALUE_DTYPE_VECT:
    case SSWRITE_VALUE_DTYPE_ML_VECT:
        nv.dtype = va_arg(*args, DTypeId);
        nv.rows = va_arg(*args, int_T);
        break;
    case SSWRITE_VALUE_2DMAT:
    case SSWRITE_VALUE_DTYPE_2DMAT:
    case SSWRITE_VALUE_DTYPE_ML_2DMAT:
        nv.dtype = va_arg(*args, DTypeId);
        nv.rows = va_arg(*args, int_T);
        nv.cols = va_arg(*args, int_T);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" {

int_T ssWriteRTWStr(SimStruct* S, const char_T* str) {
    return writeStr(S, str);
}

int_T ssWriteRTWNameValuePair(SimStruct* S, int_T type, const char_T* name, const void* value,
                              ...) {
    NameValue nv = {type, name, value, SS_DOUBLE, 1, 1};
    va_list args;
    va_start(args, value);
    readPairArgs(nv, &args);
    va_end(args);
    return writeNameValue(S, nv);
}

int_T ssWriteRTWMxVectParam(SimStruct* S, const char_T* name, const void* rVal, const void* iVal,
                            DTypeId dtype, int_T count) {
    const void* pair[2] = {rVal, iVal};
    return ssWriteRTWNameValuePair(S, SSWRITE_VALUE_DTYPE_ML_VECT, name, pair, dtype, count);
}

int_T ssWriteRTWMxMatrixParam(SimStruct* S, const char_T* name, const void* rVal, const void* iVal,
                              DTypeId dtype, int_T nRows, int_T nCols) {
    const void* pair[2] = {rVal, iVal};
    return ssWriteRTWNameValuePair(S, SSWRITE_VALUE_DTYPE_ML_2DMAT, name, pair, dtype, nRows,
                                   nCols);
}

// Per setting: type code, name, then the value (code 3: the number itself as
// a double; codes 9 and 10: real and imaginary part) and, as the code needs
// them, count, rows, columns, data type id.
int_T ssWriteRTWParamSettings(SimStruct* S, int_T nParamSettings, ...) {
    if (nParamSettings <= 0) return 0;
    int_T result = writeStr(S, "SFcnParamSettings {");
    if (result != 1) return result;
    va_list args;
    va_start(args, nParamSettings);
    for (int_T i = 0; i < nParamSettings; ++i) {
        NameValue nv = {va_arg(args, int_T), nullptr, nullptr, SS_DOUBLE, 1, 1};
        if (!validType(nv.type)) {
            ssSetErrorStatus(S, "Invalid SSWRITE_VALUE_type passed to ssWriteRTWParamSettings");
            va_end(args);
            return 0;
        }
        nv.name = va_arg(args, const char_T*);
        double number = 0.0;
        const void* pair[2] = {nullptr, nullptr};
        switch (nv.type) {
        case SSWRITE_VALUE_STR:
        case SSWRITE_VALUE_QSTR:
            nv.value = va_arg(args, const char_T*);
            break;
        case SSWRITE_VALUE_VECT_STR:
            nv.value = va_arg(args, const void*);
            nv.rows = va_arg(args, int_T);
            break;
        case SSWRITE_VALUE_NUM:
            number = va_arg(args, double);
            nv.value = &number;
            break;
        case SSWRITE_VALUE_VECT:
            nv.value = va_arg(args, const void*);
            nv.rows = va_arg(args, int_T);
            break;
        case SSWRITE_VALUE_2DMAT:
            nv.value = va_arg(args, const void*);
            nv.rows = va_arg(args, int_T);
            nv.cols = va_arg(args, int_T);
            break;
        case SSWRITE_VALUE_DTYPE_NUM:
            nv.value = va_arg(args, const void*);
            nv.dtype = va_arg(args, DTypeId);
            break;
        case SSWRITE_VALUE_DTYPE_VECT:
            nv.value = va_arg(args, const void*);
            nv.rows = va_arg(args, int_T);
            nv.dtype = va_arg(args, DTypeId);
            break;
        case SSWRITE_VALUE_DTYPE_2DMAT:
            nv.value = va_arg(args, const void*);
            nv.rows = va_arg(args, int_T);
            nv.cols = va_arg(args, int_T);
            nv.dtype = va_arg(args, DTypeId);
            break;
        case SSWRITE_VALUE_DTYPE_ML_VECT:
            pair[0] = va_arg(args, const void*);
            pair[1] = va_arg(args, const void*);
            nv.value = pair;
            nv.rows = va_arg(args, int_T);
            nv.dtype = va_arg(args, DTypeId);
            break;
        case SSWRITE_VALUE_DTYPE_ML_2DMAT:
            pair[0] = va_arg(args, const void*);
            pair[1] = va_arg(args, const void*);
            nv.value = pair;
            nv.rows = va_arg(args, int_T);
            nv.cols = va_arg(args, int_T);
            nv.dtype = va_arg(args, DTypeId);
            break;
        default:
            break;
        }
        result = writeNameValue(S, nv);
        if (result != 1) {
            va_end(args);
            return result;
        }
    }
    va_end(args);
    return writeStr(S, "}");
}

// Per parameter: type code, name, parameter text, then by code: 4 value,
// count; 5 value, rows, columns; 7 value, count, data type id; 8 value, rows,
// columns, data type id; 9 real, imaginary, count, data type id; 10 real,
// imaginary, rows, columns, data type id.
int_T ssWriteRTWParameters(SimStruct* S, int_T nParams, ...) {
    va_list args;
    va_start(args, nParams);
    for (int_T i = 0; i < nParams; ++i) {
        const int_T type = va_arg(args, int_T);
        const char_T* name = va_arg(args, const char_T*);
        const char_T* paramStr = va_arg(args, const char_T*);
        const void* value = nullptr;
        const void* pair[2] = {nullptr, nullptr};
        int_T rows = 1, cols = 1, count = 0;
        DTypeId dtype = SS_DOUBLE;
        switch (type) {
        case SSWRITE_VALUE_VECT:
            value = va_arg(args, const void*);
            count = va_arg(args, int_T);
            break;
        case SSWRITE_VALUE_2DMAT:
            value = va_arg(args, const void*);
            rows = va_arg(args, int_T);
            cols = va_arg(args, int_T);
            break;
        case SSWRITE_VALUE_DTYPE_VECT:
            value = va_arg(args, const void*);
            count = va_arg(args, int_T);
            dtype = va_arg(args, DTypeId);
            break;
        case SSWRITE_VALUE_DTYPE_2DMAT:
            value = va_arg(args, const void*);
            rows = va_arg(args, int_T);
            cols = va_arg(args, int_T);
            dtype = va_arg(args, DTypeId);
            break;
        case SSWRITE_VALUE_DTYPE_ML_VECT:
            pair[0] = va_arg(args, const void*);
            pair[1] = va_arg(args, const void*);
            count = va_arg(args, int_T);
            dtype = va_arg(args, DTypeId);
            break;
        case SSWRITE_VALUE_DTYPE_ML_2DMAT:
            pair[0] = va_arg(args, const void*);
            pair[1] = va_arg(args, const void*);
            rows = va_arg(args, int_T);
            cols = va_arg(args, int_T);
            dtype = va_arg(args, DTypeId);
            break;
        default:
            ssSetErrorStatus(S, "Invalid SSWRITE_VALUE_type passed to ssWriteRTWParameters");
            va_end(args);
            return 0;
        }
        if (type == SSWRITE_VALUE_VECT || type == SSWRITE_VALUE_DTYPE_VECT ||
            type == SSWRITE_VALUE_DTYPE_ML_VECT) {
            rows = count; // a negative count is refused below
            cols = count == 0 ? 0 : 1;
        }
        const bool complex = isComplexType(type);
        if (complex) value = pair;
        const bool present = complex ? pair[0] != nullptr : value != nullptr;
        if (!name || !name[0] || (!present && rows != 0) || rows < 0 || cols < 0 ||
            ((rows == 0) != (cols == 0))) {
            ssSetErrorStatus(S, "Invalid arguments passed to ssWriteRTWParameters");
            va_end(args);
            return 0;
        }
        ssMdlInfo* info = S->mdlInfo;
        if (!info || !info->writeRTWParameter ||
            info->writeRTWParameter(info->rtwFile, type, name, paramStr, value, dtype, rows,
                                    cols) == 0) {
            va_end(args);
            return 0;
        }
    }
    va_end(args);
    return 1;
}

// Per name: the name text and its width (int).
int_T ssWriteRTWWorkVect(SimStruct* S, const char_T* vectName, int_T nNames, ...) {
    int_T registered = 0;
    if (vectName && std::strcmp(vectName, "RWork") == 0) {
        registered = S->sizes[SS_SIZES_NUM_RWORK];
    } else if (vectName && std::strcmp(vectName, "IWork") == 0) {
        registered = S->sizes[SS_SIZES_NUM_IWORK];
    } else if (vectName && std::strcmp(vectName, "PWork") == 0) {
        registered = S->sizes[SS_SIZES_NUM_PWORK];
    } else {
        ssSetErrorStatus(S, "Invalid work vector name (vectName) passed to ssWriteRTWWorkVect "
                            "(must be RWork, IWork, or PWork");
        return 0;
    }
    if (nNames <= 0) {
        ssSetErrorStatus(S, "nNames argument to ssWriteRTWWorkVect must be greater than 0");
        return 0;
    }
    char text[32];
    std::snprintf(text, sizeof text, "Num%sDefines", vectName);
    int32_T names = nNames;
    int_T result = ssWriteRTWNameValuePair(S, SSWRITE_VALUE_DTYPE_NUM, text, &names, SS_INT32);
    if (result != 1) return result;

    int32_T start = 0;
    va_list args;
    va_start(args, nNames);
    for (int_T i = 0; i < nNames; ++i) {
        const char_T* name = va_arg(args, const char_T*);
        int32_T width = va_arg(args, int_T);
        std::snprintf(text, sizeof text, "%sDefine {", vectName);
        if ((result = writeStr(S, text)) != 1 ||
            (result = ssWriteRTWNameValuePair(S, SSWRITE_VALUE_QSTR, "Name", name)) != 1 ||
            (result = ssWriteRTWNameValuePair(S, SSWRITE_VALUE_DTYPE_NUM, "Width", &width,
                                              SS_INT32)) != 1 ||
            (result = ssWriteRTWNameValuePair(S, SSWRITE_VALUE_DTYPE_NUM, "StartIndex", &start,
                                              SS_INT32)) != 1 ||
            (result = writeStr(S, "}")) != 1) {
            va_end(args);
            return result;
        }
        // Summed in unsigned arithmetic so that absurd widths cannot overflow.
        start = static_cast<int32_T>(static_cast<uint32_T>(start) + static_cast<uint32_T>(width));
    }
    va_end(args);
    if (start != registered) {
        // The error status must outlive the call.
        static char mismatch[256];
        std::snprintf(mismatch, sizeof mismatch,
                      "Error in ssWriteRTWWorkVect.  The total number of %sDefines written to the "
                      ".rtw file (= %d), should be equal to number of %s (= %d), registered in "
                      "mdlInitializeSizes",
                      vectName, static_cast<int>(start), vectName, static_cast<int>(registered));
        ssSetErrorStatus(S, mismatch);
        return 0;
    }
    return 1;
}

} // extern "C"
