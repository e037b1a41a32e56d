// The zvlink.prm reader.
#include "fuzz_support.h"
#include "link/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool entered = (zvfuzz::enterScratchFolder(), true);
    (void)entered;
    zvfuzz::quietLog();
    zvfuzz::writeFile("zvlink.prm", data, size);
    LinkSettings settings;
    const int usable = readLinkSettings("zvlink.prm", &settings);
    // Whatever the file held, the record is whole.
    if (strlen(settings.host) >= sizeof settings.host ||
        strlen(settings.version) >= sizeof settings.version || settings.timeoutMs < 0 ||
        settings.longTimeoutMs < 0 || (usable && (settings.port == 0 || settings.host[0] == '\0')))
        abort();
    return 0;
}
