// Any line of up to 78 characters at the size prompt. The shape must always
// be one the network can be built from, and must agree with what the C
// library's own scan makes of the line.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nn/forward.h"
#include "nn/network.h"
#include "nn/pcg32.h"

namespace {

// Building is cheap for small shapes; bigger ones only have their parse checked.
constexpr uint64_t kLargestBuiltParameters = 1u << 14;

void fail(const char* what, const char* line) {
    std::fprintf(stderr, "fuzz_size_line: %s for the line \"%s\"\n", what, line);
    std::abort();
}

bool sameShape(const ModelShape& a, const ModelShape& b) {
    if (a.layerCount != b.layerCount) return false;
    for (int l = 0; l < a.layerCount; ++l) {
        if (a.sizes[l] != b.sizes[l] || a.activations[l] != b.activations[l]) return false;
    }
    return true;
}

// What the line should give, by sscanf in 64 bits (glibc saturates a number
// too long for 64 bits, which is out of range just the same).
ModelShape expectedShape(const char* line) {
    if (line[0] < '1' || line[0] > '9') return defaultModelShape();
    long long v[kMaxHiddenLayers] = {};
    const int n = std::sscanf(line, "%lldx%lldx%lldx%lldx%lldx%lldx%lldx%lld", &v[0], &v[1], &v[2],
                              &v[3], &v[4], &v[5], &v[6], &v[7]);
    if (n < 1) return defaultModelShape();
    ModelShape shape;
    shape.layerCount = n + 2;
    shape.sizes[0] = 1;
    shape.sizes[n + 1] = 1;
    uint64_t parameters = 0;
    long long below = 1;
    for (int i = 0; i < n; ++i) {
        if (v[i] < 0 || v[i] > static_cast<long long>(kMaxLayerSize)) return defaultModelShape();
        shape.sizes[i + 1] = static_cast<int32_t>(v[i]);
        parameters += static_cast<uint64_t>(v[i]) * static_cast<uint64_t>(below + 1);
        below = v[i];
    }
    parameters += static_cast<uint64_t>(below) + 1;
    if (parameters > kMaxParameters) return defaultModelShape();
    for (int l = 0; l < shape.layerCount; ++l) shape.activations[l] = Relu;
    shape.activations[shape.layerCount - 1] = Sigmoid;
    return shape;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // fgets with a size of 79 hands over at most 78 characters.
    if (size > 78) return -1;
    char line[79];
    std::memcpy(line, bytes, size);
    line[size] = '\0';

    const ModelShape shape = parseModelSize(line);
    const int layers = shape.layerCount;
    if (layers < 3 || layers > kMaxLayers) fail("layer count out of range", line);
    if (shape.sizes[0] != 1 || shape.sizes[layers - 1] != 1) fail("input or output not one neuron", line);
    uint64_t biases = 0;
    uint64_t weights = 0;
    for (int l = 0; l < layers; ++l) {
        if (shape.sizes[l] < 0 || static_cast<uint32_t>(shape.sizes[l]) > kMaxLayerSize) fail("size out of range", line);
        const Activation expected = l == layers - 1 ? Sigmoid : Relu;
        if (shape.activations[l] != expected) fail("wrong activation", line);
        if (l == 0) continue;
        biases += static_cast<uint64_t>(shape.sizes[l]);
        weights += static_cast<uint64_t>(shape.sizes[l]) * static_cast<uint64_t>(shape.sizes[l - 1]);
    }
    if (biases + weights > kMaxParameters) fail("too many parameters", line);
    if (!sameShape(shape, expectedShape(line))) fail("shape differs from the C scan", line);
    // The report line's sizes, typed back in, give the same model.
    const std::string hiddenSizes = formatHiddenSizes(shape);
    if (!sameShape(parseModelSize(hiddenSizes.c_str()), shape)) fail("report does not parse back", line);

    if (biases + weights > kLargestBuiltParameters) return 0;
    Network net;
    if (!buildNetwork(net, shape)) fail("build failed", line);
    if (net.layers.size != static_cast<uint64_t>(layers)) fail("layer table length", line);
    if (net.biasCount != biases || net.weightCount != weights) fail("counts", line);
    if (net.paramCapacity < biases + weights) fail("parameter array too small", line);
    Pcg32 rng;
    seedFromClock(rng, static_cast<int64_t>(size));
    initializeNetwork(net, rng);
    const float phase = 0.25f;
    float output = -1.0f;
    evaluateNetwork(net, &phase, &output);
    // The sigmoid output may saturate but never leaves [0, 1].
    if (!(output >= 0.0f && output <= 1.0f)) fail("output outside [0, 1]", line);
    releaseNetwork(net);
    return 0;
}
