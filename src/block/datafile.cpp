// Reading the wiring harness out of a model data file.
//
// A data file is a column-oriented text file. On every line, s is the column
// of the first space; fields that follow the first word sit at fixed offsets
// from s. Lines are read 99 characters at a time, so a longer line is looked
// at as several lines, and every test is bounded by the end of what was read.
#include "block/datafile.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char HARNESS_HEADER[] = "WiringHarness";
const size_t HARNESS_HEADER_COMPARED = 12;
const char HARNESS_TARGET[] = "Simulink";
const size_t HARNESS_TARGET_COMPARED = 7;
const char SUBASSEMBLY_HEADER[] = "SubAssembly";
const size_t PART_NAME_OFFSET = 28;       // harness name on the harness part line, from s
const size_t KEYWORD_OFFSET = 14;         // connection keyword, from s
const size_t SUBASSEMBLY_USE_OFFSET = 26; // sub-assembly name on a part line, from s

const char* const CONNECTION_KEYWORDS[] = {"SensorConn", "ControlConn", "ActuatorConn"};

// Port numbers outside 0..127 have no mark; up to this many distinct ones per
// direction are remembered so that each is still counted once. Past that, a
// number not remembered is counted as new: the count can then only come out
// too high, and it is already beyond the 128 ports a run accepts.
const int OTHER_PORTS_KEPT = 128;

struct PortSet {
    unsigned char* marks; // DATAFILE_PORT_MARKS flags, owned by the result
    long long other[OTHER_PORTS_KEPT];
    int otherCount;
};

// Marks a port number; 1 when it was not yet counted.
int markPort(PortSet* set, long long port) {
    if (port >= 0 && port < DATAFILE_PORT_MARKS) {
        if (set->marks[port]) return 0;
        set->marks[port] = 1;
        return 1;
    }
    for (int i = 0; i < set->otherCount; i++)
        if (set->other[i] == port) return 0;
    if (set->otherCount < OTHER_PORTS_KEPT) set->other[set->otherCount++] = port;
    return 1;
}

// The atoi rules (leading white space, an optional sign, digits up to the
// first non-digit) over [p, end), without overflow: the value saturates.
// A port field of any length is read in full, so 1000 and 100 stay distinct.
long long parsePortNumber(const char* p, const char* end) {
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        p++;
    int negative = 0;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    long long value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++) {
        int digit = *p - '0';
        if (negative) {
            value = value < (LLONG_MIN + digit) / 10 ? LLONG_MIN : value * 10 - digit;
        } else {
            value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
        }
    }
    return value;
}

// One read line with the line end taken off (a CR too, so files written on
// Windows read alike everywhere).
struct Line {
    char text[DATAFILE_LINE_SIZE];
    size_t len;
    size_t s; // column of the first space, or len when there is none
    int hasSpace;
};

int readLine(FILE* f, Line* line) {
    if (!fgets(line->text, sizeof line->text, f)) return 0;
    size_t len = strlen(line->text);
    while (len > 0 && (line->text[len - 1] == '\n' || line->text[len - 1] == '\r'))
        line->text[--len] = '\0';
    line->len = len;
    const char* sp = static_cast<const char*>(memchr(line->text, ' ', len));
    line->hasSpace = sp != nullptr;
    line->s = sp ? static_cast<size_t>(sp - line->text) : len;
    return 1;
}

// True when the text from column col begins with the n characters of word.
int textAt(const Line* line, size_t col, const char* word, size_t n) {
    return col <= line->len && n <= line->len - col && memcmp(line->text + col, word, n) == 0;
}

// Column of the first space at or after col, or line->len.
size_t spaceFrom(const Line* line, size_t col) {
    while (col < line->len && line->text[col] != ' ')
        col++;
    return col;
}

// Copies [from, from + n) of the line into a field of DATAFILE_LINE_SIZE bytes,
// which holds anything a line can.
void copyField(char* field, const Line* line, size_t from, size_t n) {
    memcpy(field, line->text + from, n);
    field[n] = '\0';
}

void copyName(char* field, const char* name) {
    snprintf(field, DATAFILE_NAME_SIZE, "%s", name);
}

// A harness port reference: the part name, one separator character, then the
// port number. Counts the port when the reference names the harness part.
void countReference(const Line* line, size_t from, size_t to, const char* part, size_t partLen,
                    PortSet* set, int* count) {
    if (to - from < partLen || memcmp(line->text + from, part, partLen) != 0) return;
    size_t portFrom = from + partLen;
    if (portFrom < to) portFrom++; // the separator
    if (markPort(set, parsePortNumber(line->text + portFrom, line->text + to))) (*count)++;
}

