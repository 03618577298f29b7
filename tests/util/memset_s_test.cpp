#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "qebcore_memset_s.h"

namespace {

TEST(MemsetS, FillsExactlyCountBytesAndNoMore) {
    unsigned char buffer[16];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(0, memset_s(buffer, 8, 0, 8));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(0, buffer[i]) << i;
    for (int i = 8; i < 16; ++i) EXPECT_EQ(0xAA, buffer[i]) << i;
}

TEST(MemsetS, CountAboveSizeFillsOnlyTheDestination) {
    unsigned char buffer[16];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(ERANGE, memset_s(buffer, 4, 0x11, 12));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0x11, buffer[i]) << i;
    for (int i = 4; i < 16; ++i) EXPECT_EQ(0xAA, buffer[i]) << i;
}

TEST(MemsetS, NullDestinationIsRefused) {
    EXPECT_EQ(EINVAL, memset_s(nullptr, 4, 0, 4));
}

}  // namespace
