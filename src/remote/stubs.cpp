// The call stubs. Each hands the link the addresses of its arguments in the
// order of its catalogue signature: one per scalar, count and data pointer
// per text or array, rows, row length and data per text array, and the
// result last.
#include <cstring>

#include "link/link.h"
#include "link/settings.h"
#include "log/zvlog.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"
#include "remote/stubs.h"

namespace {

// id is an int: va_start needs a last parameter that is not promoted.
int awaitReturn(XSocket* link, int id, ...) {
    va_list args;
    va_start(args, id);
    int ok = vawaitRemoteReturn(link, processMessage, static_cast<uint16_t>(id), args);
    va_end(args);
    return ok;
}

// The return of the ZVUPDATE sent ahead of this step, into values.
int takeUpdateAhead(XSocket* link, double* values) {
    int32_t received = ZVUPDATE_CAPACITY;
    double* elements = values;
    if (awaitReturn(link, FID_ZVUPDATE, &received, &elements)) return 1;
    reportCallError("ZVUPDATE");
    return 0;
}

// A call other than the awaited one: the return sent ahead comes first.
// Nobody wants its values any more, so its refusal stops nothing: the call
// goes out all the same, as it would have without the call sent ahead.
void settleCallAhead(XSocket* link) {
    if (callAheadOutstanding() != FID_ZVUPDATE) return;
    int32_t received = ZVUPDATE_CAPACITY;
    double unused[ZVUPDATE_CAPACITY];
    double* elements = unused;
    if (!awaitReturn(link, FID_ZVUPDATE, &received, &elements))
        logMessage(LOG_WARN, "the return of the ZVUPDATE sent ahead was not taken");
}

// 1 when the return arrived. A failure is reported here, by the name of the
// call that was to be made, except when no link could be started: that has
// been reported already.
int invoke(const char* failureName, int id, ...) {
    XSocket* link = getLink();
    if (!link) return 0;
    settleCallAhead(link);
    int ok = 0;
    if (currentLink() == link) {
        va_list args;
        va_start(args, id);
        ok = vcallRemote(link, processMessage, static_cast<uint16_t>(id), args);
        va_end(args);
    }
    if (!ok) reportCallError(failureName);
    return ok;
}

int callAhead(XSocket* link, const unsigned char* ahead, int32_t aheadLength, int aheadId, int id,
              ...) {
    va_list args;
    va_start(args, id);
    int ok = vcallRemoteAhead(link, processMessage, static_cast<uint16_t>(id), args,
                              static_cast<uint16_t>(aheadId), ahead, aheadLength);
    va_end(args);
    return ok;
}

int32_t textLength(const char* text) {
    return text ? static_cast<int32_t>(strlen(text)) : 0;
}

// [i] data is only read, but the argument list carries plain pointers.
template <typename T> T* sent(const T* p) {
    return const_cast<T*>(p);
}

int askSpeciesCount(int32_t* count) {
    logMessage(LOG_DEBUG, "Called ZVNUMSPEC");
    *count = 0;
    return invoke("ZVNUMSPEC", FID_ZVNUMSPEC, count);
}

} // namespace

void reportCallError(const char* name) {
    logMessage(LOG_ERROR, "Error while calling function: %s", name);
    notifyLinkError(1);
}

// ---- called by the block ----

void slOpen(void) {
    logMessage(LOG_DEBUG, "Called slOpen");
    invoke("SLOPEN", FID_SLOPEN);
}

double zvStartup(const char* fileName, const char* productName) {
    logMessage(LOG_DEBUG, "Called zvStartup");
    logMessage(LOG_TRACE, "FileName   : %s", fileName);
    logMessage(LOG_TRACE, "ProductName: %s", productName);
    int32_t fileLength = textLength(fileName), productLength = textLength(productName);
    char* file = sent(fileName);
    char* product = sent(productName);
    double duration = -1.0;
    // The solver expects the product ahead of the file name.
    if (!invoke("SLZVIMAN", FID_SLZVIMAN, &productLength, &product, &fileLength, &file, &duration))
        return -1.0;
    return duration;
}

int32_t zvFileCheck(const char* fileName, const char* product, const char* version) {
    logMessage(LOG_DEBUG, "Called zvFileCheck");
    logMessage(LOG_TRACE, "Filename : %s", fileName);
    logMessage(LOG_TRACE, "Product  : %s", product);
    logMessage(LOG_TRACE, "Version  : %s", version);
    int32_t fileLength = textLength(fileName), productLength = textLength(product),
            versionLength = textLength(version);
    char* file = sent(fileName);
    char* productText = sent(product);
    char* versionText = sent(version);
    int32_t result = 0;
    if (!invoke("DATEXIST", FID_DATEXIST, &fileLength, &file, &result, &productLength, &productText,
                &versionLength, &versionText))
        return 0;
    return result;
}

