// Link settings from "zvlink.prm" and the link log start-up from the
// environment.
#include "link/settings.h"

#include "log/zvlog.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The C locale's white space, spelled out so the host's locale cannot change
// what a settings line means.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameKey(const char* key, const char* name) {
    for (; *key && *name; ++key, ++name)
        if (upper(*key) != upper(*name)) return false;
    return *key == *name;
}

void trimTrailing(char* text) {
    size_t n = strlen(text);
    while (n > 0 && isBlank(text[n - 1]))
        text[--n] = '\0';
}

void copyCut(char* dest, size_t size, const char* src) {
    size_t n = strlen(src);
    if (n > size - 1) n = size - 1;
    memcpy(dest, src, n);
    dest[n] = '\0';
}

// atoi's reading of a number, but with the value wrapping modulo 2^32 instead
// of overflowing, so any digit string is safe; only the low 16 bits are kept.
uint16_t parsePort(const char* text) {
    while (isBlank(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10u + static_cast<uint32_t>(*text - '0');
    if (negative) value = 0u - value;
    return static_cast<uint16_t>(value & 0xFFFFu);
}

// Decimal seconds ("2", "0.5", "90."), turned into milliseconds rounded up
// so that a limit is never shorter than asked. Anything else (a sign, an
// exponent, letters) is refused: a typo must not lift the limit. Past a day
// the limit is a day, so that its milliseconds fit every wait.
int parseSeconds(const char* text, int32_t* milliseconds) {
    int64_t whole = 0, fraction = 0, scale = 1;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (whole <= 86400) whole = whole * 10 + (*p - '0');
    const bool wholeDigits = p != text;
    bool fractionDigits = false;
    if (*p == '.') {
        // Past microseconds the digits cannot change the milliseconds.
        for (++p; *p >= '0' && *p <= '9'; ++p, fractionDigits = true) {
            if (scale < 1000000) {
                fraction = fraction * 10 + (*p - '0');
                scale *= 10;
            }
        }
    }
    if (*p != '\0' || (!wholeDigits && !fractionDigits)) return 0;
    int64_t ms = whole * 1000 + (fraction * 1000 + scale - 1) / scale;
    *milliseconds = static_cast<int32_t>(ms > 86400000 ? 86400000 : ms);
    return 1;
}

void handleLine(char* line, LinkSettings* settings) {
    while (isBlank(*line))
        ++line;
    if (*line == '\0' || *line == '#') return;

    char* key = line;
    while (*key == '=')
        ++key;
    char* equals = strchr(key, '=');
    char* value = nullptr;
    if (equals) {
        *equals = '\0';
        value = equals + 1;
        value[strcspn(value, "\r\n")] = '\0';
    }
    if (*key == '\0' || !value || *value == '\0') {
        logMessage(LOG_WARN, "Skipping invalid line: %s", key);
        return;
    }

    while (isBlank(*value))
        ++value;
    trimTrailing(value);
    trimTrailing(key);

    if (sameKey(key, "HOST"))
        copyCut(settings->host, sizeof settings->host, value);
    else if (sameKey(key, "PORT"))
        settings->port = parsePort(value);
    else if (sameKey(key, "VERSION"))
        copyCut(settings->version, sizeof settings->version, value);
    else if (sameKey(key, "PIPELINE")) {
        // Only the two values: a typo must not switch the step mode silently.
        if (strcmp(value, "0") == 0 || strcmp(value, "1") == 0)
            settings->pipeline = value[0] - '0';
        else
            logMessage(LOG_WARN, "Skipping invalid line: %s", key);
    } else if (sameKey(key, "TIMEOUT") || sameKey(key, "LONGTIMEOUT")) {
        int32_t* limit = sameKey(key, "TIMEOUT") ? &settings->timeoutMs : &settings->longTimeoutMs;
        if (!parseSeconds(value, limit))
            logMessage(LOG_WARN, "Skipping invalid line: %s=%s (the value is decimal seconds)", key,
                       value);
    } else
        logMessage(LOG_WARN, "Skipping unknown attribute: %s", key);
}

} // namespace

int readLinkSettings(const char* path, LinkSettings* settings) {
    if (!settings) return 0;
    settings->host[0] = '\0';
    settings->version[0] = '\0';
    settings->port = 0;
    settings->timeoutMs = 0;
    settings->longTimeoutMs = 0;
    settings->pipeline = 0;
    if (!path) return 0;

    FILE* file = fopen(path, "r");
    if (!file) return 0;
    // Lines longer than the buffer arrive in pieces, each taken as a line.
    char line[256];
    while (fgets(line, sizeof line, file))
        handleLine(line, settings);
    // A read that broke off did not see the whole file; its result is not trusted.
    const bool complete = !ferror(file);
    fclose(file);
    return complete && settings->port != 0 && settings->host[0] != '\0';
}

void applyLinkDefaults(LinkSettings* settings) {
    if (!settings) return;
    copyCut(settings->host, sizeof settings->host, LINK_DEFAULT_HOST);
    settings->port = 0;
}

const char* linkVersion(const LinkSettings* settings) {
    if (!settings || settings->version[0] == '\0') return LINK_DEFAULT_VERSION;
    return settings->version;
}

void startLinkLog(void) {
    if (isLogOpen()) return;
    openLog("zvlinkclient.out");
    if (getenv("ZVIVERBOSE"))
        setLogLevel(0);
    else if (getenv("ZVIDEBUG"))
        setLogLevel(1);
}
