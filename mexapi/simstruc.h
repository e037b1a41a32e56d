// The SimStruct: the per-block record that the host (our Simulink stand-in)
// creates and the S-function reads and writes. The frame (src/frame) and the
// hosts (libmx, libmex and zvsim; zvgateway under Octave) share this one
// definition; block code reaches it only through the ss* accessors below,
// under Simulink's names.
//
// Link target `zv_mexapi` (an interface library) for the include path. The
// mx*/mex* declarations come from whichever mex.h the include path finds
// first: ours, or another host's (host/octave builds against Octave's).
#pragma once

#include <mex.h>
// A host's own mex.h need not declare these; ours are the S-function's sizes.
#include "tmwtypes.h"

#ifndef MEX_EXPORT
#if defined(_WIN32)
#define MEX_EXPORT __declspec(dllexport)
#else
#define MEX_EXPORT __attribute__((visibility("default")))
#endif
#endif

#if defined(HAVE_OCTAVE) && defined(__GNUC__)
// Octave's mexErrMsgTxt ends the call by throwing but is not declared so;
// callers rely on it not returning.
#ifdef __cplusplus
extern "C" {
#endif
void mexErrMsgTxt(const char* s) __attribute__((noreturn));
#ifdef __cplusplus
}
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SimStruct_tag SimStruct;

#define SIMSTRUCT_VERSION_LEVEL2 5200229
#define DYNAMICALLY_SIZED (-1)
#define INHERITED_SAMPLE_TIME (-1.0)
#define CONTINUOUS_SAMPLE_TIME (0.0)
#define FIXED_IN_MINOR_STEP_OFFSET (1.0)

// Simulink data type ids.
typedef int_T DTypeId;
enum {
    SS_DOUBLE = 0,
    SS_SINGLE = 1,
    SS_INT8 = 2,
    SS_UINT8 = 3,
    SS_INT16 = 4,
    SS_UINT16 = 5,
    SS_INT32 = 6,
    SS_UINT32 = 7,
    SS_BOOLEAN = 8
};
#define INVALID_DTYPE_ID (-10)

typedef enum { COMPLEX_INHERITED = -1, COMPLEX_NO = 0, COMPLEX_YES = 1 } CSignal_T;

// Port dimension information; -1 in a width or dimension means dynamically
// sized. The fourth word is reserved for the host.
typedef struct DimsInfo_tag {
    int_T width;
    int_T numDims;
    int_T* dims;
    int_T reserved;
} DimsInfo_T;

typedef const void* const* InputPtrsType;
typedef const real_T* const* InputRealPtrsType;

// ---------------------------------------------------------------------------
// The sizes record: 38 signed 32-bit words in this order.
enum {
    SS_SIZES_NUM_CONT_STATES = 0,
    SS_SIZES_NUM_DISC_STATES = 1,
    SS_SIZES_NUM_OUTPUT_PORTS = 2,
    SS_SIZES_NUM_INPUT_PORTS = 3,
    SS_SIZES_CALL_ARG = 4, // port index of a port method call; -2 marks a minor-step outputs call
    SS_SIZES_DIR_FEEDTHROUGH = 5,
    SS_SIZES_NUM_SAMPLE_TIMES = 6,
    SS_SIZES_NUM_SFCN_PARAMS = 7,
    SS_SIZES_NUM_IWORK = 8,
    SS_SIZES_NUM_RWORK = 9,
    SS_SIZES_NUM_PWORK = 10,
    SS_SIZES_NUM_SFCNS = 11,
    SS_SIZES_NUM_BLOCKS = 12,
    SS_SIZES_NUM_BLOCK_IO = 13,
    SS_SIZES_NUM_BLOCK_PARAMS = 14,
    SS_SIZES_CHECKSUM0 = 15, // 15 to 18: unsigned words
    SS_SIZES_CHECKSUM1 = 16,
    SS_SIZES_CHECKSUM2 = 17,
    SS_SIZES_CHECKSUM3 = 18,
    SS_SIZES_VERSION = 19,
    SS_SIZES_NUM_NONSAMPLED_ZCS = 20,
    SS_SIZES_NUM_ZC_EVENTS = 21,
    SS_SIZES_NUM_MODES = 22,
    SS_SIZES_FLAGS = 23, // unsigned; bit 0x2000 is set by the sizes call
    SS_SIZES_OPTIONS = 24,
    SS_SIZES_PORT_METHOD_FLAGS = 31, // bit 0: port methods take DimsInfo_T; bit 1: port counts set
    SS_SIZES_COUNT = 38
};
#define SS_SIZES_FLAG_SIZES_CALL 0x2000
#define SS_PORT_METHODS_TAKE_DIMS 0x1
#define SS_PORT_COUNTS_SET 0x2

