#include <gtest/gtest.h>

#include "nn/pcg32.h"

TEST(Pcg32, ClockZeroGivesThePublishedFirstOutputs) {
    Pcg32 rng;
    seedFromClock(rng, 0);
    EXPECT_EQ(nextU32(rng), 0u);
    EXPECT_EQ(nextU32(rng), 21u);
    EXPECT_EQ(nextU32(rng), 292002983u);
    EXPECT_EQ(nextU32(rng), 901215879u);
}
