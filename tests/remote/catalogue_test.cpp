#include <gtest/gtest.h>

#include "remote/catalogue.h"

TEST(RemoteCatalogue, UnknownIdsAnswerWithTheInvalidRow) {
    for (uint16_t id : {0, 19, 25, 65535}) {
        EXPECT_STREQ(functionName(id), "INVALID") << id;
        EXPECT_STREQ(functionSignature(id), "()V") << id;
    }
    EXPECT_STREQ(functionName(18), "ZVNUMSPEC");
    EXPECT_STREQ(functionSignature(15), "([i]D[i]<D[b]I[b]I)V");
}