// ---------------------------------------------------------------------------
// Method table.
typedef void (*mdlInitializeSizesFcn)(SimStruct* S);
typedef void (*mdlSetPortWidthFcn)(SimStruct* S, int_T port, int_T width);
typedef void (*mdlSetPortDimensionInfoFcn)(SimStruct* S, int_T port, const DimsInfo_T* dims);
typedef void (*mdlSetPortIntFcn)(SimStruct* S, int_T port, int_T value);
typedef void (*mdlSetPortSampleTimeFcn)(SimStruct* S, int_T port, real_T sampleTime,
                                        real_T offsetTime);
typedef void (*mdlSimStructFcn)(SimStruct* S);
typedef void (*mdlTidFcn)(SimStruct* S, int_T tid);

// The width and dimension-information methods of a port share one slot;
// bit 0 of sizes word 31 says which kind is in it.
typedef union {
    mdlSetPortWidthFcn width;
    mdlSetPortDimensionInfoFcn dims;
} ssPortSizeMethod;

typedef struct ssSFcnMethods2_tag {
    mdlSetPortIntFcn mdlSetInputPortFrameData;
    mdlSimStructFcn mdlSetDefaultPortDimensionInfo;
    mdlSimStructFcn mdlSetDefaultPortDataTypes;
    mdlSimStructFcn mdlSetDefaultPortComplexSignals;
} ssSFcnMethods2;

typedef struct ssSFcnMethods_tag {
    mdlInitializeSizesFcn mdlInitializeSizes;
    ssPortSizeMethod mdlSetInputPortSize;
    ssPortSizeMethod mdlSetOutputPortSize;
    mdlSetPortIntFcn mdlSetInputPortDataType;
    mdlSetPortIntFcn mdlSetOutputPortDataType;
    mdlSimStructFcn mdlInitializeSampleTimes;
    mdlSetPortSampleTimeFcn mdlSetInputPortSampleTime;
    mdlSetPortSampleTimeFcn mdlSetOutputPortSampleTime;
    mdlSimStructFcn mdlSetWorkWidths;
    mdlSimStructFcn mdlInitializeConditions;
    mdlSimStructFcn mdlCheckParameters;
    mdlSimStructFcn mdlGetTimeOfNextVarHit;
    mdlTidFcn mdlOutputs;
    mdlTidFcn mdlUpdate;
    mdlSimStructFcn mdlDerivatives;
    mdlSimStructFcn mdlZeroCrossings;
    mdlSimStructFcn mdlTerminate;
    mdlSetPortIntFcn mdlSetInputPortComplexSignal;
    mdlSetPortIntFcn mdlSetOutputPortComplexSignal;
} ssSFcnMethods;

// ---------------------------------------------------------------------------
// Ports.
typedef struct ssInputPort_tag {
    int_T width;
    int_T directFeedThrough;
    DTypeId dataTypeId;
    int_T complexSignal;
    InputPtrsType signalPtrs; // one pointer per element; NULL until the host provides them
} ssInputPort;

typedef struct ssOutputPort_tag {
    int_T width;
    DTypeId dataTypeId;
    int_T complexSignal;
    void* signal;
} ssOutputPort;

// ---------------------------------------------------------------------------
// Model-information record: times, port method arguments, the fault flag and
// the host's services.
typedef int_T (*ssSetPortDimsFcn)(SimStruct* S, int_T port, const DimsInfo_T* dims);
// Generic query: request code, integer argument, where the answer goes; the
// result is the query's status (0: not answered).
typedef int_T (*ssGenericFcn)(SimStruct* S, int_T request, int_T arg, void* answer);
typedef int_T (*ssWriteRTWStrFcn)(void* file, const char_T* str);
typedef int_T (*ssWriteRTWNameValuePairFcn)(void* file, int_T type, const char_T* name,
                                            const void* value, DTypeId dtype, int_T nRows,
                                            int_T nCols);
typedef int_T (*ssWriteRTWParameterFcn)(void* file, int_T type, const char_T* name,
                                        const char_T* paramStr, const void* value, DTypeId dtype,
                                        int_T nRows, int_T nCols);

#define SS_GENERIC_QUERY_INT 20
#define SS_GENERIC_QUERY_DOUBLE 21

