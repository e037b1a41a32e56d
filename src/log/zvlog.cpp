// The link log. One threshold and at most one open file for the whole
// process; every line is flushed on both outputs before logMessage returns so
// that nothing is lost when the host tears the process down.
#include "log/zvlog.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

FILE* logFile = nullptr;
int threshold = 1; // lines above this level are written
LogObserver observer = nullptr;

void tellObserver(int level, const char* format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    observer(level, text);
}

const char* levelTag(int level) {
    switch (level) {
    case LOG_TRACE:
        return nullptr;
    case LOG_DEBUG:
        return "DEBUG";
    case LOG_INFO:
        return "INFO";
    case LOG_WARN:
        return "WARN";
    default:
        return "ERROR";
    }
}

void writeLine(FILE* out, const char* tag, const char* format, va_list args) {
    if (tag) fprintf(out, "%s: ", tag);
    vfprintf(out, format, args);
    fputs("\n", out);
    fflush(out);
}

} // namespace

void logMessage(int level, const char* format, ...) {
    if (!format) format = "";
    if (observer) {
        va_list seen;
        va_start(seen, format);
        tellObserver(level, format, seen);
        va_end(seen);
    }
    if (level <= threshold) return;
    const char* tag = levelTag(level);

    // The arguments are consumed once per output; each pass needs its own copy.
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    writeLine(stdout, tag, format, args);
    if (logFile) writeLine(logFile, tag, format, again);
    va_end(again);
    va_end(args);
}

void setLogObserver(LogObserver fn) {
    observer = fn;
}

void setLogLevel(int n) {
    // INT_MIN - 1 would overflow; INT_MIN as threshold already lets everything through.
    threshold = (n == INT_MIN) ? INT_MIN : n - 1;
}

int openLog(const char* path) {
    if (!path) return 0;
    FILE* file = fopen(path, "w");
    if (!file) return 0; // keep logging where we did before
    closeLog();
    logFile = file;
    return 1;
}

void closeLog(void) {
    if (!logFile) return;
    logMessage(LOG_INFO, "closing log file...");
    fclose(logFile);
    logFile = nullptr;
}

int isLogOpen(void) {
    return logFile != nullptr;
}

void startLinkLog(void) {
    if (isLogOpen()) return;
    openLog("zvlinkclient.out");
    if (getenv("ZVIVERBOSE"))
        setLogLevel(0);
    else if (getenv("ZVIDEBUG"))
        setLogLevel(1);
}
