#include "nn/train_fast.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "nn/train_fast_kernels.h"
#include "nn/training.h"

#if defined(NETTRAINER_X86_KERNELS) && defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

static_assert(kFastMaxLayers == kMaxLayers, "the plan holds every layer a network can have");
static_assert(kFastBatch == kBatchSize, "the kernels are unrolled for this batch size");

namespace {

// Four lanes in plain C++: what every processor runs, vectorized by the
// compiler where it can.
struct PortableOps {
    struct V {
        float lane[4];
    };
    static constexpr int kWidth = 4;
    static constexpr int kRowBlock = 4;
    static constexpr int kAccumulators = 8;
    static constexpr bool kPairedGradient = false;
    static constexpr bool kInterleaveFour = false;

    static V load(const float* p) {
        V v;
        for (int i = 0; i < 4; ++i) v.lane[i] = p[i];
        return v;
    }
    static void store(float* p, V v) {
        for (int i = 0; i < 4; ++i) p[i] = v.lane[i];
    }
    static V set1(float x) { return V{{x, x, x, x}}; }
    static V zero() { return set1(0.0f); }
    static V add(V a, V b) {
        for (int i = 0; i < 4; ++i) a.lane[i] = a.lane[i] + b.lane[i];
        return a;
    }
    static V sub(V a, V b) {
        for (int i = 0; i < 4; ++i) a.lane[i] = a.lane[i] - b.lane[i];
        return a;
    }
    static V mul(V a, V b) {
        for (int i = 0; i < 4; ++i) a.lane[i] = a.lane[i] * b.lane[i];
        return a;
    }
    static V relu(V z) {
        for (int i = 0; i < 4; ++i) z.lane[i] = z.lane[i] > 0.0f ? z.lane[i] : 0.0f;
        return z;
    }
    // The ReLU derivative taken from the activation a, times z.
    static V reluDerivativeTimes(V a, V z) { return mul(positiveMask(a), z); }
    static V positiveMask(V a) {
        for (int i = 0; i < 4; ++i) a.lane[i] = a.lane[i] > 0.0f ? 1.0f : 0.0f;
        return a;
    }
    static V loadPartial(const float* p, uint32_t count) {
        V v = zero();
        for (uint32_t i = 0; i < count; ++i) v.lane[i] = p[i];
        return v;
    }
    static void storePartial(float* p, V v, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) p[i] = v.lane[i];
    }
    static float lane(V v, uint32_t k) { return v.lane[k]; }
    static V sigmoid(V z) {
        for (int i = 0; i < 4; ++i) z.lane[i] = fastkernel::sigmoidOf<PortableOps>(z.lane[i]);
        return z;
    }
    static void transpose(float* transposed, uint32_t stride, const float* values, uint32_t size) {
        for (uint32_t j = 0; j < size; ++j) {
            for (int s = 0; s < kFastBatch; ++s) transposed[static_cast<uint64_t>(s) * stride + j] = values[j * kFastBatch + s];
        }
        for (int s = 0; s < kFastBatch; ++s) transposed[static_cast<uint64_t>(s) * stride + size] = 1.0f;
    }
};

void fastBatchPortable(const FastPlan& plan, const float* inputs, const float* targets) {
    fastkernel::trainBatch<PortableOps>(plan, inputs, targets);
}

void fastForwardPortable(const FastPlan& plan, const float* inputs) {
    fastkernel::forwardBatch<PortableOps>(plan, inputs);
}

uint64_t roundUp(uint64_t n, uint64_t multiple) { return (n + multiple - 1) / multiple * multiple; }

uint32_t transposedStride(uint32_t size) {
    return static_cast<uint32_t>(roundUp(static_cast<uint64_t>(size) + 1, kFastRowAlign));
}

