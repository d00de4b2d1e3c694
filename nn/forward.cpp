#include "nn/forward.h"

#include <cmath>

float sigmoid(float x) {
    const float e = static_cast<float>(std::exp(-static_cast<double>(x)));
    return 1.0f / (e + 1.0f);
}

float relu(float x) { return x > 0.0f ? x : 0.0f; }

float sigmoidDerivative(float x) {
    const float s = sigmoid(x);
    return (1.0f - s) * s;
}

float reluDerivative(float x) { return x > 0.0f ? 1.0f : 0.0f; }

void evaluateNetwork(Network& net, const float* input, float* output) {
    const uint64_t layerCount = net.layers.size;
    if (layerCount == 0) return;
    const uint32_t inputSize = layerSize(net, 0);
    float* inputValues = net.activations[0].data;
    for (uint32_t i = 0; i < inputSize; ++i) inputValues[i] = input[i];
    if (layerCount < 2) return;

    const float* params = net.params;
    for (uint64_t l = 1; l < layerCount; ++l) {
        const LayerInfo& layer = net.layers[l];
        const uint32_t fanIn = layerSize(net, l - 1);
        const uint32_t neurons = layerSize(net, l);
        const float* below = net.activations[l - 1].data;
        float* out = (l == layerCount - 1) ? output : net.activations[l].data;
        const float* biases = params + layer.biasOffset;
        const bool isSigmoid = layer.activation == Sigmoid;
        for (uint32_t j = 0; j < neurons; ++j) {
            const float* w = params + layer.weightOffset + static_cast<uint64_t>(j) * fanIn;
            float z = biases[j];
            for (uint32_t i = 0; i < fanIn; ++i) z += w[i] * below[i];
            out[j] = isSigmoid ? sigmoid(z) : relu(z);
        }
    }
}
