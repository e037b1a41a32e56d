// The MEX file's own source (a MODULE target needs one). The entry point
// itself lives in the frame's library and is pulled in by the link options.
#include "frame/simulink.h"
