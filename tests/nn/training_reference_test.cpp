#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "nn/forward.h"
#include "nn/training.h"
#include "tools/wavgen.h"

namespace {

uint32_t floatBits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

std::vector<uint32_t> paramBits(const Network& net) {
    std::vector<uint32_t> bits(parameterCount(net));
    for (uint32_t p = 0; p < bits.size(); ++p) bits[p] = floatBits(net.params[p]);
    return bits;
}

Pcg32 advanced(Pcg32 rng, int steps) {
    for (int i = 0; i < steps; ++i) nextU32(rng);
    return rng;
}

// Owns a table, a training set drawn from it and an initialized network, all
// from one clock value, and releases them.
struct Fixture {
    WaveTable table;
    TrainingSet set;
    Network net;
    Pcg32 rng;

    explicit Fixture(const std::vector<int16_t>& samples, const char* sizeLine = "", int64_t clock = 2024) {
        auto* copy = static_cast<int16_t*>(std::malloc(samples.size() * sizeof(int16_t)));
        std::memcpy(copy, samples.data(), samples.size() * sizeof(int16_t));
        replaceWaveSamples(table, copy, samples.size());
        seedFromClock(rng, clock);
        drawTrainingSet(set, table, rng);
        buildNetwork(net, parseModelSize(sizeLine));
        initializeNetwork(net, rng);
    }
    ~Fixture() {
        releaseNetwork(net);
        releaseTrainingSet(set);
        releaseWaveTable(table);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;
};

std::vector<int16_t> sine() { return wavgen::exampleShape("sine"); }

std::string progressLine(int epoch, int end, float error) {
    char line[96];
    std::snprintf(line, sizeof line, "Epoch %d / %d:  Total Error: %.2f%%\n", epoch, end, static_cast<double>(error));
    return line;
}

// Half the squared error summed over a mini-batch, in double precision,
// straight from the parameter layout. Also reports the smallest
// |z| of any hidden neuron, to keep finite differences off the ReLU kink.
double batchLoss(const Network& net, const std::vector<double>& params, const float* inputs, const float* targets,
                 double* smallestHiddenSum = nullptr) {
    double loss = 0.0;
    for (int s = 0; s < kBatchSize; ++s) {
        std::vector<double> below = {inputs[s]};
        for (uint64_t l = 1; l < net.layers.size; ++l) {
            const LayerInfo& layer = net.layers[l];
            std::vector<double> values(layerSize(net, l));
            for (uint32_t j = 0; j < values.size(); ++j) {
                double z = params[layer.biasOffset + j];
                for (uint32_t i = 0; i < below.size(); ++i) z += params[layer.weightOffset + j * below.size() + i] * below[i];
                if (layer.activation == Sigmoid) {
                    values[j] = 1.0 / (1.0 + std::exp(-z));
                } else {
                    values[j] = std::max(z, 0.0);
                    if (smallestHiddenSum != nullptr) *smallestHiddenSum = std::min(*smallestHiddenSum, std::fabs(z));
                }
            }
            below = values;
        }
        loss += 0.5 * (below[0] - targets[s]) * (below[0] - targets[s]);
    }
    return loss;
}

}  // namespace

// ---- One mini-batch ----

TEST(TrainBatch, AllZeroNetworkMovesOnlyTheOutputBias) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, defaultModelShape()));
    std::memset(net.params, 0, 169 * sizeof(float));
    float inputs[kBatchSize], targets[kBatchSize];
    double deltaSum = 0.0;
    for (int s = 0; s < kBatchSize; ++s) {
        inputs[s] = static_cast<float>(s) / 32.0f;
        targets[s] = static_cast<float>(s) / 64.0f;
        deltaSum += 0.25 * (0.5 - targets[s]);  // sigmoid'(0) (sigmoid(0) - t), exact here
    }
    trainBatch(net, inputs, targets);
    EXPECT_EQ(net.params[24], static_cast<float>(-0.09375 * deltaSum));
    EXPECT_EQ(net.params[24], -0.193359375f);
    for (uint32_t p = 0; p < 24; ++p) EXPECT_EQ(net.params[p], 0.0f) << "param " << p;
    for (uint32_t p = 25; p < 169; ++p) EXPECT_EQ(net.params[p], 0.0f) << "param " << p;
    releaseNetwork(net);
}

