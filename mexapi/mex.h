// The MEX interface (libmex) under its standard names and C signatures.
#pragma once

#include "matrix.h"

#if defined(_MSC_VER)
#define ZVHOST_NORETURN __declspec(noreturn)
#elif defined(__GNUC__)
#define ZVHOST_NORETURN __attribute__((noreturn))
#else
#define ZVHOST_NORETURN
#endif

#if defined(_WIN32)
#define MEX_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define MEX_EXPORT __attribute__((visibility("default")))
#else
#define MEX_EXPORT
#endif

// libmex's own operations: the host stand-in builds them into a library of
// their own, next to libmx, as MATLAB ships them.
#if defined(_WIN32)
#ifdef ZVHOST_MEX_BUILDING
#define ZVHOST_MEX_API __declspec(dllexport)
#else
#define ZVHOST_MEX_API __declspec(dllimport)
#endif
#else
#define ZVHOST_MEX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The one entry point of a MEX file, and the only symbol it exports.
MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

// Prints to the command window (standard output, flushed).
ZVHOST_MEX_API int mexPrintf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Shows the text as an error and ends the current MEX call: control goes
// back to whoever made the call and never returns here.
ZVHOST_MEX_API ZVHOST_NORETURN void mexErrMsgTxt(const char* msg);
ZVHOST_MEX_API ZVHOST_NORETURN void mexErrMsgIdAndTxt(const char* id, const char* fmt, ...);
// Shows "Warning: <msg>" and returns.
ZVHOST_MEX_API void mexWarnMsgTxt(const char* msg);
// Evaluates a MATLAB command; 0 when it ran.
ZVHOST_MEX_API int mexEvalString(const char* command);
// Calls a MATLAB function; 0 when it ran.
ZVHOST_MEX_API int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                                 const char* name);
// Registers the function MATLAB calls when it unloads the MEX file (clear
// mex, exit); a later registration replaces an earlier one. 0 on success.
ZVHOST_MEX_API int mexAtExit(void (*exitFcn)(void));
// Keeps memory from mxCalloc/mxMalloc, or an array, past the end of the call.
ZVHOST_MEX_API void mexMakeMemoryPersistent(void* ptr);
ZVHOST_MEX_API void mexMakeArrayPersistent(mxArray* pa);

#ifdef __cplusplus
}
#endif