typedef struct ssMdlInfo_tag {
    int_T mode; // 1 in the stand-alone record of a call from the command line
    time_T t;
    time_T tFinal;
    // Arguments of the port method call in progress.
    int_T portArgInt;
    const DimsInfo_T* portArgDims;
    real_T portArgSampleTime;
    real_T portArgOffsetTime;
    int32_T faultFlag;
    // Host services; any of them may be NULL.
    void* hostContext;
    ssSetPortDimsFcn setInputPortDimensionInfo;
    ssSetPortDimsFcn setOutputPortDimensionInfo;
    ssGenericFcn genericFcn;
    void* rtwFile;
    ssWriteRTWStrFcn writeRTWStr;
    ssWriteRTWNameValuePairFcn writeRTWNameValuePair;
    ssWriteRTWParameterFcn writeRTWParameter;
} ssMdlInfo;

// Port-count service: context value, requested count; false refuses it.
typedef int_T (*ssSetNumPortsFcn)(void* context, int_T n);

struct SimStruct_tag {
    const char_T* modelName; // the MEX file's name
    const char_T* path;      // block path
    SimStruct* root;
    const char_T* errorStatus; // meaningful on the root only
    int32_T sizes[SS_SIZES_COUNT];
    ssSFcnMethods methods;
    ssSFcnMethods2* methods2;
    ssMdlInfo* mdlInfo;

    ssSetNumPortsFcn setNumInputPortsFcn;
    void* setNumInputPortsContext;
    ssSetNumPortsFcn setNumOutputPortsFcn;
    void* setNumOutputPortsContext;
    ssInputPort* inputPorts;
    ssOutputPort* outputPorts;

    int_T numDialogParams;
    const mxArray** dialogParams;

    time_T* sampleTimes; // numSampleTimes each, allocated by the host after sizing
    time_T* offsetTimes;
    int_T* iWork;
    real_T* rWork;
    void** pWork;
    void* userData;
};

// ---------------------------------------------------------------------------
// Frame services: checked accessors and reporting, implemented in the MEX
// file by the frame (src/frame). See src/frame/services.h.
InputPtrsType ssGetInputPortSignalPtrsChecked(SimStruct* S, int_T port);
InputRealPtrsType ssGetInputPortRealSignalPtrsChecked(SimStruct* S, int_T port);
void ssSetInputPortDirectFeedThroughChecked(SimStruct* S, int_T port, int_T value);
void ssWarningFcn(SimStruct* S, const char_T* msg);
void ssErrorDialogFcn(SimStruct* S, const char_T* msg);
bool ssSetInputPortMatrixDimensionsFcn(SimStruct* S, int_T port, int_T rows, int_T cols);
bool ssSetOutputPortMatrixDimensionsFcn(SimStruct* S, int_T port, int_T rows, int_T cols);
bool ssSetInputPortVectorDimensionFcn(SimStruct* S, int_T port, int_T width);
bool ssSetOutputPortVectorDimensionFcn(SimStruct* S, int_T port, int_T width);
int_T ssGenericQueryInt(SimStruct* S, int_T arg);
real_T ssGenericQueryDouble(SimStruct* S);
DTypeId ssGetDTypeIdFromMxArray(const mxArray* m);

// Code-generation record writers. 1: written, 0: not (error status set on misuse).
int_T ssWriteRTWStr(SimStruct* S, const char_T* str);
int_T ssWriteRTWNameValuePair(SimStruct* S, int_T type, const char_T* name, const void* value, ...);
int_T ssWriteRTWMxVectParam(SimStruct* S, const char_T* name, const void* rVal, const void* iVal,
                            DTypeId dtype, int_T count);
int_T ssWriteRTWMxMatrixParam(SimStruct* S, const char_T* name, const void* rVal, const void* iVal,
                              DTypeId dtype, int_T nRows, int_T nCols);
int_T ssWriteRTWParamSettings(SimStruct* S, int_T nParamSettings, ...);
int_T ssWriteRTWParameters(SimStruct* S, int_T nParams, ...);
int_T ssWriteRTWWorkVect(SimStruct* S, const char_T* vectName, int_T nNames, ...);

// Value type codes of the record writers.
enum {
    SSWRITE_VALUE_STR = 0,
    SSWRITE_VALUE_QSTR = 1,
    SSWRITE_VALUE_VECT_STR = 2,
    SSWRITE_VALUE_NUM = 3,
    SSWRITE_VALUE_VECT = 4,
    SSWRITE_VALUE_2DMAT = 5,
    SSWRITE_VALUE_DTYPE_NUM = 6,
    SSWRITE_VALUE_DTYPE_VECT = 7,
    SSWRITE_VALUE_DTYPE_2DMAT = 8,
    SSWRITE_VALUE_DTYPE_ML_VECT = 9,
    SSWRITE_VALUE_DTYPE_ML_2DMAT = 10
};
#define SSWRITE_DTYPE_COMPLEX_REQUIRED 0x10000

