#pragma once

// The mini-batch kernels, written once over a small set of vector operations
// and instantiated per instruction set by the files that include this header
// (each with its own compiler flags). Everything here is a template or has
// internal linkage, so code built for one instruction set can never stand in
// for another's at link time. For the same reason this header includes
// nothing but plain C headers and knows the network only through FastPlan.
//
// Layout: the 32 samples of a mini-batch lie across the vector lanes.
// - Forward and the backward error sums run one neuron per row and the 32
//   samples along the row, so every row is whole vectors whatever the layer
//   size, and each sample's sum is added in the reference loop's order.
// - The gradient sums run over the samples, one after the other in the
//   reference order, so there the lanes hold the inputs of the layer instead:
//   they read a transposed copy of the layer input whose column after the
//   last input is 1.0, which turns the bias gradient into one more weight
//   gradient (1 * delta is exact). The update is applied as each gradient
//   vector is finished. Where the inputs fill whole vectors (no spare lane
//   for the bias) the biases, and where the inputs would fill few lanes (a
//   single input, or a wide layer over a narrow one) the whole gradient,
//   put the neurons across the lanes instead, reading a transposed copy of
//   the deltas. An instruction set with kPairedGradient handles inputs that
//   fill at most half a vector with two neurons per vector instead.

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_MSC_VER) && !defined(__clang__)
#define NT_NOINLINE __declspec(noinline)
#else
#define NT_NOINLINE __attribute__((noinline))
#endif

constexpr int kFastBatch = 32;
constexpr int kFastMaxLayers = 10;
// Transposed rows are padded to a multiple of this many floats: the widest
// vector, so every kernel reads whole vectors. The values and deltas are
// padded to a multiple of this many rows, so a transpose can read whole
// tiles of rows.
constexpr uint32_t kFastRowAlign = 16;

struct FastLayer {
    uint32_t size = 0;
    uint32_t fanIn = 0;
    uint32_t transposedStride = 0;  // floats per sample in `transposed`
    bool sigmoid = false;
    float step = 0.0f;               // learning rate times 1/32
    float* biases = nullptr;         // (size) inside params
    float* weights = nullptr;        // (size, fanIn) inside params
    float* values = nullptr;         // (size, 32) outputs, a neuron's samples together, then a row
                                     // of 1.0 and rows of 0 up to a multiple of kFastRowAlign rows
    float* transposed = nullptr;     // (32, transposedStride) outputs, then 1.0, then 0s
};

struct FastPlan {
    int layerCount = 0;
    FastLayer layers[kFastMaxLayers];
    // (largest, 32) and padding rows, which hold whatever a wider layer
    // left there (0 at first): a transpose may copy them into the lanes
    // past a layer's deltas, which every reader drops.
    float* deltaA = nullptr;
    float* deltaB = nullptr;
    float* deltaTransposed = nullptr;  // (32, deltaTransposedStride) one layer's deltas by sample
    uint32_t deltaTransposedStride = 0;
};

using FastBatchFunction = void (*)(const FastPlan& plan, const float* inputs, const float* targets);

// Entry points of the instruction-set files (x86-64 builds only).
void fastBatchAvx2(const FastPlan& plan, const float* inputs, const float* targets);
void fastBatchAvx512(const FastPlan& plan, const float* inputs, const float* targets);
void fastForwardAvx2(const FastPlan& plan, const float* inputs);
void fastForwardAvx512(const FastPlan& plan, const float* inputs);
void fastSigmoidAvx2(const float* z, float* out, uint64_t count);
// `batches` consecutive mini-batches of a network fusedShape accepts, all in
// one call that keeps the parameters in its own layout in between. With
// `interleaved`, `inputs` holds the pairs side by side (input, target, ...)
// and `targets` is not read.
void fusedBatchesAvx512(const FastPlan& plan, const float* inputs, const float* targets, uint32_t batches,
                        bool interleaved);

// One input, one sigmoid output and 1 to 8 ReLU hidden layers of 1 to 8
// neurons: small enough for the fused mini-batch.
inline bool fusedShape(const FastPlan& plan) {
    const int hidden = plan.layerCount - 2;
    if (hidden < 1 || hidden > kFastMaxLayers - 2) return false;
    if (plan.layers[0].size != 1 || plan.layers[hidden + 1].size != 1 || !plan.layers[hidden + 1].sigmoid) return false;
    for (int l = 1; l <= hidden; ++l) {
        if (plan.layers[l].size < 1 || plan.layers[l].size > 8 || plan.layers[l].sigmoid) return false;
    }
    return true;
}
// The same for networks fusedShape turns down only for middle hidden layers
// of 9 to 16 neurons: the first and last hidden layers at most 8. (With 24
// or 32 neurons per middle layer the fused batch measured slower than the
// layered kernels.)
void wideFusedBatchesAvx512(const FastPlan& plan, const float* inputs, const float* targets, uint32_t batches,
                            bool interleaved);

