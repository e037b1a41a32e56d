// The MEX entry of the block (mexFunction, declared in mex.h) and the name
// that the S-function is compiled with.
#pragma once

#include "simstruc.h"

// The MEX file must carry this name; Simulink's sizes call checks it.
#define ZV_SFUNCTION_NAME "zelvanesl61"
