// Services of the S-function frame that the block's methods use instead of
// touching the SimStruct directly. Link `zv_frame` (it brings the MEX
// interface headers along).
//
// Through the ss* names of simstruc.h:
//   ssGetInputPortRealSignalPtrs(S, port), ssGetInputPortSignalPtrs(S, port)
//       the port's signal pointers; for a port index out of range or a port
//       without signal pointers: a "Fatal Error" dialog, the model's fault
//       flag set to 1, and NULL. The error status is not touched.
//   ssSetInputPortDirectFeedThrough(S, port, value)   checked the same way.
//   ssWarning(S, msg)   "Warning: block '<path>': <msg>" in the command window.
//   ssSetInputPortMatrixDimensions, ssSetOutputPortMatrixDimensions,
//   ssSetInputPortVectorDimension, ssSetOutputPortVectorDimension,
//   ssGenericQueryInt, ssGenericQueryDouble, ssGetDTypeIdFromMxArray.
#pragma once

#include "simstruc.h"

#ifdef __cplusplus
extern "C" {
#endif

// Dialog parameters of the block, in their order.
enum {
    ZV_PARAM_MODEL = 0,
    ZV_PARAM_PRODUCT = 1,
    ZV_PARAM_DURATION_SOURCE = 2,
    ZV_PARAM_TIMESTEP = 3,
    ZV_PARAM_INPUTS = 4,
    ZV_PARAM_OUTPUTS = 5,
    ZV_PARAM_COUNT = 6
};

// Checks that the dialog parameters can be read the way the block reads them
// (texts with mxGetString, numbers with mxGetPr and a truncation to int), so
// that a wrong kind of value is refused instead of read out of bounds.
// Returns 1 when all six are usable. Otherwise sets the error status to the
// first matching text below and returns 0; with fewer than six parameters it
// returns 0 without a text (the host reports the count mismatch).
//   "F*** Parameter 'Model' must be a text."
//   "F*** Parameter 'Product' must be a text."
//   "F*** Parameter 'Simulation Duration Source' must be a text."
//   "F*** Parameter 'Timestep' must be a real positive scalar number."
//   "F*** Parameter 'Inputs' must be a real scalar number in the int range."
//   "F*** Parameter 'Outputs' must be a real scalar number in the int range."
// A text is a char array with at most one row (an empty Model is allowed:
// it names no data file). A number is a real double array of one element;
// Timestep must be finite and above 0, Inputs and Outputs finite and, once
// truncated toward zero, representable as an int.
int zvCheckDialogParams(SimStruct* S);

#ifdef __cplusplus
}
#endif
