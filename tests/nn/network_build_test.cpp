#include <gtest/gtest.h>

#include <vector>

#include "nn/allocation_counter.h"
#include "nn/network.h"

namespace {

std::vector<int32_t> sizesOf(const ModelShape& shape) {
    return std::vector<int32_t>(shape.sizes, shape.sizes + shape.layerCount);
}

std::vector<int32_t> parsedSizes(const char* line) { return sizesOf(parseModelSize(line)); }

const std::vector<int32_t> kDefaultSizes = {1, 8, 8, 8, 1};

struct Offsets {
    uint32_t bias;
    uint32_t weight;
    bool operator==(const Offsets&) const = default;
};

std::vector<Offsets> offsetsOf(const Network& net) {
    std::vector<Offsets> offsets;
    for (uint64_t l = 0; l < net.layers.size; ++l) {
        offsets.push_back({net.layers[l].biasOffset, net.layers[l].weightOffset});
    }
    return offsets;
}

}  // namespace

// ---- The size line ----

TEST(ParseModelSize, UnusableFirstCharacterSelectsTheDefault) {
    for (const char* line : {"", "\n", " 8", "0x8", "x8", "+8", "-8", "a", "\t8x8"}) {
        EXPECT_EQ(parsedSizes(line), kDefaultSizes) << '"' << line << '"';
    }
    EXPECT_EQ(sizesOf(parseModelSize(nullptr)), kDefaultSizes);
}

TEST(ParseModelSize, ReadsHiddenSizesSeparatedByLowerCaseX) {
    EXPECT_EQ(parsedSizes("8x8x8\n"), kDefaultSizes);
    EXPECT_EQ(parsedSizes("4\n"), (std::vector<int32_t>{1, 4, 1}));
    EXPECT_EQ(parsedSizes("4x32x10x8"), (std::vector<int32_t>{1, 4, 32, 10, 8, 1}));
    EXPECT_EQ(parsedSizes("8x0x8"), (std::vector<int32_t>{1, 8, 0, 8, 1}));
}

TEST(ParseModelSize, StopsAtTheFirstCharacterThatDoesNotFitTheFormat) {
    const std::vector<int32_t> one = {1, 8, 1};
    const std::vector<int32_t> two = {1, 8, 8, 1};
    EXPECT_EQ(parsedSizes("8X8"), one);
    EXPECT_EQ(parsedSizes("8 x 8"), one);
    EXPECT_EQ(parsedSizes("8x"), one);
    EXPECT_EQ(parsedSizes("8x\n"), one);
    EXPECT_EQ(parsedSizes("8x-"), one);
    EXPECT_EQ(parsedSizes("8x 8"), two);     // the conversion skips blanks after the x
    EXPECT_EQ(parsedSizes("8x\t 8\n"), two);
    EXPECT_EQ(parsedSizes("8x+8"), two);     // and takes a sign
    EXPECT_EQ(parsedSizes("8x8abc"), two);
    EXPECT_EQ(parsedSizes("8x8xx8"), two);
}

TEST(ParseModelSize, TakesAtMostEightHiddenLayers) {
    EXPECT_EQ(parsedSizes("1x2x3x4x5x6x7x8x9"), (std::vector<int32_t>{1, 1, 2, 3, 4, 5, 6, 7, 8, 1}));
}

TEST(ParseModelSize, EveryLayerIsReluButTheSigmoidOutput) {
    const ModelShape shape = parseModelSize("3x5");
    ASSERT_EQ(shape.layerCount, 4);
    EXPECT_EQ(shape.activations[0], Relu);
    EXPECT_EQ(shape.activations[1], Relu);
    EXPECT_EQ(shape.activations[2], Relu);
    EXPECT_EQ(shape.activations[3], Sigmoid);
    const ModelShape fallback = parseModelSize("");
    EXPECT_EQ(fallback.activations[3], Relu);
    EXPECT_EQ(fallback.activations[4], Sigmoid);
}

