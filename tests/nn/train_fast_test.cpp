#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "nn/forward.h"
#include "support/alloc_counter.h"
#include "nn/network.h"
#include "nn/pcg32.h"
#include "nn/train_fast.h"
#include "nn/train_fast_kernels.h"
#include "nn/training.h"
#include "tools/wavgen.h"
#include "wave/training_set.h"
#include "wave/wave_table.h"


namespace {

// A network, its training pairs from the example saw wave and the generator
// after drawing both, all from one seed: two of these start identical.
struct TrainingRun {
    WaveTable table;
    TrainingSet set;
    Network net;
    Pcg32 rng;

    TrainingRun(const char* sizeLine, int64_t seed) {
        const std::vector<int16_t> saw = wavgen::exampleShape("saw");
        auto* samples = static_cast<int16_t*>(std::malloc(saw.size() * sizeof(int16_t)));
        std::memcpy(samples, saw.data(), saw.size() * sizeof(int16_t));
        replaceWaveSamples(table, samples, saw.size());
        seedFromClock(rng, seed);
        drawTrainingSet(set, table, rng);
        buildNetwork(net, parseModelSize(sizeLine));
        initializeNetwork(net, rng);
    }
    ~TrainingRun() {
        releaseNetwork(net);
        releaseTrainingSet(set);
        releaseWaveTable(table);
    }
    TrainingRun(const TrainingRun&) = delete;
    TrainingRun& operator=(const TrainingRun&) = delete;
};

std::vector<uint32_t> parameterBits(const Network& net) {
    std::vector<uint32_t> bits(parameterCount(net));
    if (!bits.empty()) std::memcpy(bits.data(), net.params, bits.size() * sizeof(float));
    return bits;
}

std::vector<float> copyOf(const float* values, int count) { return std::vector<float>(values, values + count); }

// Index and values of the first parameter that differs, for a readable failure.
std::string firstDifference(const Network& a, const Network& b) {
    const std::vector<uint32_t> x = parameterBits(a);
    const std::vector<uint32_t> y = parameterBits(b);
    if (x.size() != y.size()) return "parameter counts differ";
    for (size_t i = 0; i < x.size(); ++i) {
        if (x[i] != y[i]) {
            return "parameter " + std::to_string(i) + ": " + std::to_string(a.params[i]) + " vs " +
                   std::to_string(b.params[i]);
        }
    }
    return "none";
}

// One epoch as trainEpochs runs it, without the progress line.
float runEpoch(TrainingRun& s, bool fast, KernelVariant variant) {
    float error = 0.0f;
    if (fast) {
        trainEpochBatchesFast(s.net, s.set, variant);
        error = measureErrorFast(s.net, s.table, s.rng, variant);
    } else {
        trainEpochBatches(s.net, s.set, TrainKernel::Reference);
        error = measureError(s.net, s.table, s.rng);
    }
    shuffleTrainingSet(s.set, s.rng);
    return error;
}

const char* const kShapes[] = {"4",     "8x8x8",  "8x0x8",  "17x33",          "1x2x3x4x5x6x7x8", "4x32x10x8",
                               "5x0",   "2x0",    "16",     "64x64",          "3x70x2",          "33x1x40",
                               "8x8x8x8x8x8x8x8", "1", "8", "5x7", "8x1x8", "7x3x8x2x6", "9x8",
                               "8x16x8", "3x12x16x5", "4x17x8", "20x11x27"};

// Shapes of up to 8 neurons per hidden layer, and of middle hidden layers
// of up to 16 between such narrow ones, which AVX-512 trains in one fused
// call per epoch, and their neighbours that it must leave alone.
const char* const kSmallShapes[] = {"4",     "8",          "1",        "5x7",     "8x8x8",  "8x1x8",
                                    "1x2x3x4x5x6x7x8",    "8x8x8x8x8x8x8x8",   "9x8",     "8x0x8",
                                    "8x16x8", "4x9x8",     "3x16x16x5", "1x11x1", "2x13x10x16x7",
                                    "8x16x16x16x16x16x16x8", "4x17x8", "9x16x8",  "8x16x9",  "4x16x0x8"};

class FastKernel : public testing::TestWithParam<KernelVariant> {
protected:
    void SetUp() override {
        if (!kernelVariantAvailable(GetParam())) GTEST_SKIP() << "this processor can't run the variant";
    }
};

TEST_P(FastKernel, OneMiniBatchGivesTheReferenceParametersBitForBit) {
    for (const char* shape : kShapes) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 7);
        TrainingRun fast(shape, 7);
        ASSERT_TRUE(fastKernelReady(fast.net));  // else the comparison would be with the reference itself
        trainBatch(reference.net, reference.set.inputs, reference.set.targets);
        trainBatchFast(fast.net, fast.set.inputs, fast.set.targets, GetParam());
        EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net)) << firstDifference(fast.net, reference.net);
    }
}