// The harness scan of one file, a line at a time.
struct HarnessScan {
    DataFileScan* scan;
    PortSet inputs, outputs;
    size_t nameLen, partLen;
    int state;
};

void startHarnessScan(HarnessScan* h, DataFileScan* scan) {
    h->scan = scan;
    h->inputs.marks = scan->inputPorts;
    h->inputs.otherCount = 0;
    h->outputs.marks = scan->outputPorts;
    h->outputs.otherCount = 0;
    h->nameLen = 0;
    h->partLen = 0;
    h->state = 0;
}

void scanHarnessLine(HarnessScan* h, const Line* line) {
    DataFileScan* scan = h->scan;
    if (h->state == 0) {
        if (textAt(line, 0, HARNESS_HEADER, HARNESS_HEADER_COMPARED)) h->state = 1;
    } else if (h->state == 1) {
        // " ??Name Simulink": name from column 3 to the next space. An empty
        // name could never find its part line; such a line is passed over.
        if (line->len < 4 || line->text[0] != ' ') return;
        size_t end = spaceFrom(line, 3);
        if (end == line->len || end == 3) return;
        if (!textAt(line, end + 1, HARNESS_TARGET, HARNESS_TARGET_COMPARED)) return;
        h->nameLen = end - 3;
        copyField(scan->harnessName, line, 3, h->nameLen);
        h->state = 2;
    } else if (h->state == 2) {
        // A line that starts with a space is a part line too, of a part
        // whose name is empty.
        if (!line->hasSpace) return;
        if (!textAt(line, line->s + PART_NAME_OFFSET, scan->harnessName, h->nameLen)) return;
        h->partLen = line->s;
        copyField(scan->partName, line, 0, h->partLen);
        h->state = 3;
    } else {
        if (!line->hasSpace) return;
        size_t kw = line->s + KEYWORD_OFFSET;
        size_t kwLen = 0;
        for (const char* keyword : CONNECTION_KEYWORDS) {
            if (textAt(line, kw, keyword, strlen(keyword))) {
                kwLen = strlen(keyword);
                break;
            }
        }
        if (kwLen == 0) return;
        // The character right after the keyword is not looked at; the
        // keyword field ends at the first space after that.
        if (kw + kwLen + 1 > line->len) return;
        size_t fieldEnd = spaceFrom(line, kw + kwLen + 1);
        if (fieldEnd == line->len) return;
        // Each reference ends at its first space or at the end of the line.
        size_t fromBegin = fieldEnd + 1;
        size_t fromEnd = spaceFrom(line, fromBegin);
        size_t toBegin = fromEnd < line->len ? fromEnd + 1 : line->len;
        size_t toEnd = spaceFrom(line, toBegin);
        countReference(line, fromBegin, fromEnd, scan->partName, h->partLen, &h->inputs,
                       &scan->inputCount);
        countReference(line, toBegin, toEnd, scan->partName, h->partLen, &h->outputs,
                       &scan->outputCount);
    }
}

// FNV-1a, a step at a time, so that every prefix of a text gets its hash on
// the way through it.
const uint32_t HASH_START = 2166136261u;
uint32_t hashStep(uint32_t hash, char c) {
    return (hash ^ static_cast<unsigned char>(c)) * 16777619u;
}
uint32_t hashText(const char* text, size_t n) {
    uint32_t hash = HASH_START;
    for (size_t i = 0; i < n; i++)
        hash = hashStep(hash, text[i]);
    return hash;
}

// A set of texts, by open addressing: slots hold an index + 1 into the
// caller's own table of texts, 0 when free.
struct TextIndex {
    int* slots;
    size_t mask;
};

// Room for count texts at half load at most; 0 when memory ran out.
int makeIndex(TextIndex* index, int count) {
    size_t size = 16;
    while (size < static_cast<size_t>(count) * 2)
        size *= 2;
    index->slots = static_cast<int*>(calloc(size, sizeof(int)));
    index->mask = size - 1;
    return index->slots != nullptr;
}

struct SubAssembly {
    char name[DATAFILE_LINE_SIZE];
    size_t nameLen;
    char fileBase[DATAFILE_LINE_SIZE];
    int used;
    int group; // the first entry whose compared name is the same as this one's
};

// The sub-assembly list. It grows as needed: a model may use any number of
// sub-assemblies, and the entry that holds the harness may come late.
struct SubAssemblyList {
    SubAssembly* entries;
    int count;
    int capacity;
};

