#pragma once

#include <cstdint>
#include <string>

#include "nn/inline_vector.h"
#include "nn/pcg32.h"

enum Activation : uint8_t { Sigmoid = 0, Relu = 1 };

struct LayerInfo {
    int32_t size = 0;  // as parsed; used everywhere as an unsigned count
    uint32_t biasOffset = 0;
    uint32_t weightOffset = 0;
    Activation activation = Relu;
};

constexpr int kMaxHiddenLayers = 8;
constexpr int kMaxLayers = kMaxHiddenLayers + 2;
// Bounds on what a size line may ask for: beyond them a typed shape falls back
// to the default, like any line that can't be parsed. They keep every count in
// 32 bits and the working buffers within a few hundred megabytes.
constexpr uint32_t kMaxLayerSize = 65536;
constexpr uint32_t kMaxParameters = 1u << 24;

// Layer sizes and activations, input and output layers included.
struct ModelShape {
    int layerCount = 0;
    int32_t sizes[kMaxLayers] = {};
    Activation activations[kMaxLayers] = {};
};

// The model and its working storage. The layer table and the first
// biasCount + weightCount floats of params are the model; everything after
// weightCount is scratch that is never saved.
//
// Bias of neuron j of layer l:          params[layers[l].biasOffset + j]
// Weight from i (layer l-1) to j (l):   params[layers[l].weightOffset + j * size(l-1) + i]
struct Network {
    InlineVector<LayerInfo> layers;
    float* params = nullptr;  // (paramCapacity) calloc'd; all biases, then all weights
    uint32_t paramCapacity = 0;
    uint32_t biasCount = 0;
    uint32_t weightCount = 0;
    InlineVector<InlineVector<float>> activations;     // (L, size(l)); entry 0 is the input
    InlineVector<InlineVector<float>> preActivations;  // (L, size(l)); entry 0 empty
    InlineVector<InlineVector<float>> biasGradients;   // (L, size(l)); entry 0 empty
    InlineVector<InlineVector<InlineVector<float>>> weightGradients;  // (L, size(l), size(l-1))
    InlineVector<float> deltaBufferA;  // (largest layer)
    InlineVector<float> deltaBufferB;  // (largest layer)
    InlineVector<float> fastScratch;   // (fastScratchFloats) a mini-batch's values for the fast kernels
};

// The shape 8x8x8 that an empty or unusable size line selects.
ModelShape defaultModelShape();

// Reads a typed size line the way the C scan "%dx%dx%dx%dx%dx%dx%dx%d" would,
// accepting it only if it starts with a digit 1 to 9. Negative sizes, numbers
// beyond 32 bits and shapes beyond kMaxLayerSize or kMaxParameters give the
// default shape instead.
ModelShape parseModelSize(const char* line);

// Rebuilds the layer table, counts, offsets, parameter array and working
// buffers in place; storage only grows. Returns false, leaving the network
// without a usable parameter array, when memory for the parameters can't be had.
bool buildNetwork(Network& net, const ModelShape& shape);

// Draws every bias and weight from the generator: layer by layer, neuron by
// neuron, the bias before its incoming weights.
void initializeNetwork(Network& net, Pcg32& rng);

// The hidden sizes joined by 'x', e.g. "8x8x8".
std::string formatHiddenSizes(const ModelShape& shape);
// "Initialized random 8x8x8 model.\n"
std::string initializedReport(const ModelShape& shape);

void releaseNetwork(Network& net);

inline uint32_t layerSize(const Network& net, uint64_t l) {
    return static_cast<uint32_t>(net.layers[l].size);
}
inline uint32_t parameterCount(const Network& net) { return net.biasCount + net.weightCount; }