// Carves the scratch into the plan's buffers (each block a multiple of 16
// floats, the first aligned to 64 bytes). Without `scratch` it only counts.
uint64_t layOutScratch(const Network& net, float* scratch, FastPlan* plan) {
    const uint64_t layerCount = net.layers.size;
    uint64_t used = 0;
    const auto take = [&](uint64_t floats) {
        float* p = scratch != nullptr ? scratch + used : nullptr;
        used += roundUp(floats, kFastRowAlign);
        return p;
    };
    uint32_t largest = 0;
    for (uint64_t l = 0; l < layerCount; ++l) {
        const uint32_t size = layerSize(net, l);
        if (size > largest) largest = size;
        float* values = take(roundUp(size, kFastRowAlign) * kFastBatch);
        float* transposed = l + 1 < layerCount ? take(static_cast<uint64_t>(kFastBatch) * transposedStride(size)) : nullptr;
        if (plan == nullptr) continue;
        FastLayer& layer = plan->layers[l];
        const LayerInfo& info = net.layers[l];
        layer.size = size;
        layer.fanIn = l > 0 ? layerSize(net, l - 1) : 0;
        layer.transposedStride = transposedStride(size);
        layer.sigmoid = info.activation == Sigmoid;
        layer.step = learningRate(info.activation) * kBatchScale;
        layer.biases = net.params + info.biasOffset;
        layer.weights = net.params + info.weightOffset;
        layer.values = values;
        layer.transposed = transposed;
    }
    float* deltaA = take(roundUp(largest, kFastRowAlign) * kFastBatch);
    float* deltaB = take(roundUp(largest, kFastRowAlign) * kFastBatch);
    float* deltaTransposed = take(static_cast<uint64_t>(kFastBatch) * transposedStride(largest));
    if (plan != nullptr) {
        plan->deltaTransposed = deltaTransposed;
        plan->deltaTransposedStride = transposedStride(largest);
        plan->layerCount = static_cast<int>(layerCount);
        plan->deltaA = deltaA;
        plan->deltaB = deltaB;
    }
    return used;
}

// The plan over the network's scratch, with every transposed input set to
// 0 beyond its values and 1 in the bias column, the rows that pad each
// layer's values set the same way (1 in the first, 0 after), and the deltas
// and transposed deltas to 0. False if the network can't take the fast path.
bool preparePlan(Network& net, FastPlan& plan) {
    const uint64_t layerCount = net.layers.size;
    if (layerCount < 2 || layerCount > static_cast<uint64_t>(kFastMaxLayers) || net.params == nullptr) return false;
    if (layerSize(net, 0) == 0) return false;
    const uint64_t needed = layOutScratch(net, nullptr, nullptr);
    if (needed + kFastRowAlign > net.fastScratch.size) return false;
    float* base = net.fastScratch.data;
    const uintptr_t misalignment = reinterpret_cast<uintptr_t>(base) % 64;
    if (misalignment != 0) base += (64 - misalignment) / sizeof(float);
    layOutScratch(net, base, &plan);
    for (int l = 0; l < plan.layerCount; ++l) {
        const FastLayer& layer = plan.layers[l];
        const uint64_t rows = roundUp(layer.size, kFastRowAlign);
        for (uint64_t j = layer.size; j < rows; ++j) {
            for (int s = 0; s < kFastBatch; ++s) layer.values[j * kFastBatch + s] = j == layer.size ? 1.0f : 0.0f;
        }
    }
    uint32_t largest = 0;
    for (int l = 0; l < plan.layerCount; ++l) largest = plan.layers[l].size > largest ? plan.layers[l].size : largest;
    const uint64_t deltaFloats = roundUp(largest, kFastRowAlign) * kFastBatch;
    for (uint64_t i = 0; i < deltaFloats; ++i) {
        plan.deltaA[i] = 0.0f;
        plan.deltaB[i] = 0.0f;
    }
    for (int l = 0; l + 1 < plan.layerCount; ++l) {
        const FastLayer& layer = plan.layers[l];
        for (int s = 0; s < kFastBatch; ++s) {
            float* row = layer.transposed + static_cast<uint64_t>(s) * layer.transposedStride;
            for (uint32_t i = 0; i < layer.transposedStride; ++i) row[i] = i == layer.size ? 1.0f : 0.0f;
        }
    }
    // Transposes write only a layer's own columns; the lanes after them are
    // loaded and then dropped, and are better finite than whatever was there.
    for (uint64_t i = 0; i < static_cast<uint64_t>(kFastBatch) * plan.deltaTransposedStride; ++i) {
        plan.deltaTransposed[i] = 0.0f;
    }
    return true;
}

