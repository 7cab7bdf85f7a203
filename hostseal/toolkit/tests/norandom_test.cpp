// Without the OS random source a split must fail, not fall back to the clock.
#include "secretshare.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(ToolkitSplitWithoutOsRandom, GivesNull)
{
    const unsigned char secret[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char *shares = __split(secret, 8, 3, 2);
    EXPECT_EQ(shares, nullptr);
    free(shares);
}

TEST(ToolkitSplitWithoutOsRandom, JoinStillWorks)
{
    // y = 0x5A + 0x33 x at x = 1 and 2.
    const unsigned char shares[] = {0x5A ^ 0x33, 1, 0x5A ^ 0x66, 2};
    unsigned char *secret = __join(shares, 1, 2);
    ASSERT_NE(secret, nullptr);
    EXPECT_EQ(secret[0], 0x5A);
    free(secret);
}

} // namespace
