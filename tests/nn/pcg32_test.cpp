#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "nn/pcg32.h"

namespace {

uint32_t floatBits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// A state whose next output is `output`: rotation 0 (top five bits clear),
// and the xorshifted bits 27..58 solved from the top down, since bit k of
// (state >> 18) ^ state only depends on bits k and k + 18.
Pcg32 stateGiving(uint32_t output) {
    uint64_t state = 0;
    for (int k = 58; k >= 27; --k) {
        uint64_t bit = (output >> (k - 27)) & 1u;
        if (k + 18 < 64) bit ^= (state >> (k + 18)) & 1u;
        state |= bit << k;
    }
    return Pcg32{state};
}

Pcg32 advanced(Pcg32 rng, int steps) {
    for (int i = 0; i < steps; ++i) nextU32(rng);
    return rng;
}

// nextNormal's formula for an accepted output.
float normalOf(uint32_t output) {
    const float t = 1.0f / unitFromU32(output) - 1.0f;
    return kNormalScale * static_cast<float>(std::log(static_cast<double>(t)));
}

}  // namespace

TEST(Pcg32, ClockZeroGivesTheKnownFirstOutputs) {
    Pcg32 rng;
    seedFromClock(rng, 0);
    EXPECT_EQ(rng.state, 0u);
    EXPECT_EQ(nextU32(rng), 0u);
    EXPECT_EQ(nextU32(rng), 21u);
    EXPECT_EQ(nextU32(rng), 292002983u);
    EXPECT_EQ(nextU32(rng), 901215879u);
}

TEST(Pcg32, ClockOneGivesTheKnownOutputsAndUnitValues) {
    Pcg32 rng;
    seedFromClock(rng, 1);
    EXPECT_EQ(rng.state, 0x0000000100000001u);
    const Pcg32 start = rng;
    EXPECT_EQ(nextU32(rng), 32u);
    EXPECT_EQ(nextU32(rng), 3032893902u);
    EXPECT_EQ(nextU32(rng), 1855836921u);
    EXPECT_EQ(nextU32(rng), 2425101695u);

    rng = start;
    EXPECT_EQ(nextUnit(rng), 7.4505806e-09f);
    EXPECT_EQ(nextUnit(rng), 0.70615065f);
    EXPECT_EQ(nextUnit(rng), 0.43209571f);
}

TEST(Pcg32, SeedUsesOnlyTheLowThirtyTwoBitsOfTheClock) {
    Pcg32 a, b, c, d;
    seedFromClock(a, 1);
    seedFromClock(b, 1 + (int64_t{0x7F} << 32));
    EXPECT_EQ(a.state, b.state);
    seedFromClock(c, -1);
    seedFromClock(d, 0xFFFFFFFF);
    EXPECT_EQ(c.state, d.state);
    EXPECT_EQ(c.state, 0xFFFFFFFFFFFFFFFFu);
}

TEST(Pcg32, UnitValueEnds) {
    EXPECT_EQ(floatBits(unitFromU32(0)), floatBits(0.0f));
    EXPECT_EQ(unitFromU32(4294967166u), 0.99999994f);
    EXPECT_EQ(unitFromU32(4294967166u), std::nextafter(1.0f, 0.0f));
    EXPECT_EQ(unitFromU32(4294967167u), 1.0f);
    EXPECT_EQ(unitFromU32(4294967295u), 1.0f);
    // The scale is the double nearest 1/4294967295, not 2^-32.
    EXPECT_EQ(kUnitScale, std::ldexp(1.0, -32) + std::ldexp(1.0, -64));

    Pcg32 rng = stateGiving(4294967167u);
    EXPECT_EQ(nextUnit(rng), 1.0f);
}

TEST(Pcg32, NextNormalSkipsOutputsZeroAndAllOnesAtOneStepEach) {
    // Clock 0 starts with output 0; the draw takes the next output, 21.
    Pcg32 rng;
    seedFromClock(rng, 0);
    const Pcg32 start = rng;
    EXPECT_EQ(floatBits(nextNormal(rng)), floatBits(normalOf(21)));
    EXPECT_EQ(rng.state, advanced(start, 2).state);

    rng = stateGiving(4294967295u);
    Pcg32 follower = rng;
    ASSERT_EQ(nextU32(follower), 4294967295u);
    const uint32_t next = nextU32(follower);
    const float value = nextNormal(rng);
    EXPECT_EQ(floatBits(value), floatBits(normalOf(next)));
    EXPECT_EQ(rng.state, follower.state);
}

TEST(Pcg32, NextNormalSkipsEveryOutputWhoseUnitValueIsOne) {
    int rejected = 0;
    for (uint64_t output = 4294967167u; output <= 4294967294u; ++output) {
        ASSERT_EQ(unitFromU32(static_cast<uint32_t>(output)), 1.0f);
        Pcg32 rng = stateGiving(static_cast<uint32_t>(output));
        Pcg32 follower = rng;
        ASSERT_EQ(nextU32(follower), output);
        const uint32_t next = nextU32(follower);
        ASSERT_LT(unitFromU32(next), 1.0f);  // the crafted successors are ordinary
        const float value = nextNormal(rng);
        EXPECT_TRUE(std::isfinite(value)) << output;
        EXPECT_EQ(floatBits(value), floatBits(normalOf(next))) << output;
        EXPECT_EQ(rng.state, follower.state) << output;
        ++rejected;
    }
    EXPECT_EQ(rejected, 128);
}

TEST(Pcg32, NextNormalOfOutputOneIsTheMostNegativeValue) {
    Pcg32 rng = stateGiving(1);
    const Pcg32 start = rng;
    Pcg32 check = rng;
    ASSERT_EQ(nextU32(check), 1u);
    const float value = nextNormal(rng);
    EXPECT_EQ(value, -13.0321445f);
    EXPECT_NEAR(value, -13.032145, 1e-5);
    EXPECT_EQ(rng.state, advanced(start, 1).state);
    EXPECT_LT(value, normalOf(2));
}

TEST(Pcg32, NextIndexIsAPlainRemainderOfOneOutput) {
    Pcg32 rng;
    seedFromClock(rng, 1);
    EXPECT_EQ(nextIndex(rng, 50000), 32u);
    EXPECT_EQ(nextIndex(rng, 50000), 3032893902u % 50000u);
    EXPECT_EQ(nextIndex(rng, 50000), 36921u);
    EXPECT_EQ(nextIndex(rng, 1), 0u);
    Pcg32 top = stateGiving(4294967295u);
    EXPECT_EQ(nextIndex(top, 50000), 4294967295u % 50000u);
}