TEST_P(FastKernel, MiniBatchesLaterInTheSetMatchTheReference) {
    for (const char* shape : {"8x8x8", "17x33", "4x32x10x8"}) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 11);
        TrainingRun fast(shape, 11);
        for (int b = 0; b < 20; ++b) {
            const int first = b * 97 * kBatchSize % (kTrainingPoints - kBatchSize);
            trainBatch(reference.net, reference.set.inputs + first, reference.set.targets + first);
            trainBatchFast(fast.net, fast.set.inputs + first, fast.set.targets + first, GetParam());
        }
        EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net)) << firstDifference(fast.net, reference.net);
    }
}

TEST_P(FastKernel, SmallNetworksMatchTheReferenceOverManyMiniBatches) {
    for (const char* shape : kSmallShapes) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 13);
        TrainingRun fast(shape, 13);
        for (int b = 0; b < 40; ++b) {
            const int first = b * 61 * kBatchSize % (kTrainingPoints - kBatchSize);
            trainBatch(reference.net, reference.set.inputs + first, reference.set.targets + first);
            trainBatchFast(fast.net, fast.set.inputs + first, fast.set.targets + first, GetParam());
        }
        EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net)) << firstDifference(fast.net, reference.net);
    }
}

TEST_P(FastKernel, SmallNetworksMatchTheReferenceOverWholeEpochs) {
    for (const char* shape : kSmallShapes) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 4321);
        TrainingRun fast(shape, 4321);
        for (int epoch = 0; epoch < 3; ++epoch) {
            const float referenceError = runEpoch(reference, false, GetParam());
            const float fastError = runEpoch(fast, true, GetParam());
            EXPECT_EQ(fastError, referenceError) << "epoch " << epoch;
        }
        EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net)) << firstDifference(fast.net, reference.net);
    }
}

TEST_P(FastKernel, EpochsGiveTheReferenceErrorsParametersOrderAndGeneratorState) {
    for (const char* shape : {"4", "8x8x8", "8x0x8", "17x33", "1x2x3x4x5x6x7x8", "4x32x10x8"}) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 1234);
        TrainingRun fast(shape, 1234);
        for (int epoch = 0; epoch < 3; ++epoch) {
            const float referenceError = runEpoch(reference, false, GetParam());
            const float fastError = runEpoch(fast, true, GetParam());
            EXPECT_EQ(fastError, referenceError) << "epoch " << epoch;
        }
        EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net)) << firstDifference(fast.net, reference.net);
        EXPECT_EQ(fast.rng.state, reference.rng.state);
        EXPECT_EQ(copyOf(fast.set.inputs, kTrainingPoints), copyOf(reference.set.inputs, kTrainingPoints));
        EXPECT_EQ(copyOf(fast.set.targets, kTrainingPoints), copyOf(reference.set.targets, kTrainingPoints));
    }
}

// The errors a burst reports, in order.
void recordError(void* context, float error) { static_cast<std::vector<float>*>(context)->push_back(error); }

