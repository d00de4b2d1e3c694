#include "nn/network.h"

#include <cmath>
#include <cstdlib>

#include "nn/train_fast.h"

ModelShape defaultModelShape() {
    ModelShape shape;
    shape.layerCount = 5;
    const int32_t sizes[] = {1, 8, 8, 8, 1};
    for (int l = 0; l < 5; ++l) {
        shape.sizes[l] = sizes[l];
        shape.activations[l] = Relu;
    }
    shape.activations[4] = Sigmoid;
    return shape;
}

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One "%d" conversion: leading blanks, an optional sign, at least one digit.
// Returns the position after the number, or nullptr if no number stands here.
// A number outside 32 bits sets `overflow`.
const char* scanInt(const char* p, int64_t& value, bool& overflow) {
    while (isBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') return nullptr;
    int64_t magnitude = 0;
    while (*p >= '0' && *p <= '9') {
        if (magnitude <= (int64_t{1} << 32)) magnitude = magnitude * 10 + (*p - '0');
        ++p;
    }
    value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX || value < INT32_MIN) overflow = true;
    return p;
}

// Counts of a shape in 64 bits, to refuse what would not fit.
bool shapeFits(const ModelShape& shape) {
    uint64_t biases = 0;
    uint64_t weights = 0;
    for (int l = 0; l < shape.layerCount; ++l) {
        if (shape.sizes[l] < 0 || static_cast<uint32_t>(shape.sizes[l]) > kMaxLayerSize) return false;
        if (l == 0) continue;
        biases += static_cast<uint64_t>(shape.sizes[l]);
        weights += static_cast<uint64_t>(shape.sizes[l]) * static_cast<uint64_t>(shape.sizes[l - 1]);
    }
    return biases + weights <= kMaxParameters;
}

}  // namespace

ModelShape parseModelSize(const char* line) {
    if (line == nullptr || line[0] < '1' || line[0] > '9') return defaultModelShape();

    int32_t hidden[kMaxHiddenLayers];
    int count = 0;
    const char* p = line;
    bool overflow = false;
    while (count < kMaxHiddenLayers) {
        if (count > 0) {
            // The literal 'x' of the format must match exactly; no blank may precede it.
            if (*p != 'x') break;
            ++p;
        }
        int64_t value = 0;
        const char* next = scanInt(p, value, overflow);
        if (next == nullptr) break;
        hidden[count++] = static_cast<int32_t>(overflow ? 0 : value);
        p = next;
        if (overflow) break;
    }
    if (count == 0 || overflow) return defaultModelShape();

    ModelShape shape;
    shape.layerCount = count + 2;
    shape.sizes[0] = 1;
    for (int i = 0; i < count; ++i) shape.sizes[i + 1] = hidden[i];
    shape.sizes[count + 1] = 1;
    for (int l = 0; l < shape.layerCount; ++l) shape.activations[l] = Relu;
    shape.activations[shape.layerCount - 1] = Sigmoid;
    if (!shapeFits(shape)) return defaultModelShape();
    return shape;
}

bool buildNetwork(Network& net, const ModelShape& shape) {
    const uint64_t layerCount = static_cast<uint64_t>(shape.layerCount);

    // Layer table and counts.
    net.biasCount = 0;
    net.weightCount = 0;
    net.layers.clear();
    uint32_t largest = 0;
    for (uint64_t l = 0; l < layerCount; ++l) {
        LayerInfo info;
        info.size = shape.sizes[l];
        info.activation = shape.activations[l];
        net.layers.pushBack(info);
        const uint32_t size = static_cast<uint32_t>(shape.sizes[l]);
        if (size > largest) largest = size;
        if (l >= 1) {
            net.biasCount += size;
            net.weightCount += size * static_cast<uint32_t>(shape.sizes[l - 1]);
        }
    }

    // Offsets: all biases first, then all weights, layer after layer.
    for (uint64_t l = 0; l < layerCount; ++l) {
        if (l <= 1) {
            net.layers[l].biasOffset = 0;
            net.layers[l].weightOffset = net.biasCount;
        } else {
            const LayerInfo& previous = net.layers[l - 1];
            net.layers[l].biasOffset = previous.biasOffset + layerSize(net, l - 1);
            net.layers[l].weightOffset = previous.weightOffset + layerSize(net, l - 2) * layerSize(net, l - 1);
        }
    }

    // The parameter array only grows.
    const uint32_t count = parameterCount(net);
    if (net.paramCapacity < count) {
        std::free(net.params);
        net.params = static_cast<float*>(std::calloc(count, sizeof(float)));
        net.paramCapacity = net.params != nullptr ? count : 0;
        if (net.params == nullptr) return false;
    }

    // Working buffers.
    net.deltaBufferA.resize(largest);
    net.deltaBufferB.resize(largest);
    net.preActivations.resize(layerCount);
    net.biasGradients.resize(layerCount);
    net.weightGradients.resize(layerCount);
    net.activations.resize(layerCount);
    net.activations[0].resize(layerSize(net, 0));
    for (uint64_t l = 1; l < layerCount; ++l) {
        const uint32_t size = layerSize(net, l);
        const uint32_t fanIn = layerSize(net, l - 1);
        net.activations[l].resize(size);
        net.preActivations[l].resize(size);
        net.biasGradients[l].resize(size);
        net.weightGradients[l].resize(size);
        for (uint32_t j = 0; j < size; ++j) net.weightGradients[l][j].resize(fanIn);
    }
    net.fastScratch.resize(fastScratchFloats(net));
    return true;
}

void initializeNetwork(Network& net, Pcg32& rng) {
    // A build that couldn't get its parameter array leaves nothing to draw into.
    if (net.params == nullptr) return;
    Pcg32 local = rng;
    float* params = net.params;
    uint32_t fanIn = layerSize(net, 0);
    for (uint64_t l = 1; l < net.layers.size; ++l) {
        const LayerInfo& layer = net.layers[l];
        const uint32_t size = layerSize(net, l);
        if (layer.activation == Relu) {
            const float scale = std::sqrt(2.0f / static_cast<float>(fanIn));
            const float span = scale + scale;
            for (uint32_t j = 0; j < size; ++j) {
                params[layer.biasOffset + j] = 0.1f * nextUnit(local) + 0.05f;
                float* weights = params + layer.weightOffset + static_cast<uint64_t>(j) * fanIn;
                for (uint32_t i = 0; i < fanIn; ++i) weights[i] = nextUnit(local) * span - scale;
            }
        } else {
            for (uint32_t j = 0; j < size; ++j) {
                params[layer.biasOffset + j] = nextNormal(local);
                float* weights = params + layer.weightOffset + static_cast<uint64_t>(j) * fanIn;
                for (uint32_t i = 0; i < fanIn; ++i) weights[i] = nextNormal(local);
            }
        }
        fanIn = size;
    }
    rng = local;
}

std::string formatHiddenSizes(const ModelShape& shape) {
    std::string text;
    for (int l = 1; l < shape.layerCount - 1; ++l) {
        if (l > 1) text += 'x';
        text += std::to_string(shape.sizes[l]);
    }
    return text;
}

std::string initializedReport(const ModelShape& shape) {
    return "Initialized random " + formatHiddenSizes(shape) + " model.\n";
}

void releaseNetwork(Network& net) {
    std::free(net.params);
    net.params = nullptr;
    net.paramCapacity = 0;
    net.biasCount = 0;
    net.weightCount = 0;
    net.layers.clear();
}