void zvUpdate(double* values, int32_t count) {
    (void)count; // the solver says how many it sends; the room is fixed
    logMessage(LOG_DEBUG, "Called zvUpdate");
    XSocket* link = currentLink();
    if (link && callAheadOutstanding() == FID_ZVUPDATE) {
        takeUpdateAhead(link, values);
        return;
    }
    int32_t received = ZVUPDATE_CAPACITY;
    double* elements = values;
    invoke("ZVUPDATE", FID_ZVUPDATE, &received, &elements);
}

namespace {

void logAdvance(double DeltaSim, int32_t n, const int32_t* doneSim, const int32_t* adv) {
    logMessage(LOG_DEBUG, "Called zvAdvance");
    logMessage(LOG_TRACE, "DeltaSim  : %g", DeltaSim);
    logMessage(LOG_TRACE, "n         : %d", n);
    logMessage(LOG_TRACE, "doneSim   : %d", *doneSim);
    logMessage(LOG_TRACE, "adv       : %d", *adv);
}

} // namespace

void zvAdvance(double DeltaSim, const double* inputs, int32_t n, int32_t* doneSim, int32_t* adv) {
    logAdvance(DeltaSim, n, doneSim, adv);
    // Simulink has finished: the solver may now run on alone for long.
    if (*doneSim == 1 || *doneSim == 2) markFinalAdvance();
    double* elements = sent(inputs);
    invoke("SLCZVPWR", FID_SLCZVPWR, &DeltaSim, &n, &elements, doneSim, adv);
}

void zvAdvanceThenUpdate(double DeltaSim, const double* inputs, int32_t n, int32_t* doneSim,
                         int32_t* adv) {
    XSocket* link = currentLink();
    unsigned char ahead[64];
    int32_t aheadLength = 0;
    int32_t room = ZVUPDATE_CAPACITY;
    double* none = nullptr; // an [o] array: nothing of it travels in the call
    if (!link || !linkPipelined() || callAheadOutstanding() ||
        !packFunctionFrame(ahead, sizeof ahead, &aheadLength, 1, FID_ZVUPDATE, &room, &none)) {
        zvAdvance(DeltaSim, inputs, n, doneSim, adv);
        return;
    }
    logAdvance(DeltaSim, n, doneSim, adv);
    double* elements = sent(inputs);
    if (!callAhead(link, ahead, aheadLength, FID_ZVUPDATE, FID_SLCZVPWR, &DeltaSim, &n, &elements,
                   doneSim, adv))
        reportCallError("SLCZVPWR");
}

void slClose(int32_t sl) {
    logMessage(LOG_DEBUG, "Called slClose");
    logMessage(LOG_TRACE, "sl  : %d", sl);
    invoke("SLCLOSE", FID_SLCLOSE, &sl);
}

void zvCheckBack(void) {
    logMessage(LOG_DEBUG, "Called zvCheckBack");
    invoke("CHECKBACK", FID_CHECKBACK);
}

// ---- the rest of the catalogue ----

int32_t ZVFLU(const char* fileName, const int32_t* fileNameLength, const char* codeName,
              const int32_t* codeNameLength) {
    startLinkLog();
    logMessage(LOG_DEBUG, "Called ZVFLU");
    logMessage(LOG_TRACE, "FileName   : %.*s", *fileNameLength, fileName);
    logMessage(LOG_TRACE, "CodeName   : %.*s", *codeNameLength, codeName);
    int32_t fileLength = *fileNameLength, codeLength = *codeNameLength;
    char* file = sent(fileName);
    char* code = sent(codeName);
    int32_t result = 0;
    if (!invoke("ZVFLU", FID_ZVFLU, &fileLength, &file, &codeLength, &code, &result)) return 0;
    return result;
}

void ZVIMAN(void) {
    startLinkLog();
    logMessage(LOG_DEBUG, "Called ZVIMAN");
    invoke("ZVIMAN", FID_ZVIMAN);
}

void ZVISETMODE(const int32_t* value) {
    logMessage(LOG_DEBUG, "Called ZVISETMODE");
    logMessage(LOG_TRACE, "value      : %d", *value);
    int32_t sent = *value;
    invoke("ZVISETMODE", FID_ZVISETMODE, &sent);
}

int32_t BCDZVI(float* p1, float* p2, float* p3, float* a4, float* p5, float* p6,
               const int32_t* iter, const int32_t* reg) {
    logMessage(LOG_DEBUG, "Called BCDZVI");
    logMessage(LOG_TRACE, "iter       : %d", *iter);
    logMessage(LOG_TRACE, "reg        : %d", *reg);
    int32_t count = REMOTE_ARRAY_CAPACITY, sentIter = *iter, sentReg = *reg, result = 0;
    float* elements = a4;
    if (!invoke("BCDZVI", FID_BCDZVI, p1, p2, p3, &count, &elements, p5, p6, &sentIter, &sentReg,
                &result))
        return 0;
    return result;
}

