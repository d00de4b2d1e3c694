#include "nn/training.h"

#include <cmath>
#include <cstdio>

#include "nn/forward.h"
#include "nn/train_fast.h"

void trainBatch(Network& net, const float* inputs, const float* targets) {
    const uint64_t layerCount = net.layers.size;
    const uint64_t last = layerCount - 1;
    const uint32_t inputSize = layerSize(net, 0);
    const uint32_t outputSize = layerSize(net, last);
    float* params = net.params;

    for (uint64_t l = 1; l < layerCount; ++l) {
        const uint32_t size = layerSize(net, l);
        const uint32_t fanIn = layerSize(net, l - 1);
        for (uint32_t j = 0; j < size; ++j) {
            net.biasGradients[l][j] = 0.0f;
            for (uint32_t i = 0; i < fanIn; ++i) net.weightGradients[l][j][i] = 0.0f;
        }
    }

    for (int sample = 0; sample < kBatchSize; ++sample) {
        const float* x = inputs + static_cast<uint64_t>(sample) * inputSize;
        const float* t = targets + static_cast<uint64_t>(sample) * outputSize;
        for (uint32_t i = 0; i < inputSize; ++i) net.activations[0][i] = x[i];

        // Forward, keeping every pre-activation z for the backward pass.
        for (uint64_t l = 1; l < layerCount; ++l) {
            const LayerInfo& layer = net.layers[l];
            const uint32_t size = layerSize(net, l);
            const uint32_t fanIn = layerSize(net, l - 1);
            const float* a = net.activations[l - 1].data;
            float* z = net.preActivations[l].data;
            float* out = net.activations[l].data;
            const bool isSigmoid = layer.activation == Sigmoid;
            for (uint32_t j = 0; j < size; ++j) {
                const float* w = params + layer.weightOffset + static_cast<uint64_t>(j) * fanIn;
                float sum = params[layer.biasOffset + j];
                for (uint32_t i = 0; i < fanIn; ++i) sum += w[i] * a[i];
                z[j] = sum;
                out[j] = isSigmoid ? sigmoid(sum) : relu(sum);
            }
        }

        // Backward: delta = f'(z) * dE/da, layers in reverse, the two delta
        // buffers taking turns (this layer's, and the layer above's).
        float* delta = net.deltaBufferA.data;
        float* deltaAbove = net.deltaBufferB.data;
        for (uint64_t l = last; l >= 1; --l) {
            const LayerInfo& layer = net.layers[l];
            const uint32_t size = layerSize(net, l);
            const uint32_t fanIn = layerSize(net, l - 1);
            const float* z = net.preActivations[l].data;
            const float* a = net.activations[l].data;
            const float* below = net.activations[l - 1].data;
            const bool isSigmoid = layer.activation == Sigmoid;
            for (uint32_t j = 0; j < size; ++j) {
                float error;
                if (l == last) {
                    error = a[j] - t[j];
                } else {
                    const LayerInfo& above = net.layers[l + 1];
                    const uint32_t sizeAbove = layerSize(net, l + 1);
                    error = 0.0f;
                    for (uint32_t k = 0; k < sizeAbove; ++k) {
                        error += params[above.weightOffset + static_cast<uint64_t>(k) * size + j] * deltaAbove[k];
                    }
                }
                const float d = (isSigmoid ? sigmoidDerivative(z[j]) : reluDerivative(z[j])) * error;
                delta[j] = d;
                net.biasGradients[l][j] += d;
                float* weightGradient = net.weightGradients[l][j].data;
                for (uint32_t i = 0; i < fanIn; ++i) weightGradient[i] += below[i] * d;
            }
            float* swap = delta;
            delta = deltaAbove;
            deltaAbove = swap;
        }
    }

    // One update per mini-batch: the mean gradient times the layer's rate.
    for (uint64_t l = 1; l < layerCount; ++l) {
        const LayerInfo& layer = net.layers[l];
        const uint32_t size = layerSize(net, l);
        const uint32_t fanIn = layerSize(net, l - 1);
        const float step = learningRate(layer.activation) * kBatchScale;
        for (uint32_t j = 0; j < size; ++j) {
            params[layer.biasOffset + j] -= net.biasGradients[l][j] * step;
            float* w = params + layer.weightOffset + static_cast<uint64_t>(j) * fanIn;
            const float* weightGradient = net.weightGradients[l][j].data;
            for (uint32_t i = 0; i < fanIn; ++i) w[i] -= weightGradient[i] * step;
        }
    }
}

float measureError(Network& net, const WaveTable& table, Pcg32& rng) {
    Pcg32 local = rng;
    const float n = static_cast<float>(table.sampleCount);
    float sum = 0.0f;
    for (int p = 0; p < kErrorPoints; ++p) {
        const float phase = nextUnit(local);
        const float target = sampleWaveTable(table, phase * n);
        float output = 0.0f;
        evaluateNetwork(net, &phase, &output);
        sum += std::fabs(output - target);
    }
    rng = local;
    return sum * kErrorScale;
}

void shuffleTrainingSet(TrainingSet& set, Pcg32& rng) {
    Pcg32 local = rng;
    for (uint32_t k = 0; k < static_cast<uint32_t>(kTrainingPoints); ++k) {
        const uint32_t r = nextIndex(local, kTrainingPoints);
        const float input = set.inputs[k];
        set.inputs[k] = set.inputs[r];
        set.inputs[r] = input;
        const float target = set.targets[k];
        set.targets[k] = set.targets[r];
        set.targets[r] = target;
    }
    rng = local;
}

void trainEpochBatches(Network& net, const TrainingSet& set, TrainKernel kernel) {
    if (kernel == TrainKernel::Fast) {
        trainEpochBatchesFast(net, set, bestKernelVariant());
        return;
    }
    const uint32_t inputSize = layerSize(net, 0);
    const uint32_t outputSize = layerSize(net, net.layers.size - 1);
    const uint32_t batches = (kTrainingPoints / inputSize) / kBatchSize;
    for (uint32_t b = 0; b < batches; ++b) {
        const uint64_t first = static_cast<uint64_t>(b) * kBatchSize;
        trainBatch(net, set.inputs + first * inputSize, set.targets + first * outputSize);
    }
}

namespace {

struct Progress {
    int32_t* epochsTrained;
    int32_t endCount;
};

void printProgress(void* context, float error) {
    Progress& progress = *static_cast<Progress*>(context);
    ++*progress.epochsTrained;
    std::printf("Epoch %d / %d:  Total Error: %.2f%%\n", *progress.epochsTrained, progress.endCount,
                static_cast<double>(error));
}

}  // namespace

float trainEpochs(Network& net, TrainingSet& set, const WaveTable& table, Pcg32& rng, int epochs,
                  int32_t& epochsTrained, TrainKernel kernel) {
    Progress progress{&epochsTrained, epochsTrained + epochs};
    float lastError = 0.0f;
    if (kernel == TrainKernel::Fast) {
        lastError = trainEpochsFast(net, set, table, rng, epochs, bestKernelVariant(), printProgress, &progress);
    } else {
        for (int e = 0; e < epochs; ++e) {
            trainEpochBatches(net, set, kernel);
            lastError = measureError(net, table, rng);
            printProgress(&progress, lastError);
            shuffleTrainingSet(set, rng);
        }
    }
    std::fflush(stdout);
    return lastError;
}
