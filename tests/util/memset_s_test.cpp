#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "qebcore_memset_s.h"

TEST(MemsetS, FillsAtMostTheDestinationAndNothingElse) {
    struct Case {
        size_t destSize, count;
        int result;
        size_t filled;
    };
    for (const Case& c : {Case{8, 8, 0, 8}, Case{4, 12, ERANGE, 4}}) {
        unsigned char buffer[16];
        std::memset(buffer, 0xAA, sizeof buffer);
        EXPECT_EQ(c.result, memset_s(buffer, c.destSize, 0x11, c.count));
        for (size_t i = 0; i < sizeof buffer; ++i) EXPECT_EQ(i < c.filled ? 0x11 : 0xAA, buffer[i]) << i;
    }
    EXPECT_EQ(EINVAL, memset_s(nullptr, 4, 0, 4));
}