TEST_P(FastKernel, BurstsGiveTheReferenceErrorsParametersOrderAndGeneratorState) {
    for (const char* shape : {"4", "8x8x8", "8x16x8", "4x32x10x8", "17x33", "8x0x8"}) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 777);
        TrainingRun fast(shape, 777);
        std::vector<float> referenceErrors;
        for (int epoch = 0; epoch < 5; ++epoch) referenceErrors.push_back(runEpoch(reference, false, GetParam()));
        std::vector<float> fastErrors;
        const float last3 = trainEpochsFast(fast.net, fast.set, fast.table, fast.rng, 3, GetParam(), recordError,
                                            &fastErrors);
        const float last2 = trainEpochsFast(fast.net, fast.set, fast.table, fast.rng, 2, GetParam(), recordError,
                                            &fastErrors);
        EXPECT_EQ(fastErrors, referenceErrors);
        EXPECT_EQ(last3, referenceErrors[2]);
        EXPECT_EQ(last2, referenceErrors[4]);
        EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net)) << firstDifference(fast.net, reference.net);
        EXPECT_EQ(fast.rng.state, reference.rng.state);
        EXPECT_EQ(copyOf(fast.set.inputs, kTrainingPoints), copyOf(reference.set.inputs, kTrainingPoints));
        EXPECT_EQ(copyOf(fast.set.targets, kTrainingPoints), copyOf(reference.set.targets, kTrainingPoints));
    }
}

TEST_P(FastKernel, ABurstOfNoEpochsChangesNothing) {
    TrainingRun reference("8x8x8", 5);
    TrainingRun fast("8x8x8", 5);
    EXPECT_EQ(trainEpochsFast(fast.net, fast.set, fast.table, fast.rng, 0, GetParam(), nullptr, nullptr), 0.0f);
    EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net));
    EXPECT_EQ(fast.rng.state, reference.rng.state);
    EXPECT_EQ(copyOf(fast.set.inputs, kTrainingPoints), copyOf(reference.set.inputs, kTrainingPoints));
}

// Scales every parameter of both runs, then trains the first mini-batches of
// the set with the reference loop and with the variant.
void scaleAndTrainBoth(TrainingRun& reference, TrainingRun& fast, float factor, int batches,
                       KernelVariant variant) {
    for (uint32_t i = 0; i < parameterCount(reference.net); ++i) {
        reference.net.params[i] *= factor;
        fast.net.params[i] *= factor;
    }
    for (int b = 0; b < batches; ++b) {
        const int first = b * kBatchSize;
        trainBatch(reference.net, reference.set.inputs + first, reference.set.targets + first);
        trainBatchFast(fast.net, fast.set.inputs + first, fast.set.targets + first, variant);
    }
}

TEST_P(FastKernel, SaturatedSigmoidAndDeadReluNeuronsMatchTheReference) {
    // Weights blown up 300-fold drive the output sigmoid far beyond both ends
    // (exactly 0 and 1) and most ReLU neurons below 0 for whole mini-batches.
    // Layers narrower than a vector check that infinities and NaNs stay out
    // of the unused lanes.
    for (const char* shape : {"8x8x8", "5x3", "3x7x2x8"}) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 99);
        TrainingRun fast(shape, 99);
        scaleAndTrainBoth(reference, fast, 300.0f, 10, GetParam());
        EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net)) << firstDifference(fast.net, reference.net);
    }
}

TEST_P(FastKernel, OverflowingNetworksGiveTheReferenceInfinitiesAndNaNs) {
    // Weights near the top of the float range overflow the sums to
    // infinities, and dead ReLU neurons then multiply them by 0: NaNs. The
    // fast kernels must produce each of those values where the reference does
    // (a NaN's sign and payload depend on operand order and mean nothing).
    for (const char* shape : {"17x33", "4x32x10x8", "8x8x8"}) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 31);
        TrainingRun fast(shape, 31);
        scaleAndTrainBoth(reference, fast, 1e36f, 3, GetParam());
        const auto canonical = [](std::vector<uint32_t> bits) {
            for (uint32_t& b : bits) {
                if ((b & 0x7f800000u) == 0x7f800000u && (b & 0x007fffffu) != 0) b = 0x7fc00000u;
            }
            return bits;
        };
        const std::vector<uint32_t> fastBits = canonical(parameterBits(fast.net));
        EXPECT_EQ(fastBits, canonical(parameterBits(reference.net)));
        EXPECT_NE(std::count(fastBits.begin(), fastBits.end(), 0x7fc00000u), 0);  // the case is reached
    }
}