int32_t BCDZVP(float* p1, float* p2, float* p3, float* p4, float* a5, const int32_t* iter,
               const int32_t* reg) {
    logMessage(LOG_DEBUG, "Called BCDZVP");
    logMessage(LOG_TRACE, "iter       : %d", *iter);
    logMessage(LOG_TRACE, "reg        : %d", *reg);
    int32_t count = REMOTE_ARRAY_CAPACITY, sentIter = *iter, sentReg = *reg, result = 0;
    float* elements = a5;
    if (!invoke("BCDZVP", FID_BCDZVP, p1, p2, p3, p4, &count, &elements, &sentIter, &sentReg,
                &result))
        return 0;
    return result;
}

int32_t BCTRANSFER(const int32_t* iter, const int32_t* reg, const float* PF, const float* TF,
                   const float* UF, const float* massFracs) {
    logMessage(LOG_DEBUG, "Called BCTRANSFER");
    logMessage(LOG_TRACE, "iter        : %d", *iter);
    logMessage(LOG_TRACE, "reg         : %d", *reg);
    logMessage(LOG_TRACE, "PF          : %f", static_cast<double>(*PF));
    logMessage(LOG_TRACE, "TF          : %f", static_cast<double>(*TF));
    logMessage(LOG_TRACE, "UF          : %f", static_cast<double>(*UF));
    // Without a count from the solver, or with one past the room the caller
    // was asked for, the caller's memory would be read out of bounds.
    int32_t count = 0;
    if (!askSpeciesCount(&count)) return 0;
    if (count < 0 || count > REMOTE_ARRAY_CAPACITY) {
        reportCallError("BCTRANSFER");
        return 0;
    }
    logMessage(LOG_TRACE, "lenMassFracs: %d", count);
    int32_t sentIter = *iter, sentReg = *reg, result = 0;
    float pf = *PF, tf = *TF, uf = *UF;
    float* elements = sent(massFracs);
    if (!invoke("BCTRANSFER", FID_BCTRANSFER, &sentIter, &sentReg, &pf, &tf, &uf, &count, &elements,
                &result))
        return 0;
    return result;
}

int32_t TIMEINTEGRATIONAUX(const int32_t* CaseNum, const int32_t* iter, const float* DeltaT,
                           const int32_t* Flag) {
    logMessage(LOG_DEBUG, "Called TIMEINTEGRATIONAUX");
    logMessage(LOG_TRACE, "CaseNum    : %d", *CaseNum);
    logMessage(LOG_TRACE, "iter       : %d", *iter);
    logMessage(LOG_TRACE, "DeltaT     : %f", static_cast<double>(*DeltaT));
    logMessage(LOG_TRACE, "Flag       : %d", *Flag);
    int32_t caseNum = *CaseNum, sentIter = *iter, flag = *Flag, result = 0;
    float deltaT = *DeltaT;
    if (!invoke("TIMEINTEGRATIONAUX", FID_TIMEINTEGRATIONAUX, &caseNum, &sentIter, &deltaT, &flag,
                &result))
        return 0;
    return result;
}

int32_t GETCFDZONES(int32_t* zoneCount, int32_t* zoneIds, float* zoneValues, char* names1,
                    const int32_t* rowLength1, char* names2, const int32_t* rowLength2) {
    logMessage(LOG_DEBUG, "Called GETCFDZONES");
    int32_t idCount = REMOTE_ARRAY_CAPACITY, valueCount = REMOTE_ARRAY_CAPACITY;
    int32_t rows1 = REMOTE_ARRAY_CAPACITY, length1 = *rowLength1;
    int32_t rows2 = REMOTE_ARRAY_CAPACITY, length2 = *rowLength2;
    int32_t* ids = zoneIds;
    float* values = zoneValues;
    char* text1 = names1;
    char* text2 = names2;
    int32_t result = 0;
    if (!invoke("GETCFDZONES", FID_GETCFDZONES, zoneCount, &idCount, &ids, &valueCount, &values,
                &rows1, &length1, &text1, &rows2, &length2, &text2, &result))
        return 0;
    return result;
}

int32_t GETCFDSPECIES(int32_t* speciesCount, char* names, const int32_t* rowLength) {
    logMessage(LOG_DEBUG, "Called GETCFDSPECIES");
    int32_t rows = REMOTE_ARRAY_CAPACITY, length = *rowLength, result = 0;
    char* text = names;
    if (!invoke("GETCFDSPECIES", FID_GETCFDSPECIES, speciesCount, &rows, &length, &text, &result))
        return 0;
    return result;
}

void ZVIWRP(void) {
    logMessage(LOG_DEBUG, "Called ZVIWRP");
    invoke("ZVIWRP", FID_ZVIWRP);
}

int32_t ZVNUMSPEC(void) {
    int32_t count = 0;
    if (!askSpeciesCount(&count)) return 0;
    return count;
}
