#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "wave/training_set.h"

namespace {

struct TrainingSetDraw : ::testing::Test {
    WaveTable table;
    TrainingSet set;
    Pcg32 rng;

    void SetUp() override {
        useSamples(std::vector<int16_t>{-32768, -20000, 0, 1000, 32767, 5, -5});
        seedFromClock(rng, 1700000000);
    }
    void TearDown() override {
        releaseTrainingSet(set);
        releaseWaveTable(table);
    }
    void useSamples(const std::vector<int16_t>& samples) {
        auto* copy = static_cast<int16_t*>(std::malloc(samples.size() * sizeof(int16_t)));
        std::memcpy(copy, samples.data(), samples.size() * sizeof(int16_t));
        replaceWaveSamples(table, copy, samples.size());
    }
};

TEST_F(TrainingSetDraw, AdvancesTheGeneratorExactlyOncePerPair) {
    Pcg32 expected = rng;
    for (int i = 0; i < kTrainingPoints; ++i) nextU32(expected);
    ASSERT_TRUE(drawTrainingSet(set, table, rng));
    EXPECT_EQ(rng.state, expected.state);
}

TEST_F(TrainingSetDraw, InputsAreTheGeneratorsUnitValuesInOrder) {
    Pcg32 replay = rng;
    ASSERT_TRUE(drawTrainingSet(set, table, rng));
    int mismatches = 0;
    for (int i = 0; i < kTrainingPoints; ++i) {
        const float expected = nextUnit(replay);
        if (set.inputs[i] != expected && mismatches++ < 3) ADD_FAILURE() << "input " << i;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(TrainingSetDraw, TargetsAreTheWaveformAtEachPhase) {
    ASSERT_TRUE(drawTrainingSet(set, table, rng));
    const float n = static_cast<float>(table.sampleCount);
    int mismatches = 0;
    for (int i = 0; i < kTrainingPoints; ++i) {
        const float target = set.targets[i];
        const bool ok = target == sampleWaveTable(table, set.inputs[i] * n) && target >= 0.0f && target < 1.0f &&
                        set.inputs[i] >= 0.0f && set.inputs[i] <= 1.0f;
        if (!ok && mismatches++ < 3) ADD_FAILURE() << "pair " << i;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(TrainingSetDraw, PhaseZeroReadsSampleZero) {
    // Clock 0 makes 0 the generator's first output.
    seedFromClock(rng, 0);
    ASSERT_TRUE(drawTrainingSet(set, table, rng));
    EXPECT_EQ(set.inputs[0], 0.0f);
    EXPECT_EQ(set.targets[0], 0.0f);  // sample -32768
}

TEST_F(TrainingSetDraw, AOneSampleWaveformGivesOneTarget) {
    useSamples({16384});
    ASSERT_TRUE(drawTrainingSet(set, table, rng));
    int others = 0;
    for (int i = 0; i < kTrainingPoints; ++i) others += set.targets[i] != 0.75f;
    EXPECT_EQ(others, 0);
}

TEST_F(TrainingSetDraw, SameStateAndWaveformGiveTheSamePairs) {
    Pcg32 again = rng;
    ASSERT_TRUE(drawTrainingSet(set, table, rng));
    const std::vector<float> inputs(set.inputs, set.inputs + kTrainingPoints);
    const std::vector<float> targets(set.targets, set.targets + kTrainingPoints);
    // A second draw replaces the arrays and continues the sequence.
    ASSERT_TRUE(drawTrainingSet(set, table, rng));
    EXPECT_NE(std::vector<float>(set.inputs, set.inputs + kTrainingPoints), inputs);
    ASSERT_TRUE(drawTrainingSet(set, table, again));
    EXPECT_EQ(std::vector<float>(set.inputs, set.inputs + kTrainingPoints), inputs);
    EXPECT_EQ(std::vector<float>(set.targets, set.targets + kTrainingPoints), targets);
}

}  // namespace
