// The model file is the contract with the plug-in, and users train on
// Windows: a run with a given seed and input must write the same bytes there
// as on Linux. This test trains a fixed run and compares a digest of the
// file's bytes with the one the Linux build produces; the same test runs in
// the Windows cross build under Wine.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nn/model_file.h"
#include "nn/network.h"
#include "nn/pcg32.h"
#include "nn/training.h"
#include "wave/training_set.h"
#include "wave/wave_table.h"

namespace {

uint64_t fnv1a64(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 14695981039346656037ULL;
    for (uint8_t b : bytes) {
        hash ^= b;
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Input made with integer arithmetic only, so both platforms train on the
// very same samples whatever their maths library does.
enum class Shape { Saw, SteppedTriangle };

void loadShape(WaveTable& table, Shape shape) {
    constexpr int kFrames = 600;
    int16_t* samples = static_cast<int16_t*>(std::malloc(kFrames * sizeof(int16_t)));
    ASSERT_NE(samples, nullptr);
    for (int i = 0; i < kFrames; ++i) {
        int value = 0;
        if (shape == Shape::Saw) {
            value = 32767 - (65535 * i) / (kFrames - 1);
        } else {
            const int rising = i < kFrames / 2 ? i : kFrames - i;
            value = -30000 + (60000 * rising) / (kFrames / 2) + ((i / 40) % 2) * 1500;
            if (value > 32767) value = 32767;
        }
        samples[i] = static_cast<int16_t>(value);
    }
    replaceWaveSamples(table, samples, kFrames);
}

// The bytes a run writes after: seed, waveform, size line, `epochs` bursts of 1.
std::vector<uint8_t> trainedModelBytes(int64_t clock, Shape shape, const char* sizeLine,
                                       int epochs, TrainKernel kernel, float& lastError) {
    WaveTable table;
    loadShape(table, shape);
    Pcg32 rng;
    seedFromClock(rng, clock);
    TrainingSet set;
    EXPECT_TRUE(drawTrainingSet(set, table, rng));
    Network net;
    EXPECT_TRUE(buildNetwork(net, parseModelSize(sizeLine)));
    initializeNetwork(net, rng);
    int32_t epochsTrained = 0;
    for (int e = 0; e < epochs; ++e) lastError = trainEpochs(net, set, table, rng, 1, epochsTrained, kernel);
    std::vector<uint8_t> bytes = modelFileBytes(net);
    releaseNetwork(net);
    releaseTrainingSet(set);
    releaseWaveTable(table);
    return bytes;
}

}  // namespace

// Digests of the Linux (x86-64, glibc) build; a mismatch on another platform
// means its model files differ from Linux's for the same run. A deliberate
// change to initialization or training changes them too: take the new values
// from this test's output on Linux.
constexpr uint64_t kDefaultModelDigest = 0xb475d7fe4facef65ULL;
constexpr uint64_t kDeepModelDigest = 0xd2cd21e349e2dd5dULL;

TEST(ModelBytesAcrossPlatforms, SeededDefaultModelAfterTwoEpochs) {
    float lastError = 0.0f;
    const std::vector<uint8_t> bytes =
        trainedModelBytes(1700000000, Shape::Saw, "\n", 2, TrainKernel::Reference, lastError);
    // 1, 8, 8, 8, 1: L = 5, P = 169.
    ASSERT_EQ(bytes.size(), 705u);
    std::printf("default model digest %016llx, error %.6f%%\n",
                static_cast<unsigned long long>(fnv1a64(bytes)), static_cast<double>(lastError));
    EXPECT_EQ(fnv1a64(bytes), kDefaultModelDigest);
}

TEST(ModelBytesAcrossPlatforms, SeededDeepModelAfterTwoEpochs) {
    float lastError = 0.0f;
    const std::vector<uint8_t> bytes =
        trainedModelBytes(1234567, Shape::SteppedTriangle, "4x32x10x8\n", 2, TrainKernel::Reference, lastError);
    // 1, 4, 32, 10, 8, 1: L = 6, B = 55, W = 540, P = 595.
    ASSERT_EQ(bytes.size(), 4u + 5u * 6u + 4u * 595u);
    std::printf("deep model digest %016llx, error %.6f%%\n",
                static_cast<unsigned long long>(fnv1a64(bytes)), static_cast<double>(lastError));
    EXPECT_EQ(fnv1a64(bytes), kDeepModelDigest);
}

// The kernel the trainer uses is bit-identical to the reference loop, so its
// files match Linux's too, whichever instruction set the processor offers.
TEST(ModelBytesAcrossPlatforms, SeededDefaultModelAfterTwoEpochsWithTheFastKernel) {
    float lastError = 0.0f;
    const std::vector<uint8_t> bytes =
        trainedModelBytes(1700000000, Shape::Saw, "\n", 2, TrainKernel::Fast, lastError);
    ASSERT_EQ(bytes.size(), 705u);
    EXPECT_EQ(fnv1a64(bytes), kDefaultModelDigest);
}