TEST(TrainBatch, ReluNeuronThatNeverFiresIsLeftAlone) {
    // 1-2-1: neuron 1 of the hidden layer has z <= 0 for every sample, first
    // below zero, then exactly zero (the derivative at 0 is 0).
    for (const float deadBias : {-1.0f, 0.0f}) {
        Network net;
        ASSERT_TRUE(buildNetwork(net, parseModelSize("2")));
        const float deadWeight = deadBias < 0.0f ? 0.5f : 0.0f;
        const float params[] = {0.2f, deadBias, 0.1f, 0.5f, deadWeight, 0.7f, 0.9f};
        std::memcpy(net.params, params, sizeof params);
        float inputs[kBatchSize], targets[kBatchSize];
        for (int s = 0; s < kBatchSize; ++s) {
            inputs[s] = static_cast<float>(s) / 31.0f;
            targets[s] = 0.9f - static_cast<float>(s) / 64.0f;
        }
        trainBatch(net, inputs, targets);
        EXPECT_EQ(net.params[1], deadBias);    // its bias
        EXPECT_EQ(net.params[4], deadWeight);  // its incoming weight
        EXPECT_EQ(net.params[6], 0.9f);        // its outgoing weight sees a value of 0
        EXPECT_NE(net.params[0], 0.2f);        // the live neuron learns
        EXPECT_NE(net.params[5], 0.7f);
        releaseNetwork(net);
    }
}

TEST(TrainBatch, LayerWithoutNeuronsCutsTheGradientBelowIt) {
    Fixture f(sine(), "8x0x8");
    const std::vector<uint32_t> before = paramBits(f.net);
    trainBatch(f.net, f.set.inputs, f.set.targets);
    const std::vector<uint32_t> after = paramBits(f.net);
    // Layer 1: biases 0..7, weights 17..24; nothing flows back through layer 2.
    for (uint32_t p = 0; p < 8; ++p) EXPECT_EQ(after[p], before[p]) << p;
    for (uint32_t p = 17; p < 25; ++p) EXPECT_EQ(after[p], before[p]) << p;
    // Layer 3's biases, its only parameters, and the output layer do learn.
    int changed = 0;
    for (uint32_t p = 8; p < 17; ++p) changed += after[p] != before[p];
    EXPECT_EQ(changed, 9);
    for (uint32_t p = 0; p < 33; ++p) EXPECT_TRUE(std::isfinite(f.net.params[p])) << p;
}

// The update of one mini-batch, divided by each layer's step, is the summed
// gradient of the batch's squared error; it must agree with central
// differences of the same loss computed independently in double precision.
TEST(TrainBatch, UpdateFollowsTheGradientOfTheSquaredError) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("3x2")));
    const uint32_t count = parameterCount(net);
    ASSERT_EQ(count, 17u);
    // Varied weights; hidden biases raised so that every hidden neuron fires
    // for some samples of the batch and three of them switch off for others.
    for (uint32_t p = 0; p < count; ++p) {
        net.params[p] = static_cast<float>(std::sin(p * 1.7 + 2.6) * 0.5 + (p < 5 ? 0.3 : 0.0));
    }
    float inputs[kBatchSize], targets[kBatchSize];
    for (int s = 0; s < kBatchSize; ++s) {
        inputs[s] = (static_cast<float>(s) + 0.5f) / 32.0f;
        targets[s] = static_cast<float>(0.5 + 0.4 * std::sin(6.283185307179586 * inputs[s]));
    }
    std::vector<double> params(net.params, net.params + count);
    double smallestHiddenSum = 1e9;
    batchLoss(net, params, inputs, targets, &smallestHiddenSum);
    ASSERT_GT(smallestHiddenSum, 1e-4);

    std::vector<double> numeric(count);
    const double h = 1e-6;
    double largest = 0.0;
    for (uint32_t p = 0; p < count; ++p) {
        std::vector<double> plus = params, minus = params;
        plus[p] += h;
        minus[p] -= h;
        numeric[p] = (batchLoss(net, plus, inputs, targets) - batchLoss(net, minus, inputs, targets)) / (2 * h);
        largest = std::max(largest, std::fabs(numeric[p]));
    }
    int nonZero = 0;
    for (double g : numeric) nonZero += std::fabs(g) > 1e-3 * largest;
    ASSERT_GT(largest, 0.05);
    ASSERT_GE(nonZero, 12);  // a dead network would pass trivially

    trainBatch(net, inputs, targets);
    for (uint32_t p = 0; p < count; ++p) {
        const bool outputLayer = p == 5 || p >= 15;  // output bias and its two weights
        const double rate = outputLayer ? 3.0 : 0.05;
        const double fromUpdate = (params[p] - net.params[p]) / (rate / 32.0);
        EXPECT_NEAR(fromUpdate, numeric[p], 1e-3 * std::fabs(numeric[p]) + 2e-4) << "param " << p;
    }
    releaseNetwork(net);
}