TEST(ParseModelSize, NegativeAndOversizedShapesFallBackToTheDefault) {
    for (const char* line : {"8x-3", "-3", "8x-1x8", "99999999999", "8x99999999999", "2147483648",
                             "4294967304", "65537", "8x65537", "65536x65536", "1547x10830",
                             "4096x4096x4096"}) {
        EXPECT_EQ(parsedSizes(line), kDefaultSizes) << line;
    }
}

TEST(ParseModelSize, ShapesExactlyAtTheBoundsAreAccepted) {
    EXPECT_EQ(kMaxLayerSize, 65536u);
    EXPECT_EQ(kMaxParameters, 16777216u);
    EXPECT_EQ(parsedSizes("65536"), (std::vector<int32_t>{1, 65536, 1}));
    // (1547 + 2) * (10829 + 2) - 3 = 2^24 parameters exactly.
    EXPECT_EQ(parsedSizes("1547x10829"), (std::vector<int32_t>{1, 1547, 10829, 1}));
    EXPECT_EQ(parsedSizes("57x65279x199"), (std::vector<int32_t>{1, 57, 65279, 199, 1}));
}

TEST(ModelReport, ShowsTheHiddenSizesAsBuilt) {
    EXPECT_EQ(initializedReport(parseModelSize("8x8x8\n")), "Initialized random 8x8x8 model.\n");
    EXPECT_EQ(initializedReport(parseModelSize("")), "Initialized random 8x8x8 model.\n");
    EXPECT_EQ(initializedReport(parseModelSize("8x-3")), "Initialized random 8x8x8 model.\n");
    EXPECT_EQ(initializedReport(parseModelSize("4\n")), "Initialized random 4 model.\n");
    EXPECT_EQ(initializedReport(parseModelSize("8x0x8")), "Initialized random 8x0x8 model.\n");
    EXPECT_EQ(initializedReport(parseModelSize("12x3abc")), "Initialized random 12x3 model.\n");
}

// ---- Layer table, counts and buffers ----

TEST(BuildNetwork, DefaultShapeOffsetsAndCounts) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, defaultModelShape()));
    EXPECT_EQ(net.layers.size, 5u);
    EXPECT_EQ(net.biasCount, 25u);
    EXPECT_EQ(net.weightCount, 144u);
    EXPECT_EQ(parameterCount(net), 169u);
    EXPECT_EQ(net.paramCapacity, 169u);
    EXPECT_EQ(offsetsOf(net), (std::vector<Offsets>{{0, 25}, {0, 25}, {8, 33}, {16, 97}, {24, 161}}));
    EXPECT_EQ(net.deltaBufferA.size, 8u);
    EXPECT_EQ(net.deltaBufferB.size, 8u);
    EXPECT_EQ(net.layers[0].activation, Relu);
    EXPECT_EQ(net.layers[4].activation, Sigmoid);
    releaseNetwork(net);
}

TEST(BuildNetwork, OtherShapesOffsetsAndCounts) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("4x32x10x8")));
    EXPECT_EQ(net.biasCount, 55u);
    EXPECT_EQ(net.weightCount, 540u);
    EXPECT_EQ(offsetsOf(net),
              (std::vector<Offsets>{{0, 55}, {0, 55}, {4, 59}, {36, 187}, {46, 507}, {54, 587}}));
    EXPECT_EQ(net.deltaBufferA.size, 32u);

    ASSERT_TRUE(buildNetwork(net, parseModelSize("8x8x8x8x8")));
    EXPECT_EQ(net.layers.size, 7u);
    EXPECT_EQ(net.biasCount, 41u);
    EXPECT_EQ(net.weightCount, 272u);

    ASSERT_TRUE(buildNetwork(net, parseModelSize("8x0x8")));
    EXPECT_EQ(net.biasCount, 17u);
    EXPECT_EQ(net.weightCount, 16u);
    EXPECT_EQ(offsetsOf(net), (std::vector<Offsets>{{0, 17}, {0, 17}, {8, 25}, {8, 25}, {16, 25}}));

    ASSERT_TRUE(buildNetwork(net, parseModelSize("4")));
    EXPECT_EQ(net.layers.size, 3u);
    EXPECT_EQ(net.biasCount, 5u);
    EXPECT_EQ(net.weightCount, 8u);
    EXPECT_EQ(offsetsOf(net), (std::vector<Offsets>{{0, 5}, {0, 5}, {4, 9}}));
    EXPECT_EQ(net.deltaBufferA.size, 4u);
    releaseNetwork(net);
}

