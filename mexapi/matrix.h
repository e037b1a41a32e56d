// The MATLAB array interface (libmx) under its standard names and C
// signatures. The host stand-in's libmx implements it; the block's
// sources use nothing else, so they build against any MATLAB-compatible
// MEX interface as well.
#pragma once

#include "tmwtypes.h"

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#ifdef ZVHOST_BUILDING
#define ZVHOST_API __declspec(dllexport)
#else
#define ZVHOST_API __declspec(dllimport)
#endif
#else
#define ZVHOST_API __attribute__((visibility("default")))
#endif

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef size_t mwIndex;
typedef bool mxLogical;
typedef uint16_t mxChar;

// Class numbers as MATLAB numbers them.
typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS = 1,
    mxSTRUCT_CLASS = 2,
    mxLOGICAL_CLASS = 3,
    mxCHAR_CLASS = 4,
    mxVOID_CLASS = 5,
    mxDOUBLE_CLASS = 6,
    mxSINGLE_CLASS = 7,
    mxINT8_CLASS = 8,
    mxUINT8_CLASS = 9,
    mxINT16_CLASS = 10,
    mxUINT16_CLASS = 11,
    mxINT32_CLASS = 12,
    mxUINT32_CLASS = 13,
    mxINT64_CLASS = 14,
    mxUINT64_CLASS = 15,
    mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

#ifdef __cplusplus
extern "C" {
#endif

// Creation. Arrays made during a MEX call and not handed back through plhs
// are destroyed when the call returns.
ZVHOST_API mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity);
ZVHOST_API mxArray* mxCreateDoubleScalar(double value);
ZVHOST_API mxArray* mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classid,
                                          mxComplexity complexity);
ZVHOST_API mxArray* mxCreateLogicalMatrix(mwSize m, mwSize n);
ZVHOST_API mxArray* mxCreateLogicalScalar(bool value);
ZVHOST_API mxArray* mxCreateString(const char* str);
ZVHOST_API mxArray* mxDuplicateArray(const mxArray* pa);
ZVHOST_API void mxDestroyArray(mxArray* pa);

// Inspection.
ZVHOST_API mxClassID mxGetClassID(const mxArray* pa);
ZVHOST_API const char* mxGetClassName(const mxArray* pa);
ZVHOST_API size_t mxGetM(const mxArray* pa);
ZVHOST_API size_t mxGetN(const mxArray* pa);
ZVHOST_API size_t mxGetNumberOfElements(const mxArray* pa);
ZVHOST_API size_t mxGetElementSize(const mxArray* pa);
ZVHOST_API bool mxIsComplex(const mxArray* pa);
ZVHOST_API bool mxIsNumeric(const mxArray* pa);
ZVHOST_API bool mxIsLogical(const mxArray* pa);
ZVHOST_API bool mxIsChar(const mxArray* pa);
ZVHOST_API bool mxIsDouble(const mxArray* pa);
ZVHOST_API bool mxIsEmpty(const mxArray* pa);

// Data. mxGetPr and mxGetPi answer NULL for an array that is not of class
// double (and mxGetPi for a real one); mxGetData serves every class.
ZVHOST_API double* mxGetPr(const mxArray* pa);
ZVHOST_API double* mxGetPi(const mxArray* pa);
ZVHOST_API void* mxGetData(const mxArray* pa);
ZVHOST_API void* mxGetImagData(const mxArray* pa);
ZVHOST_API mxLogical* mxGetLogicals(const mxArray* pa);
ZVHOST_API mxChar* mxGetChars(const mxArray* pa);
// First element converted to double, whatever the numeric class; 0 when empty.
ZVHOST_API double mxGetScalar(const mxArray* pa);
// Copies a char array into buf with a terminating zero; 0 on success, 1 when
// pa is not a char array or buf is too small (the text is then truncated).
ZVHOST_API int mxGetString(const mxArray* pa, char* buf, mwSize buflen);
// A copy of a char array's text from mxMalloc, NULL when not a char array.
ZVHOST_API char* mxArrayToString(const mxArray* pa);

// Memory. Inside a MEX call it is released when the call returns.
ZVHOST_API void* mxCalloc(size_t n, size_t size);
ZVHOST_API void* mxMalloc(size_t n);
ZVHOST_API void* mxRealloc(void* ptr, size_t size);
ZVHOST_API void mxFree(void* ptr);

#ifdef __cplusplus
}
#endif