TEST_P(FastKernel, AllZeroNetworkMovesOnlyTheOutputBias) {
    TrainingRun fast("8x8x8", 5);
    std::memset(fast.net.params, 0, parameterCount(fast.net) * sizeof(float));
    trainBatchFast(fast.net, fast.set.inputs, fast.set.targets, GetParam());
    float deltaSum = 0.0f;
    for (int s = 0; s < kBatchSize; ++s) deltaSum += 0.25f * (0.5f - fast.set.targets[s]);
    const uint32_t outputBias = fast.net.layers[4].biasOffset;
    for (uint32_t i = 0; i < parameterCount(fast.net); ++i) {
        if (i == outputBias) {
            EXPECT_EQ(fast.net.params[i], -(deltaSum * 0.09375f));
        } else {
            EXPECT_EQ(fast.net.params[i], 0.0f) << "parameter " << i;
        }
    }
}

TEST_P(FastKernel, RebuiltNetworkOfAnotherSizeStillMatchesTheReference) {
    TrainingRun reference("64x64", 3);
    TrainingRun fast("64x64", 3);
    for (const char* shape : {"4", "40x3x17", "8x8x8"}) {
        SCOPED_TRACE(shape);
        for (TrainingRun* s : {&reference, &fast}) {
            buildNetwork(s->net, parseModelSize(shape));
            initializeNetwork(s->net, s->rng);
        }
        trainBatch(reference.net, reference.set.inputs, reference.set.targets);
        trainBatchFast(fast.net, fast.set.inputs, fast.set.targets, GetParam());
        EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net)) << firstDifference(fast.net, reference.net);
    }
}

TEST_P(FastKernel, ErrorMeasurementEqualsTheReferenceAndDrawsTheSame) {
    for (const char* shape : {"4", "8x8x8", "8x0x8", "17x33"}) {
        SCOPED_TRACE(shape);
        TrainingRun reference(shape, 77);
        TrainingRun fast(shape, 77);
        EXPECT_EQ(measureErrorFast(fast.net, fast.table, fast.rng, GetParam()),
                  measureError(reference.net, reference.table, reference.rng));
        EXPECT_EQ(fast.rng.state, reference.rng.state);
    }
}