TEST(BuildNetwork, WorkingBuffersTakeTheLayerShapes) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("4x32x10x8")));
    const uint32_t sizes[] = {1, 4, 32, 10, 8, 1};
    ASSERT_EQ(net.activations.size, 6u);
    ASSERT_EQ(net.preActivations.size, 6u);
    ASSERT_EQ(net.biasGradients.size, 6u);
    ASSERT_EQ(net.weightGradients.size, 6u);
    EXPECT_EQ(net.activations[0].size, 1u);
    EXPECT_EQ(net.preActivations[0].size, 0u);
    EXPECT_EQ(net.biasGradients[0].size, 0u);
    EXPECT_EQ(net.weightGradients[0].size, 0u);
    for (uint64_t l = 1; l < 6; ++l) {
        EXPECT_EQ(net.activations[l].size, sizes[l]);
        EXPECT_EQ(net.preActivations[l].size, sizes[l]);
        EXPECT_EQ(net.biasGradients[l].size, sizes[l]);
        ASSERT_EQ(net.weightGradients[l].size, sizes[l]);
        for (uint64_t j = 0; j < sizes[l]; ++j) EXPECT_EQ(net.weightGradients[l][j].size, sizes[l - 1]);
    }
    // One-neuron layers never leave their inline element.
    EXPECT_EQ(net.activations[0].data, &net.activations[0].inlineElement);
    EXPECT_EQ(net.activations[5].data, &net.activations[5].inlineElement);
    releaseNetwork(net);
}

TEST(BuildNetwork, ParameterArrayIsReusedWhenSmallerAndReplacedZeroFilledWhenLarger) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, defaultModelShape()));
    float* const params = net.params;
    for (uint32_t p = 0; p < 169; ++p) params[p] = 1.0f + static_cast<float>(p);

    ASSERT_TRUE(buildNetwork(net, parseModelSize("4")));
    EXPECT_EQ(net.params, params);
    EXPECT_EQ(net.paramCapacity, 169u);
    EXPECT_EQ(net.params[168], 169.0f);  // not cleared: initialization overwrites what it uses

    ASSERT_TRUE(buildNetwork(net, parseModelSize("4x32x10x8")));
    EXPECT_EQ(net.paramCapacity, 595u);
    for (uint32_t p = 0; p < 595; ++p) ASSERT_EQ(net.params[p], 0.0f) << p;

    releaseNetwork(net);
    EXPECT_EQ(net.params, nullptr);
    EXPECT_EQ(net.paramCapacity, 0u);
}

TEST(BuildNetwork, RebuildingWithinCapacityAllocatesNothing) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("16x16x16")));
    float* const params = net.params;
    {
        AllocationScope scope;
        ASSERT_TRUE(buildNetwork(net, parseModelSize("8x4")));
        EXPECT_EQ(scope.count(), 0u);
    }
    {
        AllocationScope scope;
        ASSERT_TRUE(buildNetwork(net, parseModelSize("16x16x16")));
        EXPECT_EQ(scope.count(), 0u);
    }
    EXPECT_EQ(net.params, params);
    EXPECT_EQ(net.paramCapacity, 16u + 16u + 16u + 1u + 16u + 256u + 256u + 16u);
    EXPECT_EQ(net.weightGradients[2][15].size, 16u);
    releaseNetwork(net);
}