#if defined(NETTRAINER_X86_KERNELS)
struct CpuFeatures {
    bool avx2 = false;    // with FMA, as the AVX2 kernels are built
    bool avx512 = false;  // F, BW, DQ and VL
};

CpuFeatures detectCpu() {
    CpuFeatures f;
#if defined(_MSC_VER) && !defined(__clang__)
    int regs[4] = {};
    __cpuid(regs, 0);
    if (regs[0] < 7) return f;
    __cpuid(regs, 1);
    const bool osxsave = (regs[2] & (1 << 27)) != 0;
    const bool avx = (regs[2] & (1 << 28)) != 0;
    const bool fma = (regs[2] & (1 << 12)) != 0;
    if (!osxsave || !avx) return f;
    const unsigned long long xcr0 = _xgetbv(0);
    __cpuidex(regs, 7, 0);
    const unsigned ebx = static_cast<unsigned>(regs[1]);
    const bool ymmState = (xcr0 & 0x6) == 0x6;
    const bool zmmState = (xcr0 & 0xE6) == 0xE6;
    f.avx2 = ymmState && fma && (ebx & (1u << 5)) != 0;
    const unsigned avx512Bits = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);  // F, DQ, BW, VL
    f.avx512 = f.avx2 && zmmState && (ebx & avx512Bits) == avx512Bits;
#else
    __builtin_cpu_init();
    f.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    f.avx512 = f.avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#endif
    return f;
}
#endif

FastBatchFunction batchFunction(KernelVariant variant) {
#if defined(NETTRAINER_X86_KERNELS)
    if (variant == KernelVariant::Avx512) return fastBatchAvx512;
    if (variant == KernelVariant::Avx2) return fastBatchAvx2;
#else
    (void)variant;
#endif
    return fastBatchPortable;
}

using FastForwardFunction = void (*)(const FastPlan& plan, const float* inputs);

FastForwardFunction forwardFunction(KernelVariant variant) {
#if defined(NETTRAINER_X86_KERNELS)
    if (variant == KernelVariant::Avx512) return fastForwardAvx512;
    if (variant == KernelVariant::Avx2) return fastForwardAvx2;
#else
    (void)variant;
#endif
    return fastForwardPortable;
}

// Trains `batches` mini-batches in one fused AVX-512 call if the network
// has a shape the fused paths take; false if it has not (nothing trained).
bool fusedBatches(const FastPlan& plan, KernelVariant variant, const float* inputs, const float* targets,
                  uint32_t batches, bool interleaved) {
#if defined(NETTRAINER_X86_KERNELS)
    if (variant == KernelVariant::Avx512 && fusedShape(plan)) {
        fusedBatchesAvx512(plan, inputs, targets, batches, interleaved);
        return true;
    }
    if (variant == KernelVariant::Avx512 && wideFusedShape(plan)) {
        wideFusedBatchesAvx512(plan, inputs, targets, batches, interleaved);
        return true;
    }
#else
    (void)plan, (void)variant, (void)inputs, (void)targets, (void)batches, (void)interleaved;
#endif
    return false;
}

// The exchanges of shuffleTrainingSet, on the interleaved pairs: each
// exchange moves one 8-byte pair instead of two floats in two arrays. With
// AVX-512 the vector generator draws the positions alongside the exchanges;
// otherwise they are drawn a chunk ahead, so the exchanges don't wait on the
// generator's serial steps.
void shufflePairs(float* pairs, Pcg32& rng, KernelVariant variant) {
    constexpr uint32_t kPoints = static_cast<uint32_t>(kTrainingPoints);
    uint32_t done = 0;
#if defined(NETTRAINER_X86_KERNELS)
    if (variant == KernelVariant::Avx512) {
        done = shufflePairsAvx512(pairs, &rng.state, kPcgMultiplier, kPcgIncrement, kPoints);
    }
#else
    (void)variant;
#endif
    constexpr uint32_t kChunk = 1024;
    uint32_t positions[kChunk];
    for (uint32_t first = done; first < kPoints; first += kChunk) {
        const uint32_t count = kPoints - first < kChunk ? kPoints - first : kChunk;
        for (uint32_t i = 0; i < count; ++i) positions[i] = nextIndex(rng, kPoints);
        for (uint32_t i = 0; i < count; ++i) {
            float* here = pairs + 2 * static_cast<uint64_t>(first + i);
            float* there = pairs + 2 * static_cast<uint64_t>(positions[i]);
            uint64_t a = 0;
            uint64_t b = 0;
            std::memcpy(&a, here, sizeof a);
            std::memcpy(&b, there, sizeof b);
            std::memcpy(here, &b, sizeof b);
            std::memcpy(there, &a, sizeof a);
        }
    }
}

