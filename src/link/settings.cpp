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

// What a read has seen of the two keys that choose the mode.
struct PlaceKeys {
    bool host, port, portUsable;
    char portValue[48]; // the last PORT value, for the message
    char misspelt[48];  // the first key that looks like HOST or PORT
};

const char* const KNOWN_KEYS[] = {"HOST", "PORT", "VERSION", "TIMEOUT", "LONGTIMEOUT", "PIPELINE"};

// Letters that differ, letters missing or extra, and two letters swapped
// each count one; letter case does not count.
size_t keyDistance(const char* a, const char* b) {
    const size_t n = strlen(a), m = strlen(b);
    if (n > 32 || m > 32) return 99;
    size_t d[33][33];
    for (size_t i = 0; i <= n; ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= m; ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j) {
            const size_t cost = upper(a[i - 1]) == upper(b[j - 1]) ? 0 : 1;
            size_t best = d[i - 1][j] + 1;
            if (d[i][j - 1] + 1 < best) best = d[i][j - 1] + 1;
            if (d[i - 1][j - 1] + cost < best) best = d[i - 1][j - 1] + cost;
            if (i > 1 && j > 1 && upper(a[i - 1]) == upper(b[j - 2]) &&
                upper(a[i - 2]) == upper(b[j - 1]) && d[i - 2][j - 2] + 1 < best)
                best = d[i - 2][j - 2] + 1;
            d[i][j] = best;
        }
    return d[n][m];
}

// The known key a misspelt one most likely meant, or nullptr.
const char* nearestKey(const char* key) {
    const char* best = nullptr;
    size_t bestDistance = 3; // two slips at most
    for (const char* known : KNOWN_KEYS) {
        const size_t d = keyDistance(key, known);
        if (d < bestDistance) {
            bestDistance = d;
            best = known;
        }
    }
    return best;
}

// A port as a user means it: decimal digits, 1 to 65535, nothing after them
// but blanks.
bool isUsablePort(const char* text) {
    while (isBlank(*text))
        ++text;
    uint32_t value = 0;
    const char* digits = text;
    for (; *text >= '0' && *text <= '9'; ++text)
        if ((value = value * 10u + uint32_t(*text - '0')) > 65535u) return false;
    while (isBlank(*text))
        ++text;
    return text != digits && *text == '\0' && value >= 1;
}

// A file that names the solver's place but gives no usable pair was meant
// for connect mode: say what to fix instead of launching a solver.
void checkPlace(LinkSettings* settings, const PlaceKeys& seen) {
    char* problem = settings->problem;
    const size_t size = sizeof settings->problem;
    const bool launch = strcmp(settings->host, LINK_DEFAULT_HOST) == 0;
    if (seen.port && !seen.portUsable)
        snprintf(problem, size, "PORT=%s in %s is not a port number from 1 to 65535",
                 seen.portValue, LINK_SETTINGS_FILE);
    else if (seen.host && seen.port)
        return;
    else if (seen.misspelt[0] && !(seen.host && launch))
        snprintf(problem, size, "%s in %s is not a key; connect mode needs HOST and PORT",
                 seen.misspelt, LINK_SETTINGS_FILE);
    else if (seen.host && !launch)
        snprintf(problem, size,
                 "HOST=%.63s in %s has no PORT; connect mode needs both (without either the block "
                 "starts the solver itself)",
                 settings->host, LINK_SETTINGS_FILE);
    else if (seen.port && !seen.host)
        snprintf(problem, size,
                 "PORT=%s in %s has no HOST; connect mode needs both (without either the block "
                 "starts the solver itself)",
                 seen.portValue, LINK_SETTINGS_FILE);
}

void handleLine(char* line, LinkSettings* settings, PlaceKeys* seen) {
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

    if (sameKey(key, "HOST")) {
        copyCut(settings->host, sizeof settings->host, value);
        seen->host = true;
    } else if (sameKey(key, "PORT")) {
        settings->port = parsePort(value);
        seen->port = true;
        seen->portUsable = isUsablePort(value);
        copyCut(seen->portValue, sizeof seen->portValue, value);
    } else if (sameKey(key, "VERSION"))
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
    } else {
        logMessage(LOG_WARN, "Skipping unknown attribute: %s", key);
        const char* meant = nearestKey(key);
        if (!meant) return;
        logMessage(LOG_WARN, "%s is not a key of %s: did you mean %s?", key, LINK_SETTINGS_FILE,
                   meant);
        // A misspelt HOST or PORT leaves a connect-mode file without its place.
        if ((strcmp(meant, "HOST") == 0 || strcmp(meant, "PORT") == 0) && !seen->misspelt[0])
            copyCut(seen->misspelt, sizeof seen->misspelt, key);
    }
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
    settings->problem[0] = '\0';
    if (!path) return 0;

    FILE* file = fopen(path, "r");
    if (!file) return 0;
    // Lines longer than the buffer arrive in pieces, each taken as a line.
    char line[256];
    PlaceKeys seen = {false, false, false, "", ""};
    while (fgets(line, sizeof line, file))
        handleLine(line, settings, &seen);
    checkPlace(settings, seen);
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
