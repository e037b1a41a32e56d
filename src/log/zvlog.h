// The link log: levelled diagnostic lines to standard output and, when one
// is open, to a log file, flushed per line. Process-wide state.
#pragma once

enum { LOG_TRACE = 0, LOG_DEBUG = 1, LOG_INFO = 2, LOG_WARN = 3, LOG_ERROR = 4 };

#if defined(__GNUC__)
#define ZV_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZV_PRINTF_LIKE(fmt, args)
#endif

void logMessage(int level, const char* format, ...) ZV_PRINTF_LIKE(2, 3);
// A program that checks a link with the block's own code sees every message,
// whatever the level written, as one formatted line (no tag). Null: none.
typedef void (*LogObserver)(int level, const char* text);
void setLogObserver(LogObserver fn);
void setLogLevel(int n); // levels n and above are written
int openLog(const char* path);
void closeLog(void);
int isLogOpen(void);
// Opens "zvlinkclient.out" once per process and takes the level from
// ZVIVERBOSE / ZVIDEBUG.
void startLinkLog(void);