void splitPairs(KernelVariant variant, const float* pairs, float* inputs, float* targets) {
#if defined(NETTRAINER_X86_KERNELS)
    if (variant == KernelVariant::Avx512) {
        splitPairsAvx512(pairs, inputs, targets);
        return;
    }
#else
    (void)variant;
#endif
    for (int s = 0; s < kFastBatch; ++s) {
        inputs[s] = pairs[2 * s];
        targets[s] = pairs[2 * s + 1];
    }
}

// One epoch's mini-batches from the interleaved pairs of a network with one
// input and one output.
void pairBatches(const FastPlan& plan, const float* pairs, KernelVariant variant) {
    const uint32_t batches = kTrainingPoints / kBatchSize;
    if (fusedBatches(plan, variant, pairs, nullptr, batches, true)) return;
    const FastBatchFunction batch = batchFunction(variant);
    alignas(64) float inputs[kFastBatch];
    alignas(64) float targets[kFastBatch];
    for (uint32_t b = 0; b < batches; ++b) {
        splitPairs(variant, pairs + static_cast<uint64_t>(b) * 2 * kFastBatch, inputs, targets);
        batch(plan, inputs, targets);
    }
}

}  // namespace

const char* kernelVariantName(KernelVariant variant) {
    switch (variant) {
        case KernelVariant::Avx512: return "avx512";
        case KernelVariant::Avx2: return "avx2";
        case KernelVariant::Portable: break;
    }
    return "portable";
}

bool kernelVariantAvailable(KernelVariant variant) {
    if (variant == KernelVariant::Portable) return true;
#if defined(NETTRAINER_X86_KERNELS)
    static const CpuFeatures cpu = detectCpu();
    if (variant == KernelVariant::Avx512) return cpu.avx512;
    if (variant == KernelVariant::Avx2) return cpu.avx2;
#endif
    return false;
}

KernelVariant bestKernelVariant() {
    if (kernelVariantAvailable(KernelVariant::Avx512)) return KernelVariant::Avx512;
    if (kernelVariantAvailable(KernelVariant::Avx2)) return KernelVariant::Avx2;
    return KernelVariant::Portable;
}

uint64_t fastScratchFloats(const Network& net) {
    if (net.layers.size > static_cast<uint64_t>(kFastMaxLayers)) return 0;
    // Room to move the start to a 64-byte boundary.
    return layOutScratch(net, nullptr, nullptr) + kFastRowAlign;
}

bool fastKernelReady(Network& net) {
    FastPlan plan;
    return preparePlan(net, plan);
}

void trainEpochBatchesFast(Network& net, const TrainingSet& set, KernelVariant variant) {
    FastPlan plan;
    if (!kernelVariantAvailable(variant) || !preparePlan(net, plan)) {
        trainEpochBatches(net, set, TrainKernel::Reference);
        return;
    }
    if (fusedBatches(plan, variant, set.inputs, set.targets, kTrainingPoints / kBatchSize, false)) return;
    const FastBatchFunction batch = batchFunction(variant);
    const uint32_t inputSize = plan.layers[0].size;
    const uint32_t outputSize = plan.layers[plan.layerCount - 1].size;
    const uint32_t batches = (kTrainingPoints / inputSize) / kBatchSize;
    for (uint32_t b = 0; b < batches; ++b) {
        const uint64_t first = static_cast<uint64_t>(b) * kBatchSize;
        batch(plan, set.inputs + first * inputSize, set.targets + first * outputSize);
    }
}

