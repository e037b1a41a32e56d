// The data-file scan with sub-assembly files: the input is the main file,
// then, after each NUL byte, the next of the files a.dat, b.dat and c.dat
// that its sub-assembly list may name.
#include "block/datafile.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool entered = (zvfuzz::enterScratchFolder(), true);
    (void)entered;
    static const char* const names[] = {"m.dat", "a.dat", "b.dat", "c.dat"};
    size_t at = 0;
    for (const char* name : names) {
        size_t end = at;
        while (end < size && data[end] != 0)
            ++end;
        zvfuzz::writeFile(name, data + at, end - at);
        at = end < size ? end + 1 : size;
    }
    DataFileScan scan;
    scanModelDataFile("m", &scan);
    return 0;
}