#ifdef __cplusplus
}
#endif

// ---------------------------------------------------------------------------
// Accessors under Simulink's names. Out-of-range port or element indices
// read as 0/NULL and write nothing, instead of touching foreign memory.
static inline SimStruct* ssGetRootSS(SimStruct* S) {
    return S->root ? S->root : S;
}
static inline const char_T* ssGetModelName(SimStruct* S) {
    return S->modelName;
}
static inline const char_T* ssGetPath(SimStruct* S) {
    return S->path;
}
static inline void ssSetErrorStatus(SimStruct* S, const char_T* msg) {
    ssGetRootSS(S)->errorStatus = msg;
}
static inline const char_T* ssGetErrorStatus(SimStruct* S) {
    return ssGetRootSS(S)->errorStatus;
}

static inline time_T ssGetT(SimStruct* S) {
    return S->mdlInfo ? S->mdlInfo->t : 0.0;
}
static inline time_T ssGetTFinal(SimStruct* S) {
    return S->mdlInfo ? S->mdlInfo->tFinal : 0.0;
}

// Sizes.
static inline void ssSetSizesWord(SimStruct* S, int_T index, int32_T v) {
    S->sizes[index] = v;
}
static inline void ssSetNumContStates(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_CONT_STATES] = n;
}
static inline int_T ssGetNumContStates(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_CONT_STATES];
}
static inline void ssSetNumDiscStates(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_DISC_STATES] = n;
}
static inline int_T ssGetNumDiscStates(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_DISC_STATES];
}
static inline void ssSetNumSampleTimes(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_SAMPLE_TIMES] = n;
}
static inline int_T ssGetNumSampleTimes(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_SAMPLE_TIMES];
}
static inline void ssSetNumSFcnParams(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_SFCN_PARAMS] = n;
}
static inline int_T ssGetNumSFcnParams(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_SFCN_PARAMS];
}
static inline void ssSetNumIWork(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_IWORK] = n;
}
static inline int_T ssGetNumIWork(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_IWORK];
}
static inline void ssSetNumRWork(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_RWORK] = n;
}
static inline int_T ssGetNumRWork(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_RWORK];
}
static inline void ssSetNumPWork(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_PWORK] = n;
}
static inline int_T ssGetNumPWork(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_PWORK];
}
static inline void ssSetNumModes(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_MODES] = n;
}
static inline int_T ssGetNumModes(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_MODES];
}
static inline void ssSetNumNonsampledZCs(SimStruct* S, int_T n) {
    S->sizes[SS_SIZES_NUM_NONSAMPLED_ZCS] = n;
}
static inline int_T ssGetNumNonsampledZCs(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_NONSAMPLED_ZCS];
}
static inline void ssSetOptions(SimStruct* S, uint_T options) {
    S->sizes[SS_SIZES_OPTIONS] = (int32_T)options;
}
static inline uint_T ssGetOptions(SimStruct* S) {
    return (uint_T)S->sizes[SS_SIZES_OPTIONS];
}

// Dialog parameters.
static inline int_T ssGetSFcnParamsCount(SimStruct* S) {
    return S->numDialogParams;
}
static inline const mxArray* ssGetSFcnParam(SimStruct* S, int_T index) {
    return (index >= 0 && index < S->numDialogParams && S->dialogParams) ? S->dialogParams[index]
                                                                         : (const mxArray*)0;
}

