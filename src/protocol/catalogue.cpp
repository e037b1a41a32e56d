#include "protocol/catalogue.h"

namespace {

struct CatalogueRow {
    int32_t id;
    const char* name;
    const char* signature;
};

// The solver holds the same table; a single changed byte breaks every call
// that uses the row.
const CatalogueRow catalogue[FUNCTION_COUNT] = {
    {FID_EMPTY, "EMPTY", ""},
    {FID_ZVFLU, "ZVFLU", "([i]C[i]C)I"},
    {FID_ZVIMAN, "ZVIMAN", "()V"},
    {FID_ZVISETMODE, "ZVISETMODE", "([i]I)V"},
    {FID_BCDZVI, "BCDZVI", "([o]R[o]R[o]R[o]<R[o]R[o]R[i]I[i]I)I"},
    {FID_BCDZVP, "BCDZVP", "([o]R[o]R[o]R[o]R[o]<R[i]I[i]I)I"},
    {FID_BCTRANSFER, "BCTRANSFER", "([i]I[i]I[i]R[i]R[i]R[i]<R)I"},
    {FID_TIMEINTEGRATIONAUX, "TIMEINTEGRATIONAUX", "([i]I[i]I[i]R[i]I)I"},
    {FID_GETCFDZONES, "GETCFDZONES", "([o]I[o]<I[o]<R[o]<C[o]<C)I"},
    {FID_GETCFDSPECIES, "GETCFDSPECIES", "([o]I[o]<C)I"},
    {FID_ZVIWRP, "ZVIWRP", "()V"},
    {FID_SLOPEN, "SLOPEN", "()V"},
    {FID_SLZVIMAN, "SLZVIMAN", "([i]C[i]C[o]D)V"},
    {FID_DATEXIST, "DATEXIST", "([i]C[o]I[i]C[i]C)V"},
    {FID_ZVUPDATE, "ZVUPDATE", "([o]<D)V"},
    {FID_SLCZVPWR, "SLCZVPWR", "([i]D[i]<D[b]I[b]I)V"},
    {FID_SLCLOSE, "SLCLOSE", "([i]I)V"},
    {FID_CHECKBACK, "CHECKBACK", "()V"},
    {FID_ZVNUMSPEC, "ZVNUMSPEC", "()I"},
    {FID_INVALID, "INVALID", "()V"},
};

// Row 0 has no function behind it, so it answers like any unknown id.
const CatalogueRow& rowFor(uint16_t id) {
    if (id == FID_EMPTY || id >= FID_INVALID) {
        return catalogue[FID_INVALID];
    }
    return catalogue[id];
}

} // namespace

const char* functionName(uint16_t id) {
    return rowFor(id).name;
}

const char* functionSignature(uint16_t id) {
    return rowFor(id).signature;
}