inline bool wideFusedShape(const FastPlan& plan) {
    const int hidden = plan.layerCount - 2;
    if (hidden < 3 || hidden > kFastMaxLayers - 2 || fusedShape(plan)) return false;
    if (plan.layers[0].size != 1 || plan.layers[hidden + 1].size != 1 || !plan.layers[hidden + 1].sigmoid) return false;
    for (int l = 1; l <= hidden; ++l) {
        const uint32_t bound = l == 1 || l == hidden ? 8 : 16;
        if (plan.layers[l].size < 1 || plan.layers[l].size > bound || plan.layers[l].sigmoid) return false;
    }
    return true;
}
void fastSigmoidAvx512(const float* z, float* out, uint64_t count);
// 32 interleaved pairs split into 32 inputs and 32 targets (64-byte aligned).
void splitPairsAvx512(const float* pairs, float* inputs, float* targets);
// The next `count` (a multiple of 8) outputs of the PCG32 generator whose
// state is *state, each reduced modulo n, and *state advanced past them.
void pcgIndicesAvx512(uint64_t* state, uint64_t multiplier, uint64_t increment, uint32_t n, uint32_t* out,
                      uint32_t count);
// The first n / 8 * 8 exchanges of the shuffle of n interleaved pairs:
// position k with the generator's next output modulo n, k from 0 up, and
// *state advanced past those outputs. Returns how many it made.
uint32_t shufflePairsAvx512(float* pairs, uint64_t* state, uint64_t multiplier, uint64_t increment, uint32_t n);