// Ports. Registration goes through the host's port-count services.
static inline bool ssSetNumInputPorts(SimStruct* S, int_T n) {
    return S->setNumInputPortsFcn ? S->setNumInputPortsFcn(S->setNumInputPortsContext, n) != 0
                                  : false;
}
static inline bool ssSetNumOutputPorts(SimStruct* S, int_T n) {
    return S->setNumOutputPortsFcn ? S->setNumOutputPortsFcn(S->setNumOutputPortsContext, n) != 0
                                   : false;
}
static inline int_T ssGetNumInputPorts(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_INPUT_PORTS];
}
static inline int_T ssGetNumOutputPorts(SimStruct* S) {
    return S->sizes[SS_SIZES_NUM_OUTPUT_PORTS];
}
static inline ssInputPort* ssInputPortRecord(SimStruct* S, int_T port) {
    return (S->inputPorts && port >= 0 && port < S->sizes[SS_SIZES_NUM_INPUT_PORTS])
               ? &S->inputPorts[port]
               : (ssInputPort*)0;
}
static inline ssOutputPort* ssOutputPortRecord(SimStruct* S, int_T port) {
    return (S->outputPorts && port >= 0 && port < S->sizes[SS_SIZES_NUM_OUTPUT_PORTS])
               ? &S->outputPorts[port]
               : (ssOutputPort*)0;
}
static inline bool ssSetInputPortWidth(SimStruct* S, int_T port, int_T width) {
    ssInputPort* p = ssInputPortRecord(S, port);
    if (p) p->width = width;
    return p != 0;
}
static inline int_T ssGetInputPortWidth(SimStruct* S, int_T port) {
    ssInputPort* p = ssInputPortRecord(S, port);
    return p ? p->width : 0;
}
static inline bool ssSetOutputPortWidth(SimStruct* S, int_T port, int_T width) {
    ssOutputPort* p = ssOutputPortRecord(S, port);
    if (p) p->width = width;
    return p != 0;
}
static inline int_T ssGetOutputPortWidth(SimStruct* S, int_T port) {
    ssOutputPort* p = ssOutputPortRecord(S, port);
    return p ? p->width : 0;
}
static inline int_T ssGetInputPortDirectFeedThrough(SimStruct* S, int_T port) {
    ssInputPort* p = ssInputPortRecord(S, port);
    return p ? p->directFeedThrough : 0;
}
static inline void* ssGetOutputPortSignal(SimStruct* S, int_T port) {
    ssOutputPort* p = ssOutputPortRecord(S, port);
    return p ? p->signal : (void*)0;
}
static inline real_T* ssGetOutputPortRealSignal(SimStruct* S, int_T port) {
    return (real_T*)ssGetOutputPortSignal(S, port);
}
#define ssGetInputPortSignalPtrs(S, port) ssGetInputPortSignalPtrsChecked((S), (port))
#define ssGetInputPortRealSignalPtrs(S, port) ssGetInputPortRealSignalPtrsChecked((S), (port))
#define ssSetInputPortDirectFeedThrough(S, port, value)                                            \
    ssSetInputPortDirectFeedThroughChecked((S), (port), (value))
#define ssSetInputPortMatrixDimensions(S, port, rows, cols)                                        \
    ssSetInputPortMatrixDimensionsFcn((S), (port), (rows), (cols))
#define ssSetOutputPortMatrixDimensions(S, port, rows, cols)                                       \
    ssSetOutputPortMatrixDimensionsFcn((S), (port), (rows), (cols))
#define ssSetInputPortVectorDimension(S, port, width)                                              \
    ssSetInputPortVectorDimensionFcn((S), (port), (width))
#define ssSetOutputPortVectorDimension(S, port, width)                                             \
    ssSetOutputPortVectorDimensionFcn((S), (port), (width))
#define ssWarning(S, msg) ssWarningFcn((S), (msg))

// Sample times and work vectors (allocated by the host once sizing is done).
static inline void ssSetSampleTime(SimStruct* S, int_T i, time_T t) {
    if (S->sampleTimes && i >= 0 && i < S->sizes[SS_SIZES_NUM_SAMPLE_TIMES]) S->sampleTimes[i] = t;
}
static inline time_T ssGetSampleTime(SimStruct* S, int_T i) {
    return (S->sampleTimes && i >= 0 && i < S->sizes[SS_SIZES_NUM_SAMPLE_TIMES]) ? S->sampleTimes[i]
                                                                                 : 0.0;
}
static inline void ssSetOffsetTime(SimStruct* S, int_T i, time_T t) {
    if (S->offsetTimes && i >= 0 && i < S->sizes[SS_SIZES_NUM_SAMPLE_TIMES]) S->offsetTimes[i] = t;
}
static inline time_T ssGetOffsetTime(SimStruct* S, int_T i) {
    return (S->offsetTimes && i >= 0 && i < S->sizes[SS_SIZES_NUM_SAMPLE_TIMES]) ? S->offsetTimes[i]
                                                                                 : 0.0;
}
static inline int_T* ssGetIWork(SimStruct* S) {
    return S->iWork;
}
static inline real_T* ssGetRWork(SimStruct* S) {
    return S->rWork;
}
static inline void** ssGetPWork(SimStruct* S) {
    return S->pWork;
}
static inline void* ssGetUserData(SimStruct* S) {
    return S->userData;
}
static inline void ssSetUserData(SimStruct* S, void* p) {
    S->userData = p;
}