// Returns 0 when the entry could not be stored (out of memory).
int addEntry(SubAssemblyList* list, const SubAssembly* entry) {
    if (list->count == list->capacity) {
        int capacity = list->capacity ? list->capacity * 2 : 16;
        void* grown = realloc(list->entries, sizeof(SubAssembly) * static_cast<size_t>(capacity));
        if (!grown) return 0;
        list->entries = static_cast<SubAssembly*>(grown);
        list->capacity = capacity;
    }
    list->entries[list->count++] = *entry;
    return 1;
}

// " ??Name ?Base.ext": name from column 3 to the next space, one character
// skipped, then the file base name up to the first '.'.
int parseEntry(const Line* line, SubAssembly* entry) {
    size_t end = spaceFrom(line, 3);
    if (end >= line->len) return 0;
    size_t baseBegin = end + 2;
    if (baseBegin > line->len) return 0;
    const char* dot =
        static_cast<const char*>(memchr(line->text + baseBegin, '.', line->len - baseBegin));
    if (!dot) return 0;
    entry->nameLen = end - 3;
    copyField(entry->name, line, 3, entry->nameLen);
    copyField(entry->fileBase, line, baseBegin, static_cast<size_t>(dot - line->text) - baseBegin);
    entry->used = 0;
    entry->group = 0;
    return 1;
}

// The sub-assembly pass over the main file: the list, then which entries
// the part lines after it use. Part lines look entries up by the compared
// part of their names, so a line costs the same however long the list is.
struct SubAssemblyScan {
    enum { HEADER, ENTRIES, PARTS } state;
    SubAssemblyList list;
    TextIndex names; // by the compared part of the name: all but its last character
    // lengths[k]: some entry compares k characters.
    unsigned char lengths[DATAFILE_LINE_SIZE];
    int indexed;
};

size_t comparedLength(const SubAssembly* e) {
    return e->nameLen - 1;
}

// A name of one character or none would compare nothing at all and every
// part line would use it, so such a name is never used and not indexed.
void indexNames(SubAssemblyScan* sub) {
    sub->indexed = makeIndex(&sub->names, sub->list.count);
    for (int i = 0; i < sub->list.count; i++) {
        SubAssembly* e = &sub->list.entries[i];
        e->group = i;
        if (!sub->indexed || e->nameLen < 2) continue;
        const size_t n = comparedLength(e);
        for (size_t at = hashText(e->name, n) & sub->names.mask;; at = (at + 1) & sub->names.mask) {
            const int held = sub->names.slots[at] - 1;
            if (held < 0) {
                sub->names.slots[at] = i + 1;
                sub->lengths[n] = 1;
                break;
            }
            const SubAssembly* other = &sub->list.entries[held];
            if (comparedLength(other) == n && memcmp(other->name, e->name, n) == 0) {
                e->group = held;
                break;
            }
        }
    }
}

void markUsed(SubAssemblyScan* sub, const Line* line) {
    if (!line->hasSpace || !sub->indexed) return;
    const size_t col = line->s + SUBASSEMBLY_USE_OFFSET;
    if (col >= line->len) return;
    const char* text = line->text + col;
    uint32_t hash = HASH_START;
    for (size_t k = 1; col + k <= line->len; k++) {
        hash = hashStep(hash, text[k - 1]);
        if (!sub->lengths[k]) continue;
        for (size_t at = hash & sub->names.mask;; at = (at + 1) & sub->names.mask) {
            const int held = sub->names.slots[at] - 1;
            if (held < 0) break;
            SubAssembly* e = &sub->list.entries[held];
            if (comparedLength(e) == k && memcmp(e->name, text, k) == 0) {
                e->used = 1;
                break;
            }
        }
    }
}

void scanSubAssemblyLine(SubAssemblyScan* sub, const Line* line) {
    if (sub->state == SubAssemblyScan::HEADER) {
        if (textAt(line, 0, SUBASSEMBLY_HEADER, sizeof SUBASSEMBLY_HEADER - 1))
            sub->state = SubAssemblyScan::ENTRIES;
    } else if (sub->state == SubAssemblyScan::ENTRIES) {
        if (line->text[0] == ' ') {
            // Out of memory is the only limit on the list; an entry that
            // finds no room is left out, and the rest of the list still reads.
            SubAssembly entry;
            if (line->len > 3 && parseEntry(line, &entry)) (void)addEntry(&sub->list, &entry);
        } else if (line->text[0] != '|' && sub->list.count > 0) {
            sub->state = SubAssemblyScan::PARTS;
            indexNames(sub);
        }
    } else {
        markUsed(sub, line);
    }
}