namespace fastkernel {

enum class RowEpilogue { Relu, Sigmoid, ReluDerivative, SigmoidDerivative };

// The reference sigmoid of one value, for lanes the vector version leaves.
template <typename S>
inline float sigmoidOf(float x) {
    const float e = static_cast<float>(exp(-static_cast<double>(x)));
    return 1.0f / (e + 1.0f);
}

// The vector sigmoids compute exp(-z) in double precision to within a few
// units in the last place of a double and round it to float, which gives
// the C library's result unless the double lies within a hair of the middle
// between two floats. Lanes that close to a tie, and lanes whose result would
// not be a normal float or is not a number, go through sigmoidOf instead, so
// every lane equals the reference.
constexpr double kExpLimit = 87.0;              // exp(+-87) stays a normal float
constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2High = 0.693145751953125;  // few bits, so n * kLn2High is exact
constexpr double kLn2Low = 1.4286068203094173e-06;
constexpr int64_t kTieHalfWidth = 64;  // units of the last double place around a float tie
// Taylor coefficients 1/k! for k = 13 down to 2.
constexpr double kExpTaylor[12] = {
    1.0 / 6227020800.0, 1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0,
    1.0 / 362880.0,     1.0 / 40320.0,     1.0 / 5040.0,     1.0 / 720.0,
    1.0 / 120.0,        1.0 / 24.0,        1.0 / 6.0,        0.5};

// out[r][s] = epilogue(start_r + sum over c of coef[r * rowStride + c * colStride] * in[c][s])
// for JB rows r and all 32 samples s; the sum runs over c in order. The start
// is the row's bias, or 0 without biases. The derivative epilogues multiply
// by the derivative taken from derivFrom[r][s], the rows' activation values.
template <typename S, int JB, RowEpilogue E>
NT_NOINLINE void rowBlock(float* out, const float* in, const float* coef, size_t rowStride,
                          size_t colStride, uint32_t cols, const float* biases, const float* derivFrom) {
    using V = typename S::V;
    constexpr int W = S::kWidth;
    for (int g = 0; g < kFastBatch; g += 2 * W) {
        V acc[JB][2];
        for (int r = 0; r < JB; ++r) {
            const V start = E == RowEpilogue::Relu || E == RowEpilogue::Sigmoid ? S::set1(biases[r]) : S::zero();
            acc[r][0] = start;
            acc[r][1] = start;
        }
        const float* x = in + g;
        const float* c = coef;
        for (uint32_t col = 0; col < cols; ++col) {
            const V x0 = S::load(x);
            const V x1 = S::load(x + W);
            for (int r = 0; r < JB; ++r) {
                const V w = S::set1(c[r * rowStride]);
                acc[r][0] = S::add(acc[r][0], S::mul(w, x0));
                acc[r][1] = S::add(acc[r][1], S::mul(w, x1));
            }
            x += kFastBatch;
            c += colStride;
        }
        for (int r = 0; r < JB; ++r) {
            for (int h = 0; h < 2; ++h) {
                float* dst = out + r * kFastBatch + g + h * W;
                const V z = acc[r][h];
                if constexpr (E == RowEpilogue::Relu) {
                    S::store(dst, S::relu(z));
                } else if constexpr (E == RowEpilogue::Sigmoid) {
                    S::store(dst, S::sigmoid(z));
                } else if constexpr (E == RowEpilogue::ReluDerivative) {
                    const V a = S::load(derivFrom + r * kFastBatch + g + h * W);
                    S::store(dst, S::reluDerivativeTimes(a, z));
                } else {
                    const V a = S::load(derivFrom + r * kFastBatch + g + h * W);
                    const V derivative = S::mul(S::sub(S::set1(1.0f), a), a);
                    S::store(dst, S::mul(derivative, z));
                }
            }
        }
    }
}

// Rows from `first` on in blocks of JB, for as long as whole blocks fit;
// returns the first row not done.
template <typename S, int JB, RowEpilogue E>
uint32_t rowBlocks(uint32_t first, float* out, const float* in, const float* coef, size_t rowStride,
                   size_t colStride, uint32_t rows, uint32_t cols, const float* biases, const float* derivFrom) {
    uint32_t r = first;
    for (; r + JB <= rows; r += JB) {
        rowBlock<S, JB, E>(out + static_cast<size_t>(r) * kFastBatch, in, coef + r * rowStride, rowStride,
                           colStride, cols, biases != nullptr ? biases + r : nullptr,
                           derivFrom != nullptr ? derivFrom + static_cast<size_t>(r) * kFastBatch : nullptr);
    }
    return r;
}

// With 32 vector registers, the last block of 8 rows takes up to 3 rows
// left after it: a block of 1 to 3 rows has too few sums to hide the latency
// of its additions, and costs a call of its own.
template <typename S>
constexpr bool mergesShortTail(uint32_t rows, uint32_t block) {
    return S::kWidth == 16 && block == 8 && rows > block && rows % block >= 1 && rows % block <= 3;
}

template <typename S, RowEpilogue E>
void rowsWith(float* out, const float* in, const float* coef, size_t rowStride, size_t colStride,
              uint32_t rows, uint32_t cols, const float* biases, const float* derivFrom) {
    if constexpr (S::kWidth == 16 && S::kRowBlock == 8) {
        if (mergesShortTail<S>(rows, 8)) {
            const uint32_t tail = rows % 8;
            const uint32_t r = rowBlocks<S, 8, E>(0, out, in, coef, rowStride, colStride, rows - 8 - tail, cols,
                                                  biases, derivFrom);
            switch (tail) {
                case 1: rowBlocks<S, 9, E>(r, out, in, coef, rowStride, colStride, rows, cols, biases, derivFrom); break;
                case 2: rowBlocks<S, 10, E>(r, out, in, coef, rowStride, colStride, rows, cols, biases, derivFrom); break;
                default: rowBlocks<S, 11, E>(r, out, in, coef, rowStride, colStride, rows, cols, biases, derivFrom); break;
            }
            return;
        }
    }
    uint32_t r = rowBlocks<S, S::kRowBlock, E>(0, out, in, coef, rowStride, colStride, rows, cols, biases,
                                               derivFrom);
    if constexpr (S::kRowBlock > 4) {
        r = rowBlocks<S, 4, E>(r, out, in, coef, rowStride, colStride, rows, cols, biases, derivFrom);
    }
    if constexpr (S::kRowBlock > 2) {
        r = rowBlocks<S, 2, E>(r, out, in, coef, rowStride, colStride, rows, cols, biases, derivFrom);
    }
    rowBlocks<S, 1, E>(r, out, in, coef, rowStride, colStride, rows, cols, biases, derivFrom);
}

template <typename S>
void rowsLayer(float* out, const float* in, const float* coef, size_t rowStride, size_t colStride,
               uint32_t rows, uint32_t cols, const float* biases, RowEpilogue epilogue,
               const float* derivFrom) {
    switch (epilogue) {
        case RowEpilogue::Relu:
            rowsWith<S, RowEpilogue::Relu>(out, in, coef, rowStride, colStride, rows, cols, biases, derivFrom);
            break;
        case RowEpilogue::Sigmoid:
            rowsWith<S, RowEpilogue::Sigmoid>(out, in, coef, rowStride, colStride, rows, cols, biases, derivFrom);
            break;
        case RowEpilogue::ReluDerivative:
            rowsWith<S, RowEpilogue::ReluDerivative>(out, in, coef, rowStride, colStride, rows, cols, biases,
                                                     derivFrom);
            break;
        case RowEpilogue::SigmoidDerivative:
            rowsWith<S, RowEpilogue::SigmoidDerivative>(out, in, coef, rowStride, colStride, rows, cols, biases,
                                                        derivFrom);
            break;
    }
}

// The gradients of JB neurons (rows of `weights`) for CV vectors of inputs
// from vector `firstVector` on, summed over the 32 samples in order, then
// applied: weight -= gradient * step. The vector that holds the bias column
// updates the row's last weights under a mask and the bias from its lane.
template <typename S, int JB, int CV>
NT_NOINLINE void gradientBlock(const float* transposed, uint32_t stride, const float* delta,
                               uint32_t firstVector, float* weights, float* biases, uint32_t fanIn,
                               float step) {
    using V = typename S::V;
    constexpr int W = S::kWidth;
    V acc[JB][CV];
    for (int r = 0; r < JB; ++r) {
        for (int v = 0; v < CV; ++v) acc[r][v] = S::zero();
    }
    const float* x = transposed + static_cast<size_t>(firstVector) * W;
    for (int s = 0; s < kFastBatch; ++s) {
        V in[CV];
        for (int v = 0; v < CV; ++v) in[v] = S::load(x + v * W);
        for (int r = 0; r < JB; ++r) {
            const V d = S::set1(delta[r * kFastBatch + s]);
            for (int v = 0; v < CV; ++v) acc[r][v] = S::add(acc[r][v], S::mul(in[v], d));
        }
        x += stride;
    }
    // Every weight of the block is read before any is written: a row's
    // partial last vector shares a cache line with the next row, and a load
    // behind a masked store to that line would wait for the store to retire.
    V w[JB][CV];
    for (int r = 0; r < JB; ++r) {
        const float* row = weights + static_cast<size_t>(r) * fanIn;
        for (int v = 0; v < CV; ++v) {
            const uint32_t i0 = (firstVector + static_cast<uint32_t>(v)) * W;
            w[r][v] = i0 + W <= fanIn ? S::load(row + i0) : S::loadPartial(row + i0, fanIn - i0);
        }
    }
    const V stepVector = S::set1(step);
    for (int r = 0; r < JB; ++r) {
        float* row = weights + static_cast<size_t>(r) * fanIn;
        for (int v = 0; v < CV; ++v) {
            const uint32_t i0 = (firstVector + static_cast<uint32_t>(v)) * W;
            const V updated = S::sub(w[r][v], S::mul(acc[r][v], stepVector));
            if (i0 + W <= fanIn) {
                S::store(row + i0, updated);
                continue;
            }
            S::storePartial(row + i0, updated, fanIn - i0);
            biases[r] -= S::lane(acc[r][v], fanIn - i0) * step;
        }
    }
}

template <typename S, int JB, int CV>
uint32_t gradientBlocks(uint32_t first, uint32_t rows, const float* transposed, uint32_t stride,
                        const float* delta, uint32_t firstVector, float* weights, float* biases,
                        uint32_t fanIn, float step) {
    uint32_t r = first;
    for (; r + JB <= rows; r += JB) {
        gradientBlock<S, JB, CV>(transposed, stride, delta + static_cast<size_t>(r) * kFastBatch, firstVector,
                                 weights + static_cast<size_t>(r) * fanIn, biases + r, fanIn, step);
    }
    return r;
}

template <typename S, int CV>
void gradientColumns(uint32_t rows, const float* transposed, uint32_t stride, const float* delta,
                     uint32_t firstVector, float* weights, float* biases, uint32_t fanIn, float step) {
    constexpr int JB = S::kAccumulators / CV > 0 ? S::kAccumulators / CV : 1;
    if constexpr (JB == 8) {
        if (mergesShortTail<S>(rows, 8)) {
            const uint32_t tail = rows % 8;
            const uint32_t r = gradientBlocks<S, 8, CV>(0, rows - 8 - tail, transposed, stride, delta, firstVector,
                                                        weights, biases, fanIn, step);
            switch (tail) {
                case 1: gradientBlocks<S, 9, CV>(r, rows, transposed, stride, delta, firstVector, weights, biases, fanIn, step); break;
                case 2: gradientBlocks<S, 10, CV>(r, rows, transposed, stride, delta, firstVector, weights, biases, fanIn, step); break;
                default: gradientBlocks<S, 11, CV>(r, rows, transposed, stride, delta, firstVector, weights, biases, fanIn, step); break;
            }
            return;
        }
    }
    uint32_t r = gradientBlocks<S, JB, CV>(0, rows, transposed, stride, delta, firstVector, weights, biases,
                                           fanIn, step);
    if constexpr (JB > 8) {
        r = gradientBlocks<S, 8, CV>(r, rows, transposed, stride, delta, firstVector, weights, biases, fanIn,
                                     step);
    }
    if constexpr (JB > 4) {
        r = gradientBlocks<S, 4, CV>(r, rows, transposed, stride, delta, firstVector, weights, biases, fanIn,
                                     step);
    }
    if constexpr (JB > 2) {
        r = gradientBlocks<S, 2, CV>(r, rows, transposed, stride, delta, firstVector, weights, biases, fanIn,
                                     step);
    }
    gradientBlocks<S, 1, CV>(r, rows, transposed, stride, delta, firstVector, weights, biases, fanIn, step);
}

// Bias gradients of up to C vectors of neurons from j0 on, summed over the
// samples in order from the transposed deltas, and applied.
template <typename S, int C>
void biasVectors(uint32_t j0, uint32_t rows, const float* deltaTransposed, uint32_t stride, float* biases,
                 float step) {
    using V = typename S::V;
    constexpr uint32_t W = S::kWidth;
    V acc[C];
    for (int c = 0; c < C; ++c) acc[c] = S::zero();
    const float* x = deltaTransposed + j0;
    for (int s = 0; s < kFastBatch; ++s) {
        for (int c = 0; c < C; ++c) acc[c] = S::add(acc[c], S::load(x + c * W));
        x += stride;
    }
    const V stepVector = S::set1(step);
    for (uint32_t c = 0; c < C; ++c) {
        const uint32_t j = j0 + c * W;
        if (j + W <= rows) {
            S::store(biases + j, S::sub(S::load(biases + j), S::mul(acc[c], stepVector)));
        } else if (j < rows) {
            S::storePartial(biases + j, S::sub(S::loadPartial(biases + j, rows - j), S::mul(acc[c], stepVector)),
                            rows - j);
        }
    }
}

// Bias gradients with the neurons across the lanes, from a transposed copy
// of the deltas.
template <typename S>
NT_NOINLINE void biasesFromDeltas(uint32_t rows, const float* delta, float* biases, float step,
                                  float* deltaTransposed, uint32_t stride) {
    constexpr uint32_t W = S::kWidth;
    S::transpose(deltaTransposed, stride, delta, rows);
    uint32_t j0 = 0;
    for (; j0 + 4 * W <= rows; j0 += 4 * W) biasVectors<S, 4>(j0, rows, deltaTransposed, stride, biases, step);
    switch ((rows - j0 + W - 1) / W) {
        case 3: biasVectors<S, 3>(j0, rows, deltaTransposed, stride, biases, step); break;
        case 2: biasVectors<S, 2>(j0, rows, deltaTransposed, stride, biases, step); break;
        case 1: biasVectors<S, 1>(j0, rows, deltaTransposed, stride, biases, step); break;
        default: break;
    }
}

// Gradients of up to C vectors of neurons from j0 on, for a layer with a
// single input, and their update.
template <typename S, int C>
void singleInputVectors(uint32_t j0, uint32_t rows, const float* input, const float* deltaTransposed,
                        uint32_t stride, float* weights, float* biases, float step) {
    using V = typename S::V;
    constexpr uint32_t W = S::kWidth;
    V weightAcc[C];
    V biasAcc[C];
    for (int c = 0; c < C; ++c) {
        weightAcc[c] = S::zero();
        biasAcc[c] = S::zero();
    }
    const float* d = deltaTransposed + j0;
    for (int s = 0; s < kFastBatch; ++s) {
        const V x = S::set1(input[s]);
        for (int c = 0; c < C; ++c) {
            const V dv = S::load(d + c * W);
            weightAcc[c] = S::add(weightAcc[c], S::mul(x, dv));
            biasAcc[c] = S::add(biasAcc[c], dv);
        }
        d += stride;
    }
    const V stepVector = S::set1(step);
    for (uint32_t c = 0; c < C; ++c) {
        const uint32_t j = j0 + c * W;
        if (j >= rows) break;
        const uint32_t count = rows - j < W ? rows - j : W;
        if (count == W) {
            S::store(weights + j, S::sub(S::load(weights + j), S::mul(weightAcc[c], stepVector)));
            S::store(biases + j, S::sub(S::load(biases + j), S::mul(biasAcc[c], stepVector)));
        } else {
            // The next mini-batch starts by loading these weights and biases
            // one by one. Loads from a masked store wait for it to retire,
            // so the few lanes go out as single floats instead.
            float updatedWeights[W];
            float updatedBiases[W];
            S::store(updatedWeights, S::sub(S::loadPartial(weights + j, count), S::mul(weightAcc[c], stepVector)));
            S::store(updatedBiases, S::sub(S::loadPartial(biases + j, count), S::mul(biasAcc[c], stepVector)));
            for (uint32_t k = 0; k < count; ++k) {
                weights[j + k] = updatedWeights[k];
                biases[j + k] = updatedBiases[k];
            }
        }
    }
}

// Gradient and update of a layer with a single input (the first hidden
// layer): its weights form one contiguous column, so neurons go across the
// lanes, reading transposed deltas, and the one input is broadcast.
template <typename S>
NT_NOINLINE void gradientSingleInput(uint32_t rows, const float* input, const float* delta, float* weights,
                                     float* biases, float step, float* deltaTransposed, uint32_t stride) {
    constexpr uint32_t W = S::kWidth;
    S::transpose(deltaTransposed, stride, delta, rows);
    uint32_t j0 = 0;
    for (; j0 + 4 * W <= rows; j0 += 4 * W) {
        singleInputVectors<S, 4>(j0, rows, input, deltaTransposed, stride, weights, biases, step);
    }
    switch ((rows - j0 + W - 1) / W) {
        case 3: singleInputVectors<S, 3>(j0, rows, input, deltaTransposed, stride, weights, biases, step); break;
        case 2: singleInputVectors<S, 2>(j0, rows, input, deltaTransposed, stride, weights, biases, step); break;
        case 1: singleInputVectors<S, 1>(j0, rows, input, deltaTransposed, stride, weights, biases, step); break;
        default: break;
    }
}

// Gradients of C vectors of neurons from j0 on for IB inputs from i0 on,
// with the neurons across the lanes: each input's value for a sample is
// broadcast from the layer below's values, the deltas come transposed. The
// biases are summed along with the first inputs.
template <typename S, int C, int IB>
NT_NOINLINE void neuronLanesBlock(uint32_t j0, uint32_t rows, const float* below, uint32_t i0,
                                  const float* deltaTransposed, uint32_t stride, float* weights, float* biases,
                                  uint32_t fanIn, float step, bool withBias) {
    using V = typename S::V;
    constexpr uint32_t W = S::kWidth;
    V acc[IB][C];
    V biasAcc[C];
    for (int c = 0; c < C; ++c) {
        biasAcc[c] = S::zero();
        for (int i = 0; i < IB; ++i) acc[i][c] = S::zero();
    }
    const float* d = deltaTransposed + j0;
    const float* x = below + static_cast<size_t>(i0) * kFastBatch;
    for (int s = 0; s < kFastBatch; ++s) {
        V dv[C];
        for (int c = 0; c < C; ++c) dv[c] = S::load(d + c * W);
        for (int i = 0; i < IB; ++i) {
            const V xv = S::set1(x[i * kFastBatch + s]);
            for (int c = 0; c < C; ++c) acc[i][c] = S::add(acc[i][c], S::mul(xv, dv[c]));
        }
        if (withBias) {
            for (int c = 0; c < C; ++c) biasAcc[c] = S::add(biasAcc[c], dv[c]);
        }
        d += stride;
    }
    // Four inputs that are a neuron's whole row: the rows of a vector of
    // neurons lie end to end, and the sums, interleaved, update them whole.
    uint32_t whole = 0;
    if constexpr (S::kInterleaveFour && IB == 4) {
        if (fanIn == 4) {
            const V stepVector = S::set1(step);
            for (uint32_t c = 0; c < C && j0 + (c + 1) * W <= rows; ++c, ++whole) {
                V rowsOfSums[4];
                S::interleaveFour(acc[0][c], acc[1][c], acc[2][c], acc[3][c], rowsOfSums);
                float* w = weights + static_cast<size_t>(j0 + c * W) * 4;
                for (uint32_t m = 0; m < 4; ++m) {
                    S::store(w + m * W, S::sub(S::load(w + m * W), S::mul(rowsOfSums[m], stepVector)));
                }
            }
        }
    }
    // Otherwise a neuron's weights lie fanIn apart, so the sums go through
    // memory to be applied one by one.
    float sums[IB][C * W];
    for (int i = 0; i < IB; ++i) {
        for (int c = 0; c < C; ++c) S::store(&sums[i][c * W], acc[i][c]);
    }
    const uint32_t end = rows - j0 < C * W ? rows : j0 + C * W;
    for (uint32_t j = j0 + whole * W; j < end; ++j) {
        float* w = weights + static_cast<size_t>(j) * fanIn + i0;
        for (int i = 0; i < IB; ++i) w[i] -= sums[i][j - j0] * step;
    }
    if (!withBias) return;
    const V stepVector = S::set1(step);
    for (uint32_t c = 0; c < C; ++c) {
        const uint32_t j = j0 + c * W;
        if (j >= rows) break;
        const uint32_t count = rows - j < W ? rows - j : W;
        if (count == W) {
            S::store(biases + j, S::sub(S::load(biases + j), S::mul(biasAcc[c], stepVector)));
        } else {
            S::storePartial(biases + j, S::sub(S::loadPartial(biases + j, count), S::mul(biasAcc[c], stepVector)),
                            count);
        }
    }
}

template <typename S, int C>
void neuronLanesColumns(uint32_t j0, uint32_t rows, const float* below, const float* deltaTransposed,
                        uint32_t stride, float* weights, float* biases, uint32_t fanIn, float step) {
    uint32_t i0 = 0;
    for (; i0 + 4 <= fanIn; i0 += 4) {
        neuronLanesBlock<S, C, 4>(j0, rows, below, i0, deltaTransposed, stride, weights, biases, fanIn, step,
                                  i0 == 0);
    }
    for (; i0 < fanIn; ++i0) {
        neuronLanesBlock<S, C, 1>(j0, rows, below, i0, deltaTransposed, stride, weights, biases, fanIn, step,
                                  i0 == 0);
    }
}

// Whether a layer's gradient costs clearly less with its neurons across the
// lanes than with its inputs across them: so for wide layers over narrow
// ones, where the inputs would fill few lanes. Counted per mini-batch: vector
// multiply-adds, and the neuron layout's one-by-one updates at a quarter each.
template <typename S>
constexpr bool neuronLanesCheaper(uint32_t rows, uint32_t fanIn) {
    constexpr uint64_t W = S::kWidth;
    if (W == 1 || fanIn < 2) return false;
    const uint64_t inputVectors = fanIn % W != 0 ? fanIn / W + 1 : fanIn / W;
    const uint64_t byInputs = kFastBatch * rows * inputVectors;
    const uint64_t byNeurons = kFastBatch * ((rows + W - 1) / W) * (fanIn + 1) + uint64_t{rows} * fanIn / 4;
    return 4 * byNeurons < 3 * byInputs;
}

// Whether a layer's gradient reads the transposed copy of its input.
template <typename S>
constexpr bool gradientReadsTransposedInput(uint32_t rows, uint32_t fanIn) {
    return !(fanIn == 1 && S::kWidth > 1) && !neuronLanesCheaper<S>(rows, fanIn);
}

// Gradient and update of one layer: `delta` (rows, 32) of its neurons,
// `below` (fanIn, 32) its input and `transposed` the same with the bias
// column. When the inputs fill whole vectors the bias column would cost a
// vector of its own per neuron; the biases are then summed across neurons
// instead.
template <typename S>
void gradientLayer(uint32_t rows, const float* below, const float* transposed, uint32_t stride,
                   const float* delta, float* weights, float* biases, uint32_t fanIn, float step,
                   float* deltaTransposed, uint32_t deltaStride) {
    constexpr uint32_t W = S::kWidth;
    if (fanIn == 1 && W > 1) {
        gradientSingleInput<S>(rows, below, delta, weights, biases, step, deltaTransposed, deltaStride);
        return;
    }
    if constexpr (S::kPairedGradient) {
        // Inputs that fill at most half a vector: two neurons share one.
        if (fanIn >= 2 && 2 * fanIn <= W && rows >= 2 && !neuronLanesCheaper<S>(rows, fanIn)) {
            S::transpose(deltaTransposed, deltaStride, delta, rows);
            S::pairedGradient(rows, transposed, stride, deltaTransposed, deltaStride, weights, biases, fanIn, step);
            return;
        }
    }
    if (neuronLanesCheaper<S>(rows, fanIn)) {
        S::transpose(deltaTransposed, deltaStride, delta, rows);
        uint32_t j0 = 0;
        for (; j0 + W < rows; j0 += 2 * W) {
            neuronLanesColumns<S, 2>(j0, rows, below, deltaTransposed, deltaStride, weights, biases, fanIn, step);
        }
        if (j0 < rows) {
            neuronLanesColumns<S, 1>(j0, rows, below, deltaTransposed, deltaStride, weights, biases, fanIn, step);
        }
        return;
    }
    const bool biasInLastVector = fanIn % W != 0 || fanIn == 0;
    const uint32_t vectors = biasInLastVector ? fanIn / W + 1 : fanIn / W;
    uint32_t v = 0;
    for (; v + 4 <= vectors; v += 4) {
        gradientColumns<S, 4>(rows, transposed, stride, delta, v, weights, biases, fanIn, step);
    }
    switch (vectors - v) {
        case 3: gradientColumns<S, 3>(rows, transposed, stride, delta, v, weights, biases, fanIn, step); break;
        case 2: gradientColumns<S, 2>(rows, transposed, stride, delta, v, weights, biases, fanIn, step); break;
        case 1: gradientColumns<S, 1>(rows, transposed, stride, delta, v, weights, biases, fanIn, step); break;
        default: break;
    }
    if (!biasInLastVector) biasesFromDeltas<S>(rows, delta, biases, step, deltaTransposed, deltaStride);
}

// values (size, 32) to transposed (32, stride), with 1.0 in column `size`
// and 0 after it up to the next multiple of the tile width.
template <typename S>
NT_NOINLINE void transposeValues(float* transposed, uint32_t stride, const float* values, uint32_t size) {
    S::transpose(transposed, stride, values, size);
}

// delta = f'(z) * (a - t) for the output layer, f' taken from a.
template <typename S>
NT_NOINLINE void outputDeltas(float* delta, const FastLayer& layer, const float* targets) {
    if (layer.size == 1 && layer.sigmoid) {
        using V = typename S::V;
        for (int s = 0; s < kFastBatch; s += S::kWidth) {
            const V a = S::load(layer.values + s);
            const V derivative = S::mul(S::sub(S::set1(1.0f), a), a);
            S::store(delta + s, S::mul(derivative, S::sub(a, S::load(targets + s))));
        }
        return;
    }
    for (uint32_t j = 0; j < layer.size; ++j) {
        const float* a = layer.values + static_cast<size_t>(j) * kFastBatch;
        float* d = delta + static_cast<size_t>(j) * kFastBatch;
        for (int s = 0; s < kFastBatch; ++s) {
            const float value = a[s];
            const float error = value - targets[static_cast<size_t>(s) * layer.size + j];
            const float derivative = layer.sigmoid ? (1.0f - value) * value : (value > 0.0f ? 1.0f : 0.0f);
            d[s] = derivative * error;
        }
    }
}

// Copies 32 samples' inputs into layer 0 by neuron and, if asked, by sample.
template <typename S>
void loadInputs(const FastLayer& input, const float* inputs, bool bySample) {
    if (input.size == 1) {
        for (int s = 0; s < kFastBatch; s += S::kWidth) S::store(input.values + s, S::load(inputs + s));
    } else {
        for (uint32_t i = 0; i < input.size; ++i) {
            for (int s = 0; s < kFastBatch; ++s) {
                input.values[static_cast<size_t>(i) * kFastBatch + s] = inputs[static_cast<size_t>(s) * input.size + i];
            }
        }
    }
    if (!bySample) return;
    for (int s = 0; s < kFastBatch; ++s) {
        for (uint32_t i = 0; i < input.size; ++i) {
            input.transposed[static_cast<size_t>(s) * input.transposedStride + i] =
                inputs[static_cast<size_t>(s) * input.size + i];
        }
    }
}

// The network's outputs for 32 samples, left in the last layer's values.
template <typename S>
void forwardBatch(const FastPlan& plan, const float* inputs) {
    loadInputs<S>(plan.layers[0], inputs, false);
    for (int l = 1; l < plan.layerCount; ++l) {
        const FastLayer& layer = plan.layers[l];
        const FastLayer& below = plan.layers[l - 1];
        rowsLayer<S>(layer.values, below.values, layer.weights, layer.fanIn, 1, layer.size, layer.fanIn,
                     layer.biases, layer.sigmoid ? RowEpilogue::Sigmoid : RowEpilogue::Relu, nullptr);
    }
}

// One mini-batch: forward for all 32 samples, then backward layer by layer
// from the top, each layer's update applied right after the layer below has
// taken its error sums from the weights as they were.
template <typename S>
void trainBatch(const FastPlan& plan, const float* inputs, const float* targets) {
    const int last = plan.layerCount - 1;
    loadInputs<S>(plan.layers[0], inputs, gradientReadsTransposedInput<S>(plan.layers[1].size, plan.layers[0].size));

    for (int l = 1; l <= last; ++l) {
        const FastLayer& layer = plan.layers[l];
        const FastLayer& below = plan.layers[l - 1];
        rowsLayer<S>(layer.values, below.values, layer.weights, layer.fanIn, 1, layer.size, layer.fanIn,
                     layer.biases, layer.sigmoid ? RowEpilogue::Sigmoid : RowEpilogue::Relu, nullptr);
    }
    // The transposed copies for the gradients come after the whole forward
    // pass, so they run while the output activation still waits on its
    // long chain of dependent operations.
    for (int l = 1; l < last; ++l) {
        const FastLayer& layer = plan.layers[l];
        if (gradientReadsTransposedInput<S>(plan.layers[l + 1].size, layer.size)) {
            transposeValues<S>(layer.transposed, layer.transposedStride, layer.values, layer.size);
        }
    }

    float* delta = plan.deltaA;
    float* deltaBelow = plan.deltaB;
    outputDeltas<S>(delta, plan.layers[last], targets);
    for (int l = last; l >= 1; --l) {
        const FastLayer& layer = plan.layers[l];
        const FastLayer& below = plan.layers[l - 1];
        if (l >= 2) {
            // Error of neuron j below: sum over k of w[k][j] * delta[k].
            rowsLayer<S>(deltaBelow, delta, layer.weights, 1, layer.fanIn, below.size, layer.size, nullptr,
                         below.sigmoid ? RowEpilogue::SigmoidDerivative : RowEpilogue::ReluDerivative,
                         below.values);
        }
        gradientLayer<S>(layer.size, below.values, below.transposed, below.transposedStride, delta, layer.weights,
                         layer.biases, layer.fanIn, layer.step, plan.deltaTransposed,
                         plan.deltaTransposedStride);
        float* swap = delta;
        delta = deltaBelow;
        deltaBelow = swap;
    }
}

// The kernels' sigmoid over an array, whole vectors and then the rest
// through one padded vector.
template <typename S>
void sigmoidArray(const float* z, float* out, uint64_t count) {
    constexpr uint64_t W = S::kWidth;
    uint64_t i = 0;
    for (; i + W <= count; i += W) S::store(out + i, S::sigmoid(S::load(z + i)));
    if (i == count) return;
    float lanes[W] = {};
    for (uint64_t k = i; k < count; ++k) lanes[k - i] = z[k];
    S::store(lanes, S::sigmoid(S::load(lanes)));
    for (uint64_t k = i; k < count; ++k) out[k] = lanes[k - i];
}

}  // namespace fastkernel