TEST_P(FastKernel, VectorSigmoidEqualsTheReferenceOnSampledAndSpecialFloats) {
    std::vector<float> z = {0.0f, -0.0f, 1.0f, -1.0f, 16.6355f, 88.7f, -88.7f, 88.73f, -88.73f, 87.0f, -87.0f,
                            87.00001f, -87.00001f, 103.97f, -103.97f, 1e-30f, -1e-30f, 1e30f, -1e30f,
                            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min()};
    for (uint64_t bits = 0; bits < (uint64_t{1} << 32); bits += 4099) {
        const uint32_t pattern = static_cast<uint32_t>(bits);
        float value;
        std::memcpy(&value, &pattern, sizeof value);
        z.push_back(value);
    }
    std::vector<float> out(z.size());
    sigmoidWithKernel(GetParam(), z.data(), out.data(), z.size());
    uint64_t mismatches = 0;
    for (size_t i = 0; i < z.size(); ++i) {
        const float expected = sigmoid(z[i]);
        if (std::memcmp(&expected, &out[i], sizeof expected) != 0 && ++mismatches <= 5) {
            ADD_FAILURE() << "sigmoid(" << z[i] << "): " << out[i] << " instead of " << expected;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST_P(FastKernel, AnEpochAllocatesNothing) {
    for (const char* shape : {"4x32x10x8", "8x8x8"}) {
        SCOPED_TRACE(shape);
        TrainingRun fast(shape, 8);
        startCountingAllocations();
        trainEpochBatchesFast(fast.net, fast.set, GetParam());
        trainEpochsFast(fast.net, fast.set, fast.table, fast.rng, 2, GetParam(), nullptr, nullptr);
        EXPECT_EQ(stopCountingAllocations(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, FastKernel,
                         testing::Values(KernelVariant::Portable, KernelVariant::Avx2, KernelVariant::Avx512),
                         [](const testing::TestParamInfo<KernelVariant>& info) {
                             return std::string(kernelVariantName(info.param));
                         });

#if defined(__x86_64__) || defined(_M_X64)
// The shuffle's positions come from eight generators advanced together and a
// remainder taken in double precision; small divisors put many draws right on
// a multiple, where a quotient off by one would show.
TEST(FastShuffle, VectorDrawsEqualTheGeneratorsRemainders) {
    if (!kernelVariantAvailable(KernelVariant::Avx512)) GTEST_SKIP() << "this processor can't run the variant";
    for (const uint32_t n : {1u, 2u, 3u, 7u, 1000u, 50000u, 65536u, 2147483648u, 4294967291u, 4294967295u}) {
        SCOPED_TRACE(n);
        Pcg32 scalar{0x853c49e6748fea9bULL + n};
        uint64_t state = scalar.state;
        std::vector<uint32_t> drawn(4096);
        pcgIndicesAvx512(&state, kPcgMultiplier, kPcgIncrement, n, drawn.data(), 4096);
        std::vector<uint32_t> expected(drawn.size());
        for (uint32_t& e : expected) e = nextIndex(scalar, n);
        EXPECT_EQ(drawn, expected);
        EXPECT_EQ(state, scalar.state);
    }
}

// The exchanges draw each block's positions while making the block before's:
// every exchange must still use its own draw, and the ones past the last
// whole block are left to the caller.
TEST(FastShuffle, ExchangesAlongsideTheDrawsEqualTheSerialShuffle) {
    if (!kernelVariantAvailable(KernelVariant::Avx512)) GTEST_SKIP() << "this processor can't run the variant";
    for (const uint32_t n : {1u, 8u, 9u, 16u, 61u, 1000u}) {
        SCOPED_TRACE(n);
        std::vector<float> pairs(2 * n);
        for (uint32_t i = 0; i < 2 * n; ++i) pairs[i] = static_cast<float>(i);
        std::vector<float> expected = pairs;
        Pcg32 scalar{0x9e3779b97f4a7c15ULL + n};
        uint64_t state = scalar.state;
        const uint32_t made = shufflePairsAvx512(pairs.data(), &state, kPcgMultiplier, kPcgIncrement, n);
        EXPECT_EQ(made, n / 8 * 8);
        for (uint32_t k = 0; k < made; ++k) {
            const uint32_t r = nextIndex(scalar, n);
            std::swap(expected[2 * k], expected[2 * r]);
            std::swap(expected[2 * k + 1], expected[2 * r + 1]);
        }
        EXPECT_EQ(pairs, expected);
        EXPECT_EQ(state, scalar.state);
    }
}
#endif

TEST(FastKernelChoice, PortableIsAlwaysAvailableAndTheBestIsAvailable) {
    EXPECT_TRUE(kernelVariantAvailable(KernelVariant::Portable));
    EXPECT_TRUE(kernelVariantAvailable(bestKernelVariant()));
}

TEST(FastKernelChoice, TrainEpochsPrintsTheSameLinesWithEitherKernel) {
    TrainingRun reference("8x8x8", 21);
    TrainingRun fast("8x8x8", 21);
    int32_t referenceEpochs = 0;
    int32_t fastEpochs = 0;
    testing::internal::CaptureStdout();
    const float referenceError = trainEpochs(reference.net, reference.set, reference.table, reference.rng, 2,
                                             referenceEpochs, TrainKernel::Reference);
    const std::string referenceLines = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    const float fastError = trainEpochs(fast.net, fast.set, fast.table, fast.rng, 2, fastEpochs);
    const std::string fastLines = testing::internal::GetCapturedStdout();
    EXPECT_EQ(fastLines, referenceLines);
    EXPECT_EQ(fastError, referenceError);
    EXPECT_EQ(fastEpochs, 2);
    EXPECT_EQ(parameterBits(fast.net), parameterBits(reference.net));
}

TEST(FastKernelChoice, ScratchGrowsWithTheNetworkAndNeverShrinks) {
    Network net;
    buildNetwork(net, parseModelSize("64x64"));
    const uint64_t large = net.fastScratch.capacity;
    EXPECT_GE(net.fastScratch.size, fastScratchFloats(net));
    buildNetwork(net, parseModelSize("4"));
    EXPECT_EQ(net.fastScratch.capacity, large);
    EXPECT_GE(net.fastScratch.size, fastScratchFloats(net));
    releaseNetwork(net);
}

}  // namespace
