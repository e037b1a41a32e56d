// Counts heap allocations made by anything in the process (the MEX file,
// the libraries in it, the C++ runtime) while counting is switched on.
#pragma once

namespace zvbench {

// False in sanitizer builds, whose allocator must not be replaced.
bool allocationsCounted();
void startCountingAllocations();
// The allocations since the matching start.
long stopCountingAllocations();

} // namespace zvbench
