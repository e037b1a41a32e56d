#include <gtest/gtest.h>

#include <cstring>

#include "remote/catalogue.h"

namespace {

TEST(RemoteCatalogue, UnknownIdsAnswerWithTheInvalidRow) {
    for (uint16_t id : {uint16_t(0), uint16_t(19), uint16_t(25), uint16_t(65535)}) {
        EXPECT_STREQ(functionName(id), "INVALID") << id;
        EXPECT_STREQ(functionSignature(id), "()V") << id;
    }
}

TEST(RemoteCatalogue, RowsTheBlockCallsMatchTheSolver) {
    struct {
        uint16_t id;
        const char* name;
        const char* signature;
    } expected[] = {
        {1, "ZVFLU", "([i]C[i]C)I"},
        {8, "GETCFDZONES", "([o]I[o]<I[o]<R[o]<C[o]<C)I"},
        {11, "SLOPEN", "()V"},
        {12, "SLZVIMAN", "([i]C[i]C[o]D)V"},
        {13, "DATEXIST", "([i]C[o]I[i]C[i]C)V"},
        {14, "ZVUPDATE", "([o]<D)V"},
        {15, "SLCZVPWR", "([i]D[i]<D[b]I[b]I)V"},
        {16, "SLCLOSE", "([i]I)V"},
        {17, "CHECKBACK", "()V"},
        {18, "ZVNUMSPEC", "()I"},
    };
    for (const auto& row : expected) {
        EXPECT_STREQ(functionName(row.id), row.name);
        EXPECT_STREQ(functionSignature(row.id), row.signature);
    }
}

TEST(RemoteCatalogue, EveryKnownRowHasItsOwnName) {
    for (uint16_t a = 1; a < FID_INVALID; ++a) {
        for (uint16_t b = a + 1; b < FID_INVALID; ++b) {
            EXPECT_STRNE(functionName(a), functionName(b));
        }
        EXPECT_STRNE(functionName(a), "INVALID");
    }
}

} // namespace
