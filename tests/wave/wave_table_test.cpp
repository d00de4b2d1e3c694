#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "wave/wave_table.h"

namespace {

// Owns a table holding exactly the given samples (a heap block of that size,
// so a read past the end shows up under AddressSanitizer).
struct OwnedTable {
    WaveTable table;
    explicit OwnedTable(const std::vector<int16_t>& samples) {
        auto* copy = static_cast<int16_t*>(std::malloc(samples.size() * sizeof(int16_t)));
        std::memcpy(copy, samples.data(), samples.size() * sizeof(int16_t));
        replaceWaveSamples(table, copy, samples.size());
    }
    ~OwnedTable() { releaseWaveTable(table); }
};

TEST(AmplitudeScale, MapsTheSixteenBitRangeOntoZeroToOne) {
    EXPECT_EQ(amplitudeOfSample(-32768), 0.0f);
    EXPECT_EQ(amplitudeOfSample(0), 0.5f);
    EXPECT_EQ(amplitudeOfSample(16384), 0.75f);
    EXPECT_EQ(amplitudeOfSample(32767), 1.0f - 1.0f / 65536.0f);
}

TEST(SampleWaveTable, WholePositionsReadTheirSampleExactly) {
    std::vector<int16_t> samples(78);
    for (int i = 0; i < 78; ++i) samples[i] = static_cast<int16_t>(i * 811 - 31000);
    OwnedTable t(samples);
    for (int i = 0; i < 78; ++i) EXPECT_EQ(sampleWaveTable(t.table, static_cast<float>(i)), amplitudeOfSample(samples[i])) << i;
    // Phase 0.5 of a 78-sample cycle is sample 39 itself.
    EXPECT_EQ(sampleWaveTable(t.table, 0.5f * 78.0f), amplitudeOfSample(samples[39]));
}

TEST(SampleWaveTable, InterpolatesLinearlyBetweenNeighbours) {
    OwnedTable t({-32768, 0, 16384, 32767});
    EXPECT_EQ(sampleWaveTable(t.table, 0.5f), 0.25f);
    EXPECT_EQ(sampleWaveTable(t.table, 1.25f), 0.5625f);
    EXPECT_EQ(sampleWaveTable(t.table, 1.75f), 0.6875f);
}

TEST(SampleWaveTable, RoundsTheProductBeforeTheSum) {
    // At these positions a fused multiply-add gives the neighbouring float;
    // targets, plots and errors depend on the separately rounded value.
    OwnedTable t({-32768, 12345, -2222, 31000, 7});
    EXPECT_EQ(sampleWaveTable(t.table, 0x1.05779ep+0f), 0x1.5e03ccp-1f);
    EXPECT_EQ(sampleWaveTable(t.table, 0x1.058036p+0f), 0x1.5dfffcp-1f);
    EXPECT_EQ(sampleWaveTable(t.table, 0x1.0657p+0f), 0x1.5da08p-1f);
}

TEST(SampleWaveTable, WrapsFromTheLastSampleToTheFirst) {
    OwnedTable t({-32768, 5000, -7000, 0});
    EXPECT_EQ(sampleWaveTable(t.table, 3.5f), 0.25f);
    EXPECT_EQ(sampleWaveTable(t.table, 3.75f), 0.125f);
}

TEST(SampleWaveTable, TheEndOfTheCycleReadsJustBeforeSampleZero) {
    std::vector<int16_t> samples(78, 1234);
    samples[0] = -32768;  // amplitude 0
    samples[77] = 0;      // amplitude 0.5
    OwnedTable t(samples);
    const float atEnd = sampleWaveTable(t.table, 78.0f);
    EXPECT_EQ(atEnd, sampleWaveTable(t.table, 78.0f + -0.01f));
    EXPECT_GT(atEnd, 0.0f);
    EXPECT_LT(atEnd, 0.01f);
    // Positions past the end (and no number at all) are read the same way.
    EXPECT_EQ(sampleWaveTable(t.table, 1000.0f), atEnd);
    EXPECT_EQ(sampleWaveTable(t.table, std::numeric_limits<float>::infinity()), atEnd);
    EXPECT_EQ(sampleWaveTable(t.table, std::nanf("")), atEnd);
}

TEST(SampleWaveTable, AOneSampleTableIsThatSampleEverywhere) {
    OwnedTable t({-12345});
    const float expected = amplitudeOfSample(-12345);
    for (float x : {0.0f, 0.25f, 0.5f, 0.99f, 1.0f}) EXPECT_EQ(sampleWaveTable(t.table, x), expected) << x;
}

TEST(SampleWaveTable, LongTablesNeverReadPastTheLastSample) {
    // Beyond 2^18 samples n - 0.01 rounds back to n; the end still reads the last sample.
    const size_t count = 300000;
    std::vector<int16_t> samples(count, 0);
    samples.front() = -20000;
    samples.back() = 12345;
    OwnedTable t(samples);
    const float n = static_cast<float>(count);
    ASSERT_EQ(n + -0.01f, n);
    EXPECT_EQ(sampleWaveTable(t.table, n), amplitudeOfSample(12345));
    EXPECT_EQ(sampleWaveTable(t.table, n - 1.0f), amplitudeOfSample(12345));
    EXPECT_EQ(sampleWaveTable(t.table, n - 0.5f), (amplitudeOfSample(-20000) + amplitudeOfSample(12345)) * 0.5f);
}

TEST(SampleWaveTable, FractionMatchesTheLibraryRemainderAtEveryScale) {
    // Positions from the tiniest float up to the end of a long table, each
    // against the interpolation written with the C library's remainder.
    const size_t count = 70000;
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i) samples[i] = static_cast<int16_t>((i * 7919) % 65536 - 32768);
    OwnedTable t(samples);
    const float n = static_cast<float>(count);
    uint64_t checked = 0;
    for (uint32_t bits = 1; bits < 0x47800000u; bits += 4093) {
        float x = 0.0f;
        std::memcpy(&x, &bits, sizeof x);
        if (!(x < n)) break;
        const uint64_t k0 = static_cast<uint64_t>(x);
        const float a = amplitudeOfSample(samples[k0]);
        const float b = amplitudeOfSample(samples[(k0 + 1) % count]);
        const float expected = (b - a) * std::fmod(x, 1.0f) + a;
        ASSERT_EQ(sampleWaveTable(t.table, x), expected) << x;
        ++checked;
    }
    EXPECT_GT(checked, 200000u);
}

}  // namespace
