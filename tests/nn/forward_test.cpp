#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "nn/forward.h"

namespace {

uint32_t floatBits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// The worked 1-2-1 network: biases 0.5, -1 | 0; weights 2, 1 | 1, -1.
void buildExampleNetwork(Network& net) {
    ASSERT_TRUE(buildNetwork(net, parseModelSize("2")));
    ASSERT_EQ(net.layers[1].weightOffset, 3u);
    ASSERT_EQ(net.layers[2].biasOffset, 2u);
    ASSERT_EQ(net.layers[2].weightOffset, 5u);
    const float params[] = {0.5f, -1.0f, 0.0f, 2.0f, 1.0f, 1.0f, -1.0f};
    std::memcpy(net.params, params, sizeof params);
}

}  // namespace

TEST(Activations, ValuesAndDerivativesAtKeyPoints) {
    EXPECT_EQ(sigmoid(0.0f), 0.5f);
    EXPECT_EQ(sigmoidDerivative(0.0f), 0.25f);
    EXPECT_EQ(sigmoid(1.0f), 0.7310586f);
    EXPECT_EQ(relu(-2.0f), 0.0f);
    EXPECT_EQ(relu(3.0f), 3.0f);
    EXPECT_EQ(reluDerivative(0.0f), 0.0f);
    EXPECT_EQ(reluDerivative(0.001f), 1.0f);
    EXPECT_EQ(reluDerivative(-0.001f), 0.0f);
    // -0 and not-a-number both give +0.
    EXPECT_EQ(floatBits(relu(-0.0f)), 0u);
    EXPECT_EQ(floatBits(relu(std::numeric_limits<float>::quiet_NaN())), 0u);
}

TEST(Activations, SigmoidSaturatesToExactlyZeroAndOne) {
    EXPECT_EQ(sigmoid(-100.0f), 0.0f);
    EXPECT_EQ(sigmoid(100.0f), 1.0f);
    EXPECT_EQ(sigmoid(-89.0f), 0.0f);  // exp(89) is beyond single precision
    EXPECT_GT(sigmoid(-88.0f), 0.0f);
    EXPECT_EQ(sigmoid(16.7f), 1.0f);   // 1 + e rounds to 1 from 24 ln 2 up
    EXPECT_LT(sigmoid(16.0f), 1.0f);
    EXPECT_EQ(sigmoidDerivative(100.0f), 0.0f);
    EXPECT_EQ(sigmoidDerivative(-100.0f), 0.0f);
}

TEST(EvaluateNetwork, WorkedExampleNetwork) {
    Network net;
    buildExampleNetwork(net);
    const float input = 0.25f;
    float output = -1.0f;
    evaluateNetwork(net, &input, &output);
    EXPECT_EQ(net.activations[0][0], 0.25f);
    EXPECT_EQ(net.activations[1][0], 1.0f);
    EXPECT_EQ(net.activations[1][1], 0.0f);
    EXPECT_EQ(output, 0.7310586f);
    releaseNetwork(net);
}

TEST(EvaluateNetwork, RepeatsExactlyWhateverTheBuffersHeldBefore) {
    Network net;
    buildExampleNetwork(net);
    const float input = 0.25f;
    float first = 0.0f;
    evaluateNetwork(net, &input, &first);
    net.activations[1][0] = 1e30f;
    net.activations[1][1] = std::numeric_limits<float>::quiet_NaN();
    float second = 0.0f;
    evaluateNetwork(net, &input, &second);
    EXPECT_EQ(floatBits(first), floatBits(second));
    releaseNetwork(net);
}

TEST(EvaluateNetwork, ZeroWeightsGiveTheSigmoidOfTheOutputBias) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, defaultModelShape()));
    std::memset(net.params, 0, 169 * sizeof(float));
    for (uint32_t j = 0; j < 24; ++j) net.params[j] = 0.3f;  // hidden biases don't matter
    net.params[24] = -1.5f;
    for (float input : {0.0f, 0.4f, 1.0f}) {
        float output = 0.0f;
        evaluateNetwork(net, &input, &output);
        EXPECT_EQ(output, sigmoid(-1.5f)) << input;
    }
    releaseNetwork(net);
}

TEST(EvaluateNetwork, LayerWithoutNeuronsLeavesOnlyTheBiasesOfTheNext) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("8x0x2")));
    // sizes 1, 8, 0, 2, 1: layer 3 sums have no terms.
    ASSERT_EQ(parameterCount(net), 8u + 2u + 1u + 8u + 2u);
    for (uint32_t p = 0; p < parameterCount(net); ++p) net.params[p] = 0.75f;
    net.params[8] = 0.5f;    // bias of neuron 0, layer 3
    net.params[9] = -2.0f;   // bias of neuron 1, layer 3
    net.params[10] = 0.25f;  // output bias
    const float input = 0.6f;
    float output = 0.0f;
    evaluateNetwork(net, &input, &output);
    EXPECT_EQ(net.activations[3][0], 0.5f);
    EXPECT_EQ(net.activations[3][1], 0.0f);
    EXPECT_EQ(output, sigmoid(0.25f + 0.75f * 0.5f));
    releaseNetwork(net);
}

TEST(EvaluateNetwork, DefaultNetworkWritesHiddenBuffersAndLeavesTheOutputBufferAlone) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, defaultModelShape()));
    Pcg32 rng;
    seedFromClock(rng, 3);
    initializeNetwork(net, rng);
    net.activations[4][0] = -7.0f;
    const float input = 0.5f;
    float output = -1.0f;
    evaluateNetwork(net, &input, &output);
    EXPECT_EQ(net.activations[4][0], -7.0f);
    EXPECT_GE(output, 0.0f);
    EXPECT_LE(output, 1.0f);
    // The output neuron's sum over the last hidden layer, recomputed here.
    float z = net.params[24];
    for (int k = 0; k < 8; ++k) z += net.params[161 + k] * net.activations[3][k];
    EXPECT_EQ(output, sigmoid(z));
    releaseNetwork(net);
}