void trainBatchFast(Network& net, const float* inputs, const float* targets, KernelVariant variant) {
    FastPlan plan;
    if (!kernelVariantAvailable(variant) || !preparePlan(net, plan)) {
        trainBatch(net, inputs, targets);
        return;
    }
    if (fusedBatches(plan, variant, inputs, targets, 1, false)) return;
    batchFunction(variant)(plan, inputs, targets);
}

namespace {

// The error measurement with a plan already laid out over the network's
// scratch, for one input and one output.
float measureErrorWithPlan(const FastPlan& plan, const WaveTable& table, Pcg32& rng, KernelVariant variant) {
    const FastForwardFunction forward = forwardFunction(variant);
    const float* outputs = plan.layers[plan.layerCount - 1].values;
    Pcg32 local = rng;
    const float n = static_cast<float>(table.sampleCount);
    float sum = 0.0f;
    for (int first = 0; first < kErrorPoints; first += kBatchSize) {
        const int count = kErrorPoints - first < kBatchSize ? kErrorPoints - first : kBatchSize;
        float phases[kBatchSize] = {};
        float targets[kBatchSize] = {};
        for (int p = 0; p < count; ++p) {
            phases[p] = nextUnit(local);
            targets[p] = sampleWaveTable(table, phases[p] * n);
        }
        forward(plan, phases);
        for (int p = 0; p < count; ++p) sum += std::fabs(outputs[p] - targets[p]);
    }
    rng = local;
    return sum * kErrorScale;
}

}  // namespace

float measureErrorFast(Network& net, const WaveTable& table, Pcg32& rng, KernelVariant variant) {
    FastPlan plan;
    if (!kernelVariantAvailable(variant) || !preparePlan(net, plan) || plan.layers[0].size != 1 ||
        plan.layers[plan.layerCount - 1].size != 1) {
        return measureError(net, table, rng);
    }
    return measureErrorWithPlan(plan, table, rng, variant);
}

void sigmoidWithKernel(KernelVariant variant, const float* z, float* out, uint64_t count) {
#if defined(NETTRAINER_X86_KERNELS)
    if (variant == KernelVariant::Avx512 && kernelVariantAvailable(variant)) {
        fastSigmoidAvx512(z, out, count);
        return;
    }
    if (variant == KernelVariant::Avx2 && kernelVariantAvailable(variant)) {
        fastSigmoidAvx2(z, out, count);
        return;
    }
#else
    (void)variant;
#endif
    fastkernel::sigmoidArray<PortableOps>(z, out, count);
}

float trainEpochsFast(Network& net, TrainingSet& set, const WaveTable& table, Pcg32& rng, int epochs,
                      KernelVariant variant, EpochReport report, void* context) {
    FastPlan plan;
    const bool paired = set.pairs != nullptr && kernelVariantAvailable(variant) && preparePlan(net, plan) &&
                        plan.layers[0].size == 1 && plan.layers[plan.layerCount - 1].size == 1;
    if (paired) {
        for (int i = 0; i < kTrainingPoints; ++i) {
            set.pairs[2 * i] = set.inputs[i];
            set.pairs[2 * i + 1] = set.targets[i];
        }
    }
    float error = 0.0f;
    for (int e = 0; e < epochs; ++e) {
        if (paired) {
            pairBatches(plan, set.pairs, variant);
        } else {
            trainEpochBatchesFast(net, set, variant);
        }
        // The paired path has the plan the measurement needs; laying it out
        // again would cost more than a tenth of the measurement.
        error = paired ? measureErrorWithPlan(plan, table, rng, variant) : measureErrorFast(net, table, rng, variant);
        if (report != nullptr) report(context, error);
        if (paired) {
            shufflePairs(set.pairs, rng, variant);
        } else {
            shuffleTrainingSet(set, rng);
        }
    }
    if (paired) {
        for (int i = 0; i < kTrainingPoints; ++i) {
            set.inputs[i] = set.pairs[2 * i];
            set.targets[i] = set.pairs[2 * i + 1];
        }
    }
    return error;
}
