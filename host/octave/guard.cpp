// Compiled into the Octave build of the block: it fails the build when the
// mex.h on the include path is not Octave's. The wrong header would still
// load and run, its symbols bound to Octave's library at load time, so only
// the compiler can tell.
#include <simstruc.h>

#if !defined(HAVE_OCTAVE) || !defined(octave_mex_h)
#error "mex.h is not Octave's: the Octave include folder must come before mexapi"
#endif
