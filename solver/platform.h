// What the stand-in solver does differently from one platform to another.
#pragma once

// Lets every other thread of the process go first: for work that no
// answer to the block waits on.
void yieldToOtherThreads();