// Entries share the used mark of their group.
void finishSubAssemblyScan(SubAssemblyScan* sub) {
    for (int i = 0; i < sub->list.count; i++) {
        SubAssembly* e = &sub->list.entries[i];
        e->used = sub->list.entries[e->group].used;
    }
}

void resetCounts(DataFileScan* scan) {
    scan->inputCount = 0;
    scan->outputCount = 0;
    memset(scan->inputPorts, 0, sizeof scan->inputPorts);
    memset(scan->outputPorts, 0, sizeof scan->outputPorts);
    scan->harnessName[0] = '\0';
    scan->partName[0] = '\0';
}

// Opens and scans one file for the harness, and, for the main file, runs
// the sub-assembly pass over the same lines (sub not null). Returns the
// status it ends in, or 0 when the file holds no harness part.
int scanFile(const char* fileName, DataFileScan* scan, SubAssemblyScan* sub) {
    copyName(scan->fileName, fileName);
    resetCounts(scan);
    FILE* f = fopen(fileName, "r");
    if (!f) return DATAFILE_MISSING;
    HarnessScan h;
    startHarnessScan(&h, scan);
    Line line;
    while (readLine(f, &line)) {
        scanHarnessLine(&h, &line);
        if (sub) scanSubAssemblyLine(sub, &line);
    }
    fclose(f);
    if (h.state == 3) return DATAFILE_HARNESS_FOUND;
    resetCounts(scan);
    return 0;
}

// The files already scanned without result, by base name: each is read once
// however many entries name it. The texts stay with their owners.
struct SeenFiles {
    TextIndex index;
    const char** names;
    int count;
};

// 1 when name was not seen yet (it is now); also 1 when memory ran out,
// which only costs a second read.
int firstSight(SeenFiles* seen, const char* name) {
    if (!seen->index.slots) return 1;
    const size_t n = strlen(name);
    for (size_t at = hashText(name, n) & seen->index.mask;; at = (at + 1) & seen->index.mask) {
        const int held = seen->index.slots[at] - 1;
        if (held < 0) {
            seen->names[seen->count] = name;
            seen->index.slots[at] = ++seen->count;
            return 1;
        }
        if (strcmp(seen->names[held], name) == 0) return 0;
    }
}

} // namespace

int scanModelDataFile(const char* modelName, DataFileScan* scan) {
    memset(scan, 0, sizeof *scan);
    if (!modelName) modelName = "";
    size_t modelLen = strlen(modelName);
    char* mainName = static_cast<char*>(malloc(modelLen + 5));
    if (!mainName) {
        copyName(scan->fileName, modelName);
        scan->status = DATAFILE_MISSING;
        return 0;
    }
    memcpy(mainName, modelName, modelLen);
    memcpy(mainName + modelLen, ".dat", 5);

    SubAssemblyScan* sub = static_cast<SubAssemblyScan*>(calloc(1, sizeof(SubAssemblyScan)));
    int status = sub ? scanFile(mainName, scan, sub) : DATAFILE_MISSING;
    if (status == 0) {
        finishSubAssemblyScan(sub);
        SeenFiles seen = {{nullptr, 0}, nullptr, 0};
        seen.names = static_cast<const char**>(
            malloc(sizeof(const char*) * static_cast<size_t>(sub->list.count + 1)));
        if (!seen.names || !makeIndex(&seen.index, sub->list.count + 1)) {
            free(seen.index.slots);
            seen.index.slots = nullptr;
        }
        firstSight(&seen, modelName); // its harness scan is done
        int anyUsed = 0;
        for (int i = 0; i < sub->list.count && status == 0; i++) {
            const SubAssembly* e = &sub->list.entries[i];
            if (!e->used) continue;
            anyUsed = 1;
            if (!firstSight(&seen, e->fileBase)) continue;
            // Base names come from one line, so they always fit with ".dat".
            char fileName[DATAFILE_LINE_SIZE + 4];
            snprintf(fileName, sizeof fileName, "%s.dat", e->fileBase);
            status = scanFile(fileName, scan, nullptr);
        }
        if (status == 0) {
            status = anyUsed ? DATAFILE_NO_HARNESS_IN_SUBASSEMBLIES : DATAFILE_NO_HARNESS;
            copyName(scan->fileName, mainName);
        }
        free(seen.index.slots);
        free(seen.names);
    }
    if (sub) {
        free(sub->names.slots);
        free(sub->list.entries);
        free(sub);
    }
    free(mainName);
    scan->status = status;
    return status == DATAFILE_HARNESS_FOUND;
}