// ---- Error, shuffle and epochs ----

TEST(MeasureError, MeanAbsoluteErrorInPercentAtAThousandFreshPhases) {
    Fixture f(std::vector<int16_t>(78, 16384));  // amplitude 0.75 everywhere
    std::memset(f.net.params, 0, 169 * sizeof(float));  // output 0.5 everywhere
    const Pcg32 start = f.rng;
    EXPECT_EQ(measureError(f.net, f.table, f.rng), 25.0f);
    EXPECT_EQ(f.rng.state, advanced(start, 1000).state);
}

TEST(ShuffleTrainingSet, KeepsEveryPairTogetherAndTheSameMultiset) {
    TrainingSet set;
    set.inputs = static_cast<float*>(std::malloc(kTrainingPoints * sizeof(float)));
    set.targets = static_cast<float*>(std::malloc(kTrainingPoints * sizeof(float)));
    ASSERT_NE(set.inputs, nullptr);
    ASSERT_NE(set.targets, nullptr);
    for (int i = 0; i < kTrainingPoints; ++i) {
        set.inputs[i] = static_cast<float>(i);
        set.targets[i] = -static_cast<float>(i) - 0.5f;
    }
    Pcg32 rng;
    seedFromClock(rng, 1);
    const Pcg32 start = rng;
    shuffleTrainingSet(set, rng);
    EXPECT_EQ(rng.state, advanced(start, kTrainingPoints).state);

    std::vector<float> order(set.inputs, set.inputs + kTrainingPoints);
    int moved = 0;
    for (int k = 0; k < kTrainingPoints; ++k) {
        ASSERT_EQ(set.targets[k], -set.inputs[k] - 0.5f) << k;
        moved += order[k] != static_cast<float>(k);
    }
    EXPECT_GT(moved, kTrainingPoints / 2);
    std::sort(order.begin(), order.end());
    for (int i = 0; i < kTrainingPoints; ++i) ASSERT_EQ(order[i], static_cast<float>(i));
    releaseTrainingSet(set);
}

TEST(ShuffleTrainingSet, ExchangesEachPositionWithOneFreshDrawInOrder) {
    Fixture shuffled(sine());
    Fixture plain(sine());
    shuffleTrainingSet(shuffled.set, shuffled.rng);
    // The procedure written out one draw and one exchange at a time.
    for (uint32_t k = 0; k < static_cast<uint32_t>(kTrainingPoints); ++k) {
        const uint32_t r = nextIndex(plain.rng, kTrainingPoints);
        std::swap(plain.set.inputs[k], plain.set.inputs[r]);
        std::swap(plain.set.targets[k], plain.set.targets[r]);
    }
    EXPECT_EQ(shuffled.rng.state, plain.rng.state);
    EXPECT_EQ(0, std::memcmp(shuffled.set.inputs, plain.set.inputs, kTrainingPoints * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(shuffled.set.targets, plain.set.targets, kTrainingPoints * sizeof(float)));
}

TEST(TrainEpoch, UsesTheFirst49984PairsInOrderAndNotTheLast16) {
    // A not-a-number target poisons every parameter it reaches.
    Fixture visited(sine(), "4");
    visited.set.targets[49983] = std::nanf("");
    trainEpochBatches(visited.net, visited.set, TrainKernel::Reference);
    EXPECT_TRUE(std::isnan(visited.net.params[4]));

    Fixture skipped(sine(), "4");
    for (int k = 49984; k < kTrainingPoints; ++k) skipped.set.targets[k] = std::nanf("");
    trainEpochBatches(skipped.net, skipped.set, TrainKernel::Reference);
    for (uint32_t p = 0; p < 13; ++p) EXPECT_TRUE(std::isfinite(skipped.net.params[p])) << p;
}

TEST(TrainEpoch, IsBatchesThenErrorThenShuffleAndTakes51000Steps) {
    Fixture burst(sine());
    Fixture stepwise(sine());
    const Pcg32 start = burst.rng;

    int32_t epochsTrained = 0;
    testing::internal::CaptureStdout();
    const float error = trainEpochs(burst.net, burst.set, burst.table, burst.rng, 1, epochsTrained,
                                    TrainKernel::Reference);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(burst.rng.state, advanced(start, 51000).state);
    EXPECT_EQ(epochsTrained, 1);

    trainEpochBatches(stepwise.net, stepwise.set, TrainKernel::Reference);
    EXPECT_EQ(floatBits(measureError(stepwise.net, stepwise.table, stepwise.rng)), floatBits(error));
    shuffleTrainingSet(stepwise.set, stepwise.rng);

    EXPECT_EQ(printed, progressLine(1, 1, error));
    EXPECT_EQ(paramBits(burst.net), paramBits(stepwise.net));
    EXPECT_EQ(burst.rng.state, stepwise.rng.state);
    EXPECT_EQ(0, std::memcmp(burst.set.inputs, stepwise.set.inputs, kTrainingPoints * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(burst.set.targets, stepwise.set.targets, kTrainingPoints * sizeof(float)));
}

TEST(TrainEpochs, ProgressLinesNumberEpochsFromTheModelsCreationAcrossBursts) {
    Fixture f(sine());
    int32_t epochsTrained = 0;
    testing::internal::CaptureStdout();
    trainEpochs(f.net, f.set, f.table, f.rng, 1, epochsTrained, TrainKernel::Reference);
    const std::string first = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    const float last = trainEpochs(f.net, f.set, f.table, f.rng, 2, epochsTrained, TrainKernel::Reference);
    const std::string second = testing::internal::GetCapturedStdout();

    // The same start, trained as one burst of three, ends in the same model.
    Fixture again(sine());
    int32_t againTrained = 0;
    testing::internal::CaptureStdout();
    trainEpochs(again.net, again.set, again.table, again.rng, 3, againTrained, TrainKernel::Reference);
    const std::string printedAgain = testing::internal::GetCapturedStdout();
    EXPECT_EQ(paramBits(again.net), paramBits(f.net));
    EXPECT_EQ(again.rng.state, f.rng.state);
    EXPECT_EQ(printedAgain.substr(printedAgain.rfind("Epoch 3")), second.substr(second.rfind("Epoch 3")));

    EXPECT_EQ(epochsTrained, 3);
    EXPECT_EQ(first.rfind("Epoch 1 / 1:  Total Error: ", 0), 0u) << first;
    const size_t split = second.find('\n') + 1;
    ASSERT_NE(split, 0u);
    const std::string secondLine = second.substr(0, split);
    EXPECT_EQ(secondLine.rfind("Epoch 2 / 3:  Total Error: ", 0), 0u) << secondLine;
    EXPECT_EQ(secondLine.substr(secondLine.size() - 2), "%\n");
    EXPECT_EQ(second.substr(split), progressLine(3, 3, last));
}
