// The mini-batch kernels built for AVX-512 (F, BW, DQ, VL); only ever called
// after the processor has been checked for them.
#include "nn/train_fast_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#if defined(__GNUC__) && !defined(__clang__)
// g++ 12's AVX-512 headers pass a deliberately undefined vector as the unused
// pass-through of unmasked operations and then warn about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#include <string.h>

namespace {

// exp(x) for |x| <= kExpLimit: x = (n / 16) ln2 + r with n whole and
// |r| <= ln2 / 32, so exp(x) = 2^floor(n / 16) * 2^(j / 16) * exp(r) for
// j = n mod 16. 2^(j / 16) comes from a table of 16 doubles in two vectors,
// exp(r) - 1 from a Taylor polynomial of degree 6 (its first omitted term
// is below 4.4e-16 relative), evaluated in pairs of terms over r^2 and r^4.
// That is fewer operations than a polynomial over the whole of
// [-ln2 / 2, ln2 / 2], for the same short chain: the output sigmoid sits
// between the forward and the backward pass, where nothing else can run
// while it waits.
__m512d expNear(__m512d x) {
    using namespace fastkernel;
    // 1.5 * 2^52: adding it rounds to a whole number, kept in the low bits.
    const __m512d shifter = _mm512_set1_pd(6755399441055744.0);
    const __m512d t = _mm512_fmadd_pd(x, _mm512_set1_pd(16.0 * kLog2e), shifter);
    const __m512d n = _mm512_sub_pd(t, shifter);
    __m512d r = _mm512_fnmadd_pd(n, _mm512_set1_pd(kLn2High / 16.0), x);
    r = _mm512_fnmadd_pd(n, _mm512_set1_pd(kLn2Low / 16.0), r);
    // 2^(j / 16), each rounded to the nearest double; the index's low four
    // bits are n mod 16.
    const __m512d low = _mm512_setr_pd(0x1.0000000000000p+0, 0x1.0b5586cf9890fp+0, 0x1.172b83c7d517bp+0,
                                       0x1.2387a6e756238p+0, 0x1.306fe0a31b715p+0, 0x1.3dea64c123422p+0,
                                       0x1.4bfdad5362a27p+0, 0x1.5ab07dd485429p+0);
    const __m512d high = _mm512_setr_pd(0x1.6a09e667f3bcdp+0, 0x1.7a11473eb0187p+0, 0x1.8ace5422aa0dbp+0,
                                        0x1.9c49182a3f090p+0, 0x1.ae89f995ad3adp+0, 0x1.c199bdd85529cp+0,
                                        0x1.d5818dcfba487p+0, 0x1.ea4afa2a490dap+0);
    const __m512d power = _mm512_permutex2var_pd(low, _mm512_castpd_si512(t), high);
    // exp(r) - 1 = r + r^2 (1/2 + r/6) + r^4 (1/24 + r/120 + r^2/720).
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    const __m512d a = _mm512_fmadd_pd(r, _mm512_set1_pd(1.0 / 6.0), _mm512_set1_pd(0.5));
    __m512d b = _mm512_fmadd_pd(r, _mm512_set1_pd(1.0 / 120.0), _mm512_set1_pd(1.0 / 24.0));
    b = _mm512_fmadd_pd(r2, _mm512_set1_pd(1.0 / 720.0), b);
    const __m512d expm1 = _mm512_fmadd_pd(b, r4, _mm512_fmadd_pd(a, r2, r));
    const __m512d y = _mm512_fmadd_pd(power, expm1, power);
    return _mm512_scalef_pd(y, _mm512_mul_pd(n, _mm512_set1_pd(1.0 / 16.0)));
}

// Lanes whose double result lies too near a tie between two floats.
__mmask8 nearFloatTie(__m512d y) {
    const __m512i low = _mm512_and_si512(_mm512_castpd_si512(y), _mm512_set1_epi64((int64_t{1} << 29) - 1));
    const __m512i distance = _mm512_abs_epi64(_mm512_sub_epi64(low, _mm512_set1_epi64(int64_t{1} << 28)));
    return _mm512_cmple_epi64_mask(distance, _mm512_set1_epi64(fastkernel::kTieHalfWidth));
}

// (float)exp(-(double)z) for 8 lanes, and a mask of the lanes it can't vouch for.
__m256 expNegated(__m256 z, __mmask8& unsure) {
    const __m512d x = _mm512_sub_pd(_mm512_setzero_pd(), _mm512_cvtps_pd(z));
    const __mmask8 inRange = _mm512_cmp_pd_mask(_mm512_abs_pd(x), _mm512_set1_pd(fastkernel::kExpLimit), _CMP_LE_OQ);
    const __m512d y = expNear(x);
    unsure = static_cast<__mmask8>(~inRange | nearFloatTie(y));
    return _mm512_cvtpd_ps(y);
}

struct Avx512Ops {
    using V = __m512;
    static constexpr int kWidth = 16;
    static constexpr int kRowBlock = 8;
    static constexpr int kAccumulators = 16;
    static constexpr bool kPairedGradient = true;
    static constexpr bool kInterleaveFour = true;

    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static V set1(float x) { return _mm512_set1_ps(x); }
    static V zero() { return _mm512_setzero_ps(); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    // max returns its second operand for NaN and for equal zeros: +0, like relu.
    static V relu(V z) { return _mm512_max_ps(z, _mm512_setzero_ps()); }
    // The ReLU derivative taken from the activation a, times z: z where a > 0,
    // else z * 0 (a zero of z's sign, or NaN for an infinite z), as the
    // product with a 0 or 1 gives, in one masked multiply.
    static V reluDerivativeTimes(V a, V z) {
        const __mmask16 notPositive = _mm512_cmp_ps_mask(a, _mm512_setzero_ps(), _CMP_NGT_UQ);
        return _mm512_mask_mul_ps(z, notPositive, z, _mm512_setzero_ps());
    }
    static V positiveMask(V a) {
        const __mmask16 positive = _mm512_cmp_ps_mask(a, _mm512_setzero_ps(), _CMP_GT_OQ);
        return _mm512_maskz_mov_ps(positive, _mm512_set1_ps(1.0f));
    }

    // The first count (< 16) lanes; memory past them is never touched.
    static V loadPartial(const float* p, uint32_t count) {
        return _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << count) - 1u), p);
    }
    static void storePartial(float* p, V v, uint32_t count) {
        _mm512_mask_storeu_ps(p, static_cast<__mmask16>((1u << count) - 1u), v);
    }
    static float lane(V v, uint32_t k) {
        return _mm512_cvtss_f32(_mm512_permutexvar_ps(_mm512_set1_epi32(static_cast<int>(k)), v));
    }
    // Four vectors a, b, c, d to a0 b0 c0 d0 a1 b1 c1 d1 ... over out[0..3].
    static void interleaveFour(V a, V b, V c, V d, V out[4]) {
        const V abLow = _mm512_unpacklo_ps(a, b);
        const V abHigh = _mm512_unpackhi_ps(a, b);
        const V cdLow = _mm512_unpacklo_ps(c, d);
        const V cdHigh = _mm512_unpackhi_ps(c, d);
        // Each 128-bit lane k of u[e] holds element 4k + e of a, b, c and d.
        const V u0 = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(abLow), _mm512_castps_pd(cdLow)));
        const V u1 = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(abLow), _mm512_castps_pd(cdLow)));
        const V u2 = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(abHigh), _mm512_castps_pd(cdHigh)));
        const V u3 = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(abHigh), _mm512_castps_pd(cdHigh)));
        const V p0 = _mm512_shuffle_f32x4(u0, u1, 0x44);
        const V p1 = _mm512_shuffle_f32x4(u0, u1, 0xEE);
        const V p2 = _mm512_shuffle_f32x4(u2, u3, 0x44);
        const V p3 = _mm512_shuffle_f32x4(u2, u3, 0xEE);
        out[0] = _mm512_shuffle_f32x4(p0, p2, 0x88);
        out[1] = _mm512_shuffle_f32x4(p0, p2, 0xDD);
        out[2] = _mm512_shuffle_f32x4(p1, p3, 0x88);
        out[3] = _mm512_shuffle_f32x4(p1, p3, 0xDD);
    }

    static V sigmoid(V z) {
        __mmask8 unsureLow = 0;
        __mmask8 unsureHigh = 0;
        const __m256 low = expNegated(_mm512_castps512_ps256(z), unsureLow);
        const __m256 high = expNegated(_mm512_extractf32x8_ps(z, 1), unsureHigh);
        const V e = _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
        V result = _mm512_div_ps(_mm512_set1_ps(1.0f), _mm512_add_ps(e, _mm512_set1_ps(1.0f)));
        if ((unsureLow | unsureHigh) != 0) {
            alignas(64) float lanes[16];
            alignas(64) float values[16];
            _mm512_store_ps(lanes, z);
            _mm512_store_ps(values, result);
            for (int i = 0; i < 16; ++i) values[i] = fastkernel::sigmoidOf<Avx512Ops>(lanes[i]);
            result = _mm512_load_ps(values);
        }
        return result;
    }

    // Gradients of the neurons from j0 on, PB pairs of them (the last may
    // lie past the layer), for a layer whose inputs fill at most half a
    // vector, and their update. Lane 2i + e holds input i of neuron
    // j0 + 2k + e in the k-th sum: per sample the input row, each value
    // twice, times the pair's two deltas, which lie side by side in the
    // transposed deltas and so come in with one broadcast. The biases add
    // up the transposed delta rows themselves.
    template <int PB>
    static NT_NOINLINE void pairedGradientGroup(uint32_t j0, uint32_t rows, const float* transposed,
                                                uint32_t stride, const float* deltaTransposed, uint32_t deltaStride,
                                                float* weights, float* biases, uint32_t fanIn, float step,
                                                const int32_t* rowOrder) {
        const __m512i twice = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
        __m512 acc[PB];
        for (int k = 0; k < PB; ++k) acc[k] = _mm512_setzero_ps();
        // Each load lies within one of the transposes' row stores, which
        // were just made, so it takes its data straight from the store.
        __m256 biasLow = _mm256_setzero_ps();
        __m256 biasHigh = _mm256_setzero_ps();
        const float* x = transposed;
        const float* d = deltaTransposed + j0;
        for (int s = 0; s < kFastBatch; ++s) {
            const __m512 in = _mm512_permutexvar_ps(twice, _mm512_castps256_ps512(_mm256_loadu_ps(x)));
            for (int k = 0; k < PB; ++k) {
                double pair;  // read as one 64-bit value: a broadcast straight from memory
                memcpy(&pair, d + 2 * k, sizeof pair);
                const __m512 deltas = _mm512_castpd_ps(_mm512_set1_pd(pair));
                acc[k] = _mm512_add_ps(acc[k], _mm512_mul_ps(in, deltas));
            }
            biasLow = _mm256_add_ps(biasLow, _mm256_loadu_ps(d));
            if constexpr (PB > 4) biasHigh = _mm256_add_ps(biasHigh, _mm256_loadu_ps(d + 8));
            x += stride;
            d += deltaStride;
        }
        const __m512 biasAcc = _mm512_insertf32x8(_mm512_castps256_ps512(biasLow), biasHigh, 1);
        // All of the group's weights are read before any is written (see
        // gradientBlock).
        const __m512i order = _mm512_loadu_si512(rowOrder);
        __mmask16 masks[PB];
        __m512 w[PB];
        for (int k = 0; k < PB; ++k) {
            const uint32_t j = j0 + 2 * static_cast<uint32_t>(k);
            const uint32_t count = j + 1 < rows ? 2 * fanIn : fanIn;
            masks[k] = static_cast<__mmask16>((1u << count) - 1u);
            w[k] = _mm512_maskz_loadu_ps(masks[k], weights + static_cast<size_t>(j) * fanIn);
        }
        const uint32_t biasCount = rows - j0 < 2 * PB ? rows - j0 : 2 * PB;
        const __mmask16 biasMask = static_cast<__mmask16>((1u << biasCount) - 1u);
        const __m512 b = _mm512_maskz_loadu_ps(biasMask, biases + j0);
        const __m512 stepVector = _mm512_set1_ps(step);
        for (int k = 0; k < PB; ++k) {
            const uint32_t j = j0 + 2 * static_cast<uint32_t>(k);
            const __m512 gradient = _mm512_permutexvar_ps(order, acc[k]);
            _mm512_mask_storeu_ps(weights + static_cast<size_t>(j) * fanIn, masks[k],
                                  _mm512_sub_ps(w[k], _mm512_mul_ps(gradient, stepVector)));
        }
        _mm512_mask_storeu_ps(biases + j0, biasMask, _mm512_sub_ps(b, _mm512_mul_ps(biasAcc, stepVector)));
    }

    // Gradient and update of a layer with 2 to 8 inputs, from the
    // transposed input (with its bias column, unused here) and the
    // transposed deltas, 16 neurons at a time.
    static void pairedGradient(uint32_t rows, const float* transposed, uint32_t stride,
                               const float* deltaTransposed, uint32_t deltaStride, float* weights, float* biases,
                               uint32_t fanIn, float step) {
        // Two neurons' weights lie one after the other: lane e * fanIn + i
        // takes the sum in lane 2i + e.
        alignas(64) int32_t rowOrder[16] = {};
        for (uint32_t i = 0; i < fanIn; ++i) {
            rowOrder[i] = static_cast<int32_t>(2 * i);
            rowOrder[fanIn + i] = static_cast<int32_t>(2 * i + 1);
        }
        for (uint32_t j0 = 0; j0 < rows; j0 += 16) {
            const uint32_t neurons = rows - j0 < 16 ? rows - j0 : 16;
            switch ((neurons + 1) / 2) {
#define NT_PAIRED_GROUP(n)                                                                                     \
    case n:                                                                                                    \
        pairedGradientGroup<n>(j0, rows, transposed, stride, deltaTransposed, deltaStride, weights, biases,   \
                               fanIn, step, rowOrder);                                                         \
        break;
                NT_PAIRED_GROUP(1)
                NT_PAIRED_GROUP(2)
                NT_PAIRED_GROUP(3)
                NT_PAIRED_GROUP(4)
                NT_PAIRED_GROUP(5)
                NT_PAIRED_GROUP(6)
                NT_PAIRED_GROUP(7)
                NT_PAIRED_GROUP(8)
#undef NT_PAIRED_GROUP
                default: break;
            }
        }
    }

    // Up to 8 neurons by 16 samples: three rounds of shuffles leave two
    // samples' rows in each register. Each row is stored whole, its 16
    // columns with the constant ones after the neurons (the 1.0 of the bias
    // column in column 8 for 8 neurons), because the gradients read whole
    // rows right away: a load wider than the store it reads from can't take
    // its data from the store buffer and waits for the store to retire.
    static void transposeEight(float* transposed, uint32_t stride, const float* values, uint32_t size) {
        const __m512i lowPairs = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
        const __m512i highPairs = _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
        const __m512 past = size == 8 ? _mm512_maskz_mov_ps(0x0100, _mm512_set1_ps(1.0f)) : _mm512_setzero_ps();
        for (int g = 0; g < kFastBatch; g += 16) {
            __m512 r[8];
            for (uint32_t k = 0; k < 8; ++k) {
                r[k] = k < size ? _mm512_loadu_ps(values + static_cast<size_t>(k) * kFastBatch + g)
                                : _mm512_set1_ps(k == size ? 1.0f : 0.0f);
            }
            __m512d t[8];
            for (int i = 0; i < 4; ++i) {
                t[2 * i] = _mm512_castps_pd(_mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]));
                t[2 * i + 1] = _mm512_castps_pd(_mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]));
            }
            // u[m] holds sample 4L + m of each 128-bit lane L: neurons 0-3,
            // and u[m + 4] neurons 4-7.
            __m512 u[8];
            for (int h = 0; h < 2; ++h) {
                u[4 * h] = _mm512_castpd_ps(_mm512_unpacklo_pd(t[4 * h], t[4 * h + 2]));
                u[4 * h + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(t[4 * h], t[4 * h + 2]));
                u[4 * h + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(t[4 * h + 1], t[4 * h + 3]));
                u[4 * h + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(t[4 * h + 1], t[4 * h + 3]));
            }
            for (int m = 0; m < 4; ++m) {
                const __m512 low = _mm512_permutex2var_ps(u[m], lowPairs, u[m + 4]);
                const __m512 high = _mm512_permutex2var_ps(u[m], highPairs, u[m + 4]);
                float* row = transposed + static_cast<size_t>(g + m) * stride;
                _mm512_storeu_ps(row, _mm512_insertf32x8(past, _mm512_castps512_ps256(low), 0));
                _mm512_storeu_ps(row + 4 * stride, _mm512_insertf32x8(past, _mm512_extractf32x8_ps(low, 1), 0));
                _mm512_storeu_ps(row + 8 * stride, _mm512_insertf32x8(past, _mm512_castps512_ps256(high), 0));
                _mm512_storeu_ps(row + 12 * stride, _mm512_insertf32x8(past, _mm512_extractf32x8_ps(high, 1), 0));
            }
        }
    }

    // 16 neurons by 16 samples, turned wholly in registers: 16 loads, then
    // pairs, then 64-bit pairs, then two rounds of 128-bit quarters. (Placing
    // the quarters by masked broadcast loads halves the shuffles but takes
    // four times the loads, and measured slower here.)
    static void transposeTile(float* out, uint32_t stride, const float* values) {
        __m512 r[16];
        for (int i = 0; i < 16; ++i) r[i] = _mm512_loadu_ps(values + static_cast<size_t>(i) * kFastBatch);
        __m512 t[16];
        for (int i = 0; i < 8; ++i) {
            t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
            t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
        }
        // r[4i + k]: samples k, k + 4, k + 8, k + 12 of rows 4i to 4i + 3,
        // one per 128-bit quarter.
        for (int i = 0; i < 4; ++i) {
            const __m512d a = _mm512_castps_pd(t[4 * i]);
            const __m512d b = _mm512_castps_pd(t[4 * i + 1]);
            const __m512d c = _mm512_castps_pd(t[4 * i + 2]);
            const __m512d d = _mm512_castps_pd(t[4 * i + 3]);
            r[4 * i] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
            r[4 * i + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
            r[4 * i + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, d));
            r[4 * i + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, d));
        }
        for (int k = 0; k < 4; ++k) {
            t[k] = _mm512_shuffle_f32x4(r[k], r[4 + k], 0x88);
            t[4 + k] = _mm512_shuffle_f32x4(r[k], r[4 + k], 0xdd);
            t[8 + k] = _mm512_shuffle_f32x4(r[8 + k], r[12 + k], 0x88);
            t[12 + k] = _mm512_shuffle_f32x4(r[8 + k], r[12 + k], 0xdd);
        }
        for (int k = 0; k < 4; ++k) {
            _mm512_storeu_ps(out + static_cast<size_t>(k) * stride, _mm512_shuffle_f32x4(t[k], t[8 + k], 0x88));
            _mm512_storeu_ps(out + static_cast<size_t>(4 + k) * stride, _mm512_shuffle_f32x4(t[4 + k], t[12 + k], 0x88));
            _mm512_storeu_ps(out + static_cast<size_t>(8 + k) * stride, _mm512_shuffle_f32x4(t[k], t[8 + k], 0xdd));
            _mm512_storeu_ps(out + static_cast<size_t>(12 + k) * stride, _mm512_shuffle_f32x4(t[4 + k], t[12 + k], 0xdd));
        }
    }

    // Tiles of 16 neurons by 16 samples, straight from the rows, padding
    // rows included: for values those are the 1.0 of the bias column and
    // then 0. A tile that would hold nothing but padding is left out: the
    // plan set those columns and nothing overwrites them.
    static void transpose(float* transposed, uint32_t stride, const float* values, uint32_t size) {
        if (size <= 8) {
            transposeEight(transposed, stride, values, size);
            return;
        }
        for (uint32_t j0 = 0; j0 < size; j0 += 16) {
            for (int g = 0; g < kFastBatch; g += 16) {
                transposeTile(transposed + static_cast<size_t>(g) * stride + j0, stride,
                              values + static_cast<size_t>(j0) * kFastBatch + g);
            }
        }
    }
};

// The whole mini-batch in one function for networks of one input, one
// sigmoid output and ReLU hidden layers of at most 8 neurons, where the
// layered kernels spend most of their time getting in and out of calls and
// turning values between layouts.
//
// Layout: lane 2j + e of pair vector p holds neuron j for sample 2p + e.
// A neuron's value for two consecutive samples is then one 64-bit pair,
// which one broadcast spreads over every neuron of the layer above (the
// forward sums) or below (the backward error sums), against a weight vector
// with each neuron's weight twice. Nothing is transposed but the sample-
// major copies of the deltas the gradients read, one permute per pair.
// Layers narrower than 8 are padded with neurons whose weights, biases,
// values and deltas are held at 0; their extra terms add +0 at the end of
// a sum, which changes nothing the reference could see (at most the sign of
// a zero that ReLU, the sigmoid and sums from +0 all ignore).
namespace fused {

constexpr int kWidth = 8;
constexpr int kPairs = kFastBatch / 2;
constexpr int kMaxHidden = kFastMaxLayers - 2;

// The parameters in the layouts the batch reads, kept from one mini-batch to
// the next and written back to the network at the end.
struct Parameters {
    alignas(64) float first[16];                     // layer 1: weight j in lane 2j, bias j in 2j + 1
    alignas(64) float pairs[kMaxHidden][4][16];      // hidden h >= 1: lane 2i + e of [k] is weight (2k + e, i)
    alignas(64) float biases[kMaxHidden][16];        // hidden h >= 1: bias j in lane j
    alignas(64) float columns[kMaxHidden][kWidth][16];  // hidden h >= 1: lane 2j + e of [i] is weight (j, i)
    alignas(64) float rows[kMaxHidden][kWidth][16];     // hidden h >= 1: lane 2i + e of [k] is weight (k, i)
    alignas(64) float biasesTwice[kMaxHidden][16];   // lane 2j + e is bias j
    alignas(64) float firstTwice[16];                // lane 2j + e is layer 1's weight j
    alignas(64) float output[16];                    // lane 2i + e is the output neuron's weight i
    float outputBias = 0.0f;
    __mmask16 real[kMaxHidden] = {};                 // pair lanes of real neurons
    __mmask16 realPairs[kMaxHidden][4] = {};         // lanes of pairs[h][k] that are real weights
};

// Per mini-batch values, in pair layout unless named otherwise.
struct Batch {
    alignas(64) float values[kMaxHidden][kPairs][16];
    alignas(64) float deltas[kMaxHidden][kPairs][16];
    alignas(64) float bySample[kMaxHidden][kPairs][16];  // [p] is sample 2p's deltas, then sample 2p + 1's
    alignas(64) float outputDeltas[kFastBatch];
    alignas(64) float pairInputs[kFastBatch];
    alignas(64) float pairTargets[kFastBatch];
};

// One mini-batch of interleaved pairs (input, target, input, ...) split into
// its 32 inputs and 32 targets.
inline void splitPairs(const float* pairs, float* inputs, float* targets) {
    const __m512i evens = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odds = _mm512_add_epi32(evens, _mm512_set1_epi32(1));
    for (int h = 0; h < 2; ++h) {
        const __m512 a = _mm512_loadu_ps(pairs + 32 * h);
        const __m512 b = _mm512_loadu_ps(pairs + 32 * h + 16);
        _mm512_store_ps(inputs + 16 * h, _mm512_permutex2var_ps(a, evens, b));
        _mm512_store_ps(targets + 16 * h, _mm512_permutex2var_ps(a, odds, b));
    }
}

inline __m512i twiceIndex(int first) {
    return _mm512_add_epi32(_mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7), _mm512_set1_epi32(first));
}

// The 64-bit pair at p spread over every lane pair.
inline __m512 pairBroadcast(const float* p) {
    double pair;
    memcpy(&pair, p, sizeof pair);
    return _mm512_castpd_ps(_mm512_set1_pd(pair));
}

inline __m512 reluDerivative(__m512 a) {
    return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(a, _mm512_setzero_ps(), _CMP_GT_OQ), _mm512_set1_ps(1.0f));
}

void load(Parameters& q, const FastPlan& plan) {
    q = Parameters{};
    const int hidden = plan.layerCount - 2;
    for (int h = 0; h < hidden; ++h) {
        const FastLayer& layer = plan.layers[h + 1];
        q.real[h] = static_cast<__mmask16>((1u << (2 * layer.size)) - 1u);
        for (uint32_t j = 0; j < layer.size; ++j) {
            if (h == 0) {
                q.first[2 * j] = layer.weights[j];
                q.first[2 * j + 1] = layer.biases[j];
                continue;
            }
            q.biases[h][j] = layer.biases[j];
            for (uint32_t i = 0; i < layer.fanIn; ++i) {
                q.pairs[h][j / 2][2 * i + j % 2] = layer.weights[j * layer.fanIn + i];
                q.realPairs[h][j / 2] = static_cast<__mmask16>(q.realPairs[h][j / 2] | (1u << (2 * i + j % 2)));
            }
        }
    }
    const FastLayer& out = plan.layers[hidden + 1];
    for (uint32_t i = 0; i < out.fanIn; ++i) {
        q.output[2 * i] = out.weights[i];
        q.output[2 * i + 1] = out.weights[i];
    }
    q.outputBias = out.biases[0];
}

void store(const Parameters& q, const FastPlan& plan) {
    const int hidden = plan.layerCount - 2;
    for (int h = 0; h < hidden; ++h) {
        const FastLayer& layer = plan.layers[h + 1];
        for (uint32_t j = 0; j < layer.size; ++j) {
            if (h == 0) {
                layer.weights[j] = q.first[2 * j];
                layer.biases[j] = q.first[2 * j + 1];
                continue;
            }
            layer.biases[j] = q.biases[h][j];
            for (uint32_t i = 0; i < layer.fanIn; ++i) layer.weights[j * layer.fanIn + i] = q.pairs[h][j / 2][2 * i + j % 2];
        }
    }
    const FastLayer& out = plan.layers[hidden + 1];
    for (uint32_t i = 0; i < out.fanIn; ++i) out.weights[i] = q.output[2 * i];
    out.biases[0] = q.outputBias;
}

// The forward and backward layouts of hidden layer h >= 1 from its pairs.
void spread(Parameters& q, int h) {
    const __m512 p0 = _mm512_load_ps(q.pairs[h][0]);
    const __m512 p1 = _mm512_load_ps(q.pairs[h][1]);
    const __m512 p2 = _mm512_load_ps(q.pairs[h][2]);
    const __m512 p3 = _mm512_load_ps(q.pairs[h][3]);
    const __m512 pairs[4] = {p0, p1, p2, p3};
    const __m512i even = _mm512_setr_epi32(0, 0, 2, 2, 4, 4, 6, 6, 8, 8, 10, 10, 12, 12, 14, 14);
    const __m512i odd = _mm512_add_epi32(even, _mm512_set1_epi32(1));
    for (int k = 0; k < 4; ++k) {
        _mm512_store_ps(q.rows[h][2 * k], _mm512_permutexvar_ps(even, pairs[k]));
        _mm512_store_ps(q.rows[h][2 * k + 1], _mm512_permutexvar_ps(odd, pairs[k]));
    }
    // Lane 2j + e of column i: pair vector j / 2, lane 2i + j % 2; the low
    // half from vectors 0 and 1, the high half from 2 and 3.
    const __m512i base = _mm512_setr_epi32(0, 0, 1, 1, 16, 16, 17, 17, 0, 0, 1, 1, 16, 16, 17, 17);
    for (int i = 0; i < kWidth; ++i) {
        const __m512i index = _mm512_add_epi32(base, _mm512_set1_epi32(2 * i));
        const __m512 low = _mm512_permutex2var_ps(p0, index, p1);
        const __m512 high = _mm512_permutex2var_ps(p2, index, p3);
        _mm512_store_ps(q.columns[h][i], _mm512_mask_blend_ps(0xFF00, low, high));
    }
    _mm512_store_ps(q.biasesTwice[h], _mm512_permutexvar_ps(twiceIndex(0), _mm512_load_ps(q.biases[h])));
}

void spreadFirst(Parameters& q) {
    const __m512 first = _mm512_load_ps(q.first);
    _mm512_store_ps(q.firstTwice, _mm512_moveldup_ps(first));
    _mm512_store_ps(q.biasesTwice[0], _mm512_movehdup_ps(first));
}

// Output pre-activations for 16 samples from 8 pair vectors of products:
// lane s of term i is product i of sample s, then the sums in order.
__m512 outputSums(const __m512* products, float bias) {
    // Round 1: inputs 4g to 4g + 3 of pair vectors 2m and 2m + 1.
    const __m512i round1[2] = {
        _mm512_setr_epi32(0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23),
        _mm512_setr_epi32(8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31)};
    // Round 2: inputs 2q and 2q + 1 of a group, from four pair vectors.
    const __m512i round2[2] = {
        _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23),
        _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31)};
    // Round 3: one input of all eight pair vectors, samples in order.
    const __m512i round3[2] = {
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23),
        _mm512_setr_epi32(8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31)};
    __m512 r1[4][2];
    for (int m = 0; m < 4; ++m) {
        for (int g = 0; g < 2; ++g) r1[m][g] = _mm512_permutex2var_ps(products[2 * m], round1[g], products[2 * m + 1]);
    }
    __m512 r2[2][2][2];
    for (int mm = 0; mm < 2; ++mm) {
        for (int g = 0; g < 2; ++g) {
            for (int q = 0; q < 2; ++q) {
                r2[mm][g][q] = _mm512_permutex2var_ps(r1[2 * mm][g], round2[q], r1[2 * mm + 1][g]);
            }
        }
    }
    __m512 sum = _mm512_set1_ps(bias);
    for (int i = 0; i < kWidth; ++i) {
        const int g = i / 4;
        const int q = (i / 2) % 2;
        sum = _mm512_add_ps(sum, _mm512_permutex2var_ps(r2[0][g][q], round3[i % 2], r2[1][g][q]));
    }
    return sum;
}

// Pair p's share of the first layer's gradient: weight j's sum in lane 2j,
// bias j's in lane 2j + 1.
inline __m512 addFirstPair(__m512 sums, __m512 d, const float* x) {
    const __m512 d0 = _mm512_moveldup_ps(d);
    const __m512 d1 = _mm512_movehdup_ps(d);
    sums = _mm512_add_ps(sums, _mm512_mask_mul_ps(d0, 0x5555, d0, _mm512_set1_ps(x[0])));
    return _mm512_add_ps(sums, _mm512_mask_mul_ps(d1, 0x5555, d1, _mm512_set1_ps(x[1])));
}

NT_NOINLINE void batches(const FastPlan& plan, const float* inputs, const float* targets, uint32_t count,
                         bool interleaved) {
    const int hidden = plan.layerCount - 2;
    const int top = hidden - 1;
    const float outputStep = plan.layers[hidden + 1].step;
    Parameters q;
    Batch b;
    load(q, plan);
    spreadFirst(q);
    for (int h = 1; h < hidden; ++h) spread(q, h);
    const __m512i toSamples = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __mmask16 even = 0x5555;

    for (uint32_t batch = 0; batch < count; ++batch) {
        const float* x = inputs + static_cast<size_t>(batch) * kFastBatch;
        const float* t = targets + static_cast<size_t>(batch) * kFastBatch;
        if (interleaved) {
            splitPairs(inputs + static_cast<size_t>(batch) * 2 * kFastBatch, b.pairInputs, b.pairTargets);
            x = b.pairInputs;
            t = b.pairTargets;
        }

        // Forward.
        {
            const __m512 w = _mm512_load_ps(q.firstTwice);
            const __m512 bias = _mm512_load_ps(q.biasesTwice[0]);
            for (int p = 0; p < kPairs; ++p) {
                const __m512 z = _mm512_add_ps(bias, _mm512_mul_ps(w, pairBroadcast(x + 2 * p)));
                _mm512_store_ps(b.values[0][p], _mm512_max_ps(z, _mm512_setzero_ps()));
            }
        }
        for (int h = 1; h < hidden; ++h) {
            __m512 w[kWidth];
            for (int i = 0; i < kWidth; ++i) w[i] = _mm512_load_ps(q.columns[h][i]);
            const __m512 bias = _mm512_load_ps(q.biasesTwice[h]);
            for (int p = 0; p < kPairs; ++p) {
                const float* a = b.values[h - 1][p];
                __m512 z = bias;
                for (int i = 0; i < kWidth; ++i) z = _mm512_add_ps(z, _mm512_mul_ps(w[i], pairBroadcast(a + 2 * i)));
                _mm512_store_ps(b.values[h][p], _mm512_max_ps(z, _mm512_setzero_ps()));
            }
        }
        const __m512 outputWeights = _mm512_load_ps(q.output);
        for (int half = 0; half < 2; ++half) {
            __m512 products[8];
            for (int p = 0; p < 8; ++p) {
                products[p] = _mm512_mul_ps(outputWeights, _mm512_load_ps(b.values[top][8 * half + p]));
            }
            const __m512 a = Avx512Ops::sigmoid(outputSums(products, q.outputBias));
            const __m512 error = _mm512_sub_ps(a, _mm512_loadu_ps(t + 16 * half));
            const __m512 derivative = _mm512_mul_ps(_mm512_sub_ps(_mm512_set1_ps(1.0f), a), a);
            _mm512_store_ps(b.outputDeltas + 16 * half, _mm512_mul_ps(derivative, error));
        }

        // Deltas of the top hidden layer, with the output's weights as they
        // were, and beside them the output's gradient: input i's sum in
        // lane 2i, the bias's in every odd lane. The first layer's gradient,
        // which the next mini-batch waits for, is summed as its deltas come.
        __m512 firstSums = _mm512_setzero_ps();
        __m512 outputSums = _mm512_setzero_ps();
        for (int p = 0; p < kPairs; ++p) {
            const __m512 a = _mm512_load_ps(b.values[top][p]);
            const __m512 error = _mm512_mul_ps(outputWeights, pairBroadcast(b.outputDeltas + 2 * p));
            const __m512 d = _mm512_maskz_mul_ps(q.real[top], reluDerivative(a), error);
            _mm512_store_ps(b.deltas[top][p], d);
            _mm512_store_ps(b.bySample[top][p], _mm512_permutexvar_ps(toSamples, d));
            if (top == 0) firstSums = addFirstPair(firstSums, d, x + 2 * p);
            const __m512 d0 = _mm512_set1_ps(b.outputDeltas[2 * p]);
            const __m512 d1 = _mm512_set1_ps(b.outputDeltas[2 * p + 1]);
            outputSums = _mm512_add_ps(outputSums, _mm512_mask_mul_ps(d0, even, a, d0));
            outputSums = _mm512_add_ps(outputSums, _mm512_mask_mul_ps(d1, even, _mm512_movehdup_ps(a), d1));
        }
        {
            const __m512 step = _mm512_set1_ps(outputStep);
            const __m512 gradient = _mm512_moveldup_ps(outputSums);
            _mm512_store_ps(q.output, _mm512_maskz_sub_ps(q.real[top], outputWeights, _mm512_mul_ps(gradient, step)));
            const float biasGradient = _mm_cvtss_f32(_mm_movehdup_ps(_mm512_castps512_ps128(outputSums)));
            q.outputBias -= biasGradient * outputStep;
        }

        for (int h = top; h >= 1; --h) {
            // Deltas of layer h - 1 with layer h's weights before the update:
            // the chain the next mini-batch waits for, so the hidden layers'
            // gradients come after the first layer's update.
            {
                __m512 w[kWidth];
                for (int k = 0; k < kWidth; ++k) w[k] = _mm512_load_ps(q.rows[h][k]);
                for (int p = 0; p < kPairs; ++p) {
                    const float* above = b.deltas[h][p];
                    __m512 error = _mm512_mul_ps(w[0], pairBroadcast(above));
                    for (int k = 1; k < kWidth; ++k) error = _mm512_add_ps(error, _mm512_mul_ps(w[k], pairBroadcast(above + 2 * k)));
                    const __m512 d =
                        _mm512_maskz_mul_ps(q.real[h - 1], reluDerivative(_mm512_load_ps(b.values[h - 1][p])), error);
                    if (h == 1) {
                        firstSums = addFirstPair(firstSums, d, x + 2 * p);
                        continue;
                    }
                    _mm512_store_ps(b.deltas[h - 1][p], d);
                    _mm512_store_ps(b.bySample[h - 1][p], _mm512_permutexvar_ps(toSamples, d));
                }
            }
        }
        {
            const __m512 step = _mm512_set1_ps(plan.layers[1].step);
            _mm512_store_ps(q.first, _mm512_maskz_sub_ps(q.real[0], _mm512_load_ps(q.first), _mm512_mul_ps(firstSums, step)));
            spreadFirst(q);
        }
        // Gradients of the hidden layers above the first, lowest first: the
        // next mini-batch needs them in that order.
        for (int h = 1; h <= top; ++h) {
            // Neurons 2k and 2k + 1 in vector k, input i in lanes 2i and 2i + 1.
            __m512 acc[4];
            for (int k = 0; k < 4; ++k) acc[k] = _mm512_setzero_ps();
            __m256 biasAcc = _mm256_setzero_ps();
            for (int p = 0; p < kPairs; ++p) {
                const __m512 a = _mm512_load_ps(b.values[h - 1][p]);
                const float* d = b.bySample[h][p];
                const __m512 a0 = _mm512_moveldup_ps(a);
                const __m512 a1 = _mm512_movehdup_ps(a);
                for (int k = 0; k < 4; ++k) acc[k] = _mm512_add_ps(acc[k], _mm512_mul_ps(a0, pairBroadcast(d + 2 * k)));
                biasAcc = _mm256_add_ps(biasAcc, _mm256_load_ps(d));
                for (int k = 0; k < 4; ++k) acc[k] = _mm512_add_ps(acc[k], _mm512_mul_ps(a1, pairBroadcast(d + 8 + 2 * k)));
                biasAcc = _mm256_add_ps(biasAcc, _mm256_load_ps(d + 8));
            }
            const float layerStep = plan.layers[h + 1].step;
            const __m512 step = _mm512_set1_ps(layerStep);
            for (int k = 0; k < 4; ++k) {
                const __m512 w = _mm512_load_ps(q.pairs[h][k]);
                _mm512_store_ps(q.pairs[h][k], _mm512_maskz_sub_ps(q.realPairs[h][k], w, _mm512_mul_ps(acc[k], step)));
            }
            const __m256 bias = _mm256_load_ps(q.biases[h]);
            _mm256_store_ps(q.biases[h], _mm256_sub_ps(bias, _mm256_mul_ps(biasAcc, _mm512_castps512_ps256(step))));
            spread(q, h);
        }
    }
    store(q, plan);
}

}  // namespace fused

// The fused mini-batch stretched to middle hidden layers of up to 16
// neurons, for networks whose first and last hidden layers still have at
// most 8 (a narrow layer next to the input and the output keeps their code
// as above). A layer is held in groups of 8 neurons, each group in the pair
// layout above: lane 2j + e of group g, pair p holds neuron 8g + j for
// sample 2p + e. Sums run over the real inputs and neurons only; padding
// lanes past a layer's end stay at 0 as before.
namespace wide {

using fused::kPairs;
constexpr int kGroups = 2;
constexpr int kMaxSize = 8 * kGroups;
constexpr int kMaxHidden = kFastMaxLayers - 2;

struct Parameters {
    alignas(64) float first[16];       // layer 1: weight j in lane 2j, bias j in 2j + 1
    alignas(64) float firstTwice[16];  // lane 2j + e is layer 1's weight j
    alignas(64) float firstBiasTwice[16];
    alignas(64) float output[16];      // lane 2i + e is the output neuron's weight i
    // Hidden h >= 1: lane 2i + e of [k][g] is weight (2k + e, 8g + i).
    alignas(64) float pairs[kMaxHidden][kMaxSize / 2][kGroups][16];
    alignas(64) float biases[kMaxHidden][kMaxSize];
    // Lane 2j + e of [g][i] is weight (8g + j, i): the forward sums.
    alignas(64) float columns[kMaxHidden][kGroups][kMaxSize][16];
    // Lane 2i + e of [g][k] is weight (k, 8g + i): the backward error sums.
    alignas(64) float rows[kMaxHidden][kGroups][kMaxSize][16];
    alignas(64) float biasesTwice[kMaxHidden][kGroups][16];
    float outputBias = 0.0f;
    __mmask16 real[kMaxHidden][kGroups] = {};
    __mmask16 realPairs[kMaxHidden][kMaxSize / 2][kGroups] = {};
};

struct Batch {
    alignas(64) float values[kMaxHidden][kGroups][kPairs][16];
    alignas(64) float deltas[kMaxHidden][kGroups][kPairs][16];
    // [h][p]: sample 2p's deltas of every neuron, then sample 2p + 1's.
    alignas(64) float bySample[kMaxHidden][kPairs][2 * kMaxSize];
    alignas(64) float outputDeltas[kFastBatch];
    alignas(64) float pairInputs[kFastBatch];
    alignas(64) float pairTargets[kFastBatch];
};

inline uint32_t groupsOf(uint32_t size) { return (size + 7) / 8; }

inline __mmask16 realLanes(uint32_t size, uint32_t g) {
    const uint32_t first = 8 * g;
    const uint32_t count = size <= first ? 0 : (size - first < 8 ? size - first : 8);
    return static_cast<__mmask16>((1u << (2 * count)) - 1u);
}

void load(Parameters& q, const FastPlan& plan) {
    q = Parameters{};
    const int hidden = plan.layerCount - 2;
    for (int h = 0; h < hidden; ++h) {
        const FastLayer& layer = plan.layers[h + 1];
        for (uint32_t g = 0; g < kGroups; ++g) q.real[h][g] = realLanes(layer.size, g);
        for (uint32_t j = 0; j < layer.size; ++j) {
            if (h == 0) {
                q.first[2 * j] = layer.weights[j];
                q.first[2 * j + 1] = layer.biases[j];
                continue;
            }
            q.biases[h][j] = layer.biases[j];
            for (uint32_t i = 0; i < layer.fanIn; ++i) {
                const uint32_t lane = 2 * (i % 8) + j % 2;
                q.pairs[h][j / 2][i / 8][lane] = layer.weights[j * layer.fanIn + i];
                __mmask16& mask = q.realPairs[h][j / 2][i / 8];
                mask = static_cast<__mmask16>(mask | (1u << lane));
            }
        }
    }
    const FastLayer& out = plan.layers[hidden + 1];
    for (uint32_t i = 0; i < out.fanIn; ++i) {
        q.output[2 * i] = out.weights[i];
        q.output[2 * i + 1] = out.weights[i];
    }
    q.outputBias = out.biases[0];
}

void store(const Parameters& q, const FastPlan& plan) {
    const int hidden = plan.layerCount - 2;
    for (int h = 0; h < hidden; ++h) {
        const FastLayer& layer = plan.layers[h + 1];
        for (uint32_t j = 0; j < layer.size; ++j) {
            if (h == 0) {
                layer.weights[j] = q.first[2 * j];
                layer.biases[j] = q.first[2 * j + 1];
                continue;
            }
            layer.biases[j] = q.biases[h][j];
            for (uint32_t i = 0; i < layer.fanIn; ++i) {
                layer.weights[j * layer.fanIn + i] = q.pairs[h][j / 2][i / 8][2 * (i % 8) + j % 2];
            }
        }
    }
    const FastLayer& out = plan.layers[hidden + 1];
    for (uint32_t i = 0; i < out.fanIn; ++i) out.weights[i] = q.output[2 * i];
    out.biases[0] = q.outputBias;
}

void spreadFirst(Parameters& q) {
    const __m512 first = _mm512_load_ps(q.first);
    _mm512_store_ps(q.firstTwice, _mm512_moveldup_ps(first));
    _mm512_store_ps(q.firstBiasTwice, _mm512_movehdup_ps(first));
}

// The forward and backward layouts of hidden layer h >= 1 from its pairs.
void spread(Parameters& q, int h, uint32_t size, uint32_t fanIn) {
    const __m512i even = _mm512_setr_epi32(0, 0, 2, 2, 4, 4, 6, 6, 8, 8, 10, 10, 12, 12, 14, 14);
    const __m512i odd = _mm512_add_epi32(even, _mm512_set1_epi32(1));
    const uint32_t inGroups = groupsOf(fanIn);
    const uint32_t outGroups = groupsOf(size);
    for (uint32_t k = 0; k < size; ++k) {
        for (uint32_t g = 0; g < inGroups; ++g) {
            _mm512_store_ps(q.rows[h][g][k], _mm512_permutexvar_ps(k % 2 != 0 ? odd : even, _mm512_load_ps(q.pairs[h][k / 2][g])));
        }
    }
    // Lane 2j + e of column i: pair vector j / 2, lane 2i + j % 2; the low
    // half from vectors 0 and 1, the high half from 2 and 3.
    const __m512i base = _mm512_setr_epi32(0, 0, 1, 1, 16, 16, 17, 17, 0, 0, 1, 1, 16, 16, 17, 17);
    for (uint32_t go = 0; go < outGroups; ++go) {
        for (uint32_t gi = 0; gi < inGroups; ++gi) {
            const __m512 p0 = _mm512_load_ps(q.pairs[h][4 * go][gi]);
            const __m512 p1 = _mm512_load_ps(q.pairs[h][4 * go + 1][gi]);
            const __m512 p2 = _mm512_load_ps(q.pairs[h][4 * go + 2][gi]);
            const __m512 p3 = _mm512_load_ps(q.pairs[h][4 * go + 3][gi]);
            const uint32_t count = fanIn - 8 * gi < 8 ? fanIn - 8 * gi : 8;
            for (uint32_t i = 0; i < count; ++i) {
                const __m512i index = _mm512_add_epi32(base, _mm512_set1_epi32(static_cast<int>(2 * i)));
                const __m512 low = _mm512_permutex2var_ps(p0, index, p1);
                const __m512 high = _mm512_permutex2var_ps(p2, index, p3);
                _mm512_store_ps(q.columns[h][go][8 * gi + i], _mm512_mask_blend_ps(0xFF00, low, high));
            }
        }
        const __m512 b = _mm512_castps256_ps512(_mm256_load_ps(q.biases[h] + 8 * go));
        _mm512_store_ps(q.biasesTwice[h][go], _mm512_permutexvar_ps(fused::twiceIndex(0), b));
    }
}

// Group g of d, the deltas of pair p, into the by-sample rows.
inline void storeBySample(Batch& b, int h, uint32_t g, int p, __m512 d) {
    const __m512i toSamples = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __m512 s = _mm512_permutexvar_ps(toSamples, d);
    _mm256_store_ps(b.bySample[h][p] + 8 * g, _mm512_castps512_ps256(s));
    _mm256_store_ps(b.bySample[h][p] + kMaxSize + 8 * g, _mm512_extractf32x8_ps(s, 1));
}

// Sums for G groups of a layer at once over `count` neurons of the layer
// on the other side, P sample pairs from p: each of their values is
// broadcast once for all G groups. Weight (g, i) lies at weights + 16 *
// (g * kMaxSize + i); `in` holds the other layer's pair vectors by group.
// Biased sums start at the groups' biases, the others at the first product.
template <int G, int P, bool Biased>
inline void groupSums(const float* weights, const float* biases, const float* in, uint32_t count, int p,
                      __m512 (&acc)[G][P]) {
    const auto weight = [&](int g, uint32_t i) { return _mm512_load_ps(weights + 16 * (g * kMaxSize + i)); };
    const auto value = [&](uint32_t i, int k) {
        return fused::pairBroadcast(in + 16 * ((i / 8) * kPairs + p + k) + 2 * (i % 8));
    };
    uint32_t i = 0;
    if constexpr (Biased) {
        for (int g = 0; g < G; ++g) {
            const __m512 bias = _mm512_load_ps(biases + 16 * g);
            for (int k = 0; k < P; ++k) acc[g][k] = bias;
        }
    } else {
        __m512 w[G];
        for (int g = 0; g < G; ++g) w[g] = weight(g, 0);
        for (int k = 0; k < P; ++k) {
            const __m512 v = value(0, k);
            for (int g = 0; g < G; ++g) acc[g][k] = _mm512_mul_ps(w[g], v);
        }
        i = 1;
    }
    for (; i < count; ++i) {
        __m512 w[G];
        for (int g = 0; g < G; ++g) w[g] = weight(g, i);
        for (int k = 0; k < P; ++k) {
            const __m512 v = value(i, k);
            for (int g = 0; g < G; ++g) acc[g][k] = _mm512_add_ps(acc[g][k], _mm512_mul_ps(w[g], v));
        }
    }
}

template <int G>
constexpr int pairBlock() {
    return G == 1 ? 16 : 8;
}

template <int G>
NT_NOINLINE void forwardLayer(const Parameters& q, Batch& b, int h, uint32_t fanIn) {
    constexpr int P = pairBlock<G>();
    for (int p = 0; p < kPairs; p += P) {
        __m512 z[G][P];
        groupSums<G, P, true>(q.columns[h][0][0], q.biasesTwice[h][0], b.values[h - 1][0][0], fanIn, p, z);
        for (int g = 0; g < G; ++g) {
            for (int k = 0; k < P; ++k) _mm512_store_ps(b.values[h][g][p + k], _mm512_max_ps(z[g][k], _mm512_setzero_ps()));
        }
    }
}

// Deltas of hidden layer h - 1 from layer h's, with layer h's weights as
// they were; for the first layer only its gradient sums, into firstSums.
template <int G>
NT_NOINLINE void errorLayer(const Parameters& q, Batch& b, int h, uint32_t size, const float* x, __m512& firstSums) {
    constexpr int P = pairBlock<G>();
    for (int p = 0; p < kPairs; p += P) {
        __m512 error[G][P];
        groupSums<G, P, false>(q.rows[h][0][0], nullptr, b.deltas[h][0][0], size, p, error);
        for (int g = 0; g < G; ++g) {
            for (int k = 0; k < P; ++k) {
                const __m512 a = _mm512_load_ps(b.values[h - 1][g][p + k]);
                const __m512 d = _mm512_maskz_mul_ps(q.real[h - 1][g], fused::reluDerivative(a), error[g][k]);
                if (h == 1) {
                    firstSums = fused::addFirstPair(firstSums, d, x + 2 * (p + k));
                    continue;
                }
                _mm512_store_ps(b.deltas[h - 1][g][p + k], d);
                storeBySample(b, h - 1, static_cast<uint32_t>(g), p + k, d);
            }
        }
    }
}

// Weight gradients of the KB neuron pairs of hidden layer h >= 1 against all
// GI input groups, summed over the samples in order, and applied; each pair
// of deltas is broadcast once for every input group. Every sum is a chain of
// 32 additions, so all of the layer's run side by side, the biases' too.
template <int GI, int KB>
NT_NOINLINE void gradientBlock(Parameters& q, const Batch& b, int h, __m512 step) {
    constexpr int kBiasGroups = (2 * KB + 7) / 8;
    __m512 acc[GI][KB];
    __m256 biasAcc[kBiasGroups];
    for (int g = 0; g < GI; ++g) {
        for (int k = 0; k < KB; ++k) acc[g][k] = _mm512_setzero_ps();
    }
    for (int c = 0; c < kBiasGroups; ++c) biasAcc[c] = _mm256_setzero_ps();
    for (int p = 0; p < kPairs; ++p) {
        __m512 a[GI];
        for (int g = 0; g < GI; ++g) a[g] = _mm512_load_ps(b.values[h - 1][g][p]);
        const float* d = b.bySample[h][p];
        for (int half = 0; half < 2; ++half) {
            const float* ds = d + half * kMaxSize;
            for (int k = 0; k < KB; ++k) {
                const __m512 deltas = fused::pairBroadcast(ds + 2 * k);
                for (int g = 0; g < GI; ++g) {
                    const __m512 in = half == 0 ? _mm512_moveldup_ps(a[g]) : _mm512_movehdup_ps(a[g]);
                    acc[g][k] = _mm512_add_ps(acc[g][k], _mm512_mul_ps(in, deltas));
                }
            }
            for (int c = 0; c < kBiasGroups; ++c) biasAcc[c] = _mm256_add_ps(biasAcc[c], _mm256_load_ps(ds + 8 * c));
        }
    }
    for (int k = 0; k < KB; ++k) {
        for (int g = 0; g < GI; ++g) {
            float* w = q.pairs[h][k][g];
            _mm512_store_ps(w, _mm512_maskz_sub_ps(q.realPairs[h][k][g], _mm512_load_ps(w), _mm512_mul_ps(acc[g][k], step)));
        }
    }
    for (int c = 0; c < kBiasGroups; ++c) {
        float* bias = q.biases[h] + 8 * c;
        _mm256_store_ps(bias, _mm256_sub_ps(_mm256_load_ps(bias), _mm256_mul_ps(biasAcc[c], _mm512_castps512_ps256(step))));
    }
}

template <int GI>
void gradientGroups(Parameters& q, const Batch& b, int h, uint32_t size, __m512 step) {
    switch ((size + 1) / 2) {
#define NT_WIDE_GRADIENT(n) \
    case n: gradientBlock<GI, n>(q, b, h, step); break;
        NT_WIDE_GRADIENT(1)
        NT_WIDE_GRADIENT(2)
        NT_WIDE_GRADIENT(3)
        NT_WIDE_GRADIENT(4)
        NT_WIDE_GRADIENT(5)
        NT_WIDE_GRADIENT(6)
        NT_WIDE_GRADIENT(7)
        NT_WIDE_GRADIENT(8)
#undef NT_WIDE_GRADIENT
        default: break;
    }
}

void gradient(Parameters& q, const Batch& b, int h, uint32_t size, uint32_t fanIn, float layerStep) {
    const __m512 step = _mm512_set1_ps(layerStep);
    if (groupsOf(fanIn) == 1) {
        gradientGroups<1>(q, b, h, size, step);
    } else {
        gradientGroups<2>(q, b, h, size, step);
    }
}

NT_NOINLINE void batches(const FastPlan& plan, const float* inputs, const float* targets, uint32_t count,
                         bool interleaved) {
    const int hidden = plan.layerCount - 2;
    const int top = hidden - 1;
    const float outputStep = plan.layers[hidden + 1].step;
    uint32_t sizes[kMaxHidden] = {};
    for (int h = 0; h < hidden; ++h) sizes[h] = plan.layers[h + 1].size;
    Parameters q;
    Batch b;
    load(q, plan);
    spreadFirst(q);
    for (int h = 1; h < hidden; ++h) spread(q, h, sizes[h], sizes[h - 1]);
    const __mmask16 even = 0x5555;

    for (uint32_t batch = 0; batch < count; ++batch) {
        const float* x = inputs + static_cast<size_t>(batch) * kFastBatch;
        const float* t = targets + static_cast<size_t>(batch) * kFastBatch;
        if (interleaved) {
            fused::splitPairs(inputs + static_cast<size_t>(batch) * 2 * kFastBatch, b.pairInputs, b.pairTargets);
            x = b.pairInputs;
            t = b.pairTargets;
        }

        {
            const __m512 w = _mm512_load_ps(q.firstTwice);
            const __m512 bias = _mm512_load_ps(q.firstBiasTwice);
            for (int p = 0; p < kPairs; ++p) {
                const __m512 z = _mm512_add_ps(bias, _mm512_mul_ps(w, fused::pairBroadcast(x + 2 * p)));
                _mm512_store_ps(b.values[0][0][p], _mm512_max_ps(z, _mm512_setzero_ps()));
            }
        }
        for (int h = 1; h < hidden; ++h) {
            switch (groupsOf(sizes[h])) {
                case 1: forwardLayer<1>(q, b, h, sizes[h - 1]); break;
                default: forwardLayer<2>(q, b, h, sizes[h - 1]); break;
            }
        }
        const __m512 outputWeights = _mm512_load_ps(q.output);
        for (int half = 0; half < 2; ++half) {
            __m512 products[8];
            for (int p = 0; p < 8; ++p) {
                products[p] = _mm512_mul_ps(outputWeights, _mm512_load_ps(b.values[top][0][8 * half + p]));
            }
            const __m512 a = Avx512Ops::sigmoid(fused::outputSums(products, q.outputBias));
            const __m512 error = _mm512_sub_ps(a, _mm512_loadu_ps(t + 16 * half));
            const __m512 derivative = _mm512_mul_ps(_mm512_sub_ps(_mm512_set1_ps(1.0f), a), a);
            _mm512_store_ps(b.outputDeltas + 16 * half, _mm512_mul_ps(derivative, error));
        }

        // As in the narrow version: the top layer's deltas beside the
        // output's gradient, then the error sums down to the first layer,
        // whose update the next mini-batch waits for, then the gradients.
        __m512 firstSums = _mm512_setzero_ps();
        __m512 outputSums = _mm512_setzero_ps();
        for (int p = 0; p < kPairs; ++p) {
            const __m512 a = _mm512_load_ps(b.values[top][0][p]);
            const __m512 error = _mm512_mul_ps(outputWeights, fused::pairBroadcast(b.outputDeltas + 2 * p));
            const __m512 d = _mm512_maskz_mul_ps(q.real[top][0], fused::reluDerivative(a), error);
            _mm512_store_ps(b.deltas[top][0][p], d);
            storeBySample(b, top, 0, p, d);
            const __m512 d0 = _mm512_set1_ps(b.outputDeltas[2 * p]);
            const __m512 d1 = _mm512_set1_ps(b.outputDeltas[2 * p + 1]);
            outputSums = _mm512_add_ps(outputSums, _mm512_mask_mul_ps(d0, even, a, d0));
            outputSums = _mm512_add_ps(outputSums, _mm512_mask_mul_ps(d1, even, _mm512_movehdup_ps(a), d1));
        }
        {
            const __m512 step = _mm512_set1_ps(outputStep);
            const __m512 gradient = _mm512_moveldup_ps(outputSums);
            _mm512_store_ps(q.output, _mm512_maskz_sub_ps(q.real[top][0], outputWeights, _mm512_mul_ps(gradient, step)));
            const float biasGradient = _mm_cvtss_f32(_mm_movehdup_ps(_mm512_castps512_ps128(outputSums)));
            q.outputBias -= biasGradient * outputStep;
        }

        for (int h = top; h >= 1; --h) {
            switch (groupsOf(sizes[h - 1])) {
                case 1: errorLayer<1>(q, b, h, sizes[h], x, firstSums); break;
                default: errorLayer<2>(q, b, h, sizes[h], x, firstSums); break;
            }
        }
        {
            const __m512 step = _mm512_set1_ps(plan.layers[1].step);
            _mm512_store_ps(q.first, _mm512_maskz_sub_ps(q.real[0][0], _mm512_load_ps(q.first), _mm512_mul_ps(firstSums, step)));
            spreadFirst(q);
        }
        for (int h = 1; h <= top; ++h) {
            gradient(q, b, h, sizes[h], sizes[h - 1], plan.layers[h + 1].step);
            spread(q, h, sizes[h], sizes[h - 1]);
        }
    }
    store(q, plan);
}

}  // namespace wide

}  // namespace

namespace {

// Eight copies of the generator, each one step ahead of the one before,
// all advanced eight steps at a time: the next eight outputs in order, each
// reduced modulo n.
struct EightGenerators {
    __m512i states;
    __m512i jumpM;
    __m512i jumpC;
    __m512d divisor;
    __m512d reciprocal;

    EightGenerators(uint64_t state, uint64_t multiplier, uint64_t increment, uint32_t n) {
        alignas(64) uint64_t start[8];
        start[0] = state;
        for (int i = 1; i < 8; ++i) start[i] = start[i - 1] * multiplier + increment;
        uint64_t jumpMultiplier = 1;
        uint64_t jumpIncrement = 0;
        for (int i = 0; i < 8; ++i) {
            jumpIncrement = jumpIncrement * multiplier + increment;
            jumpMultiplier *= multiplier;
        }
        states = _mm512_load_si512(start);
        jumpM = _mm512_set1_epi64(static_cast<long long>(jumpMultiplier));
        jumpC = _mm512_set1_epi64(static_cast<long long>(jumpIncrement));
        divisor = _mm512_set1_pd(static_cast<double>(n));
        reciprocal = _mm512_set1_pd(1.0 / static_cast<double>(n));
    }

    __m256i nextIndices() {
        const __m512i old = states;
        states = _mm512_add_epi64(_mm512_mullo_epi64(old, jumpM), jumpC);
        // The output function: xorshift, then a rotation of the low 32 bits
        // by the top five bits of the state.
        const __m512i shifted = _mm512_srli_epi64(_mm512_xor_si512(_mm512_srli_epi64(old, 18), old), 27);
        const __m512i rotated = _mm512_rorv_epi32(shifted, _mm512_srli_epi64(old, 59));
        const __m512d x = _mm512_cvtepu64_pd(_mm512_and_si512(rotated, _mm512_set1_epi64(0xffffffffLL)));
        // The quotient from the rounded reciprocal is off by at most one
        // either way; x - q * n is exact, so one correction gives the
        // remainder.
        const __m512d q = _mm512_roundscale_pd(_mm512_mul_pd(x, reciprocal), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        __m512d r = _mm512_fnmadd_pd(q, divisor, x);
        r = _mm512_mask_add_pd(r, _mm512_cmp_pd_mask(r, _mm512_setzero_pd(), _CMP_LT_OQ), r, divisor);
        r = _mm512_mask_sub_pd(r, _mm512_cmp_pd_mask(r, divisor, _CMP_GE_OQ), r, divisor);
        return _mm512_cvttpd_epu32(r);
    }

    // The state of the first copy: the generator after the outputs so far.
    uint64_t state() const { return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(states))); }
};

}  // namespace

void pcgIndicesAvx512(uint64_t* state, uint64_t multiplier, uint64_t increment, uint32_t n, uint32_t* out,
                      uint32_t count) {
    EightGenerators generators(*state, multiplier, increment, n);
    for (uint32_t k = 0; k + 8 <= count; k += 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), generators.nextIndices());
    }
    *state = generators.state();
}

uint32_t shufflePairsAvx512(float* pairs, uint64_t* state, uint64_t multiplier, uint64_t increment, uint32_t n) {
    const uint32_t blocks = n / 8;
    if (blocks == 0) return 0;
    EightGenerators generators(*state, multiplier, increment, n);
    // Each block's positions are drawn while the block before is exchanged:
    // the draws keep the vector units busy, the exchanges wait on memory.
    alignas(32) uint32_t positions[2][8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(positions[0]), generators.nextIndices());
    for (uint32_t b = 0; b < blocks; ++b) {
        if (b + 1 < blocks) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(positions[(b + 1) % 2]), generators.nextIndices());
        }
        const uint32_t* drawn = positions[b % 2];
        for (uint32_t i = 0; i < 8; ++i) {
            float* here = pairs + 2 * static_cast<size_t>(8 * b + i);
            float* there = pairs + 2 * static_cast<size_t>(drawn[i]);
            uint64_t a = 0;
            uint64_t c = 0;
            memcpy(&a, here, sizeof a);
            memcpy(&c, there, sizeof c);
            memcpy(here, &c, sizeof c);
            memcpy(there, &a, sizeof a);
        }
    }
    *state = generators.state();
    return 8 * blocks;
}

void fusedBatchesAvx512(const FastPlan& plan, const float* inputs, const float* targets, uint32_t batches,
                        bool interleaved) {
    fused::batches(plan, inputs, targets, batches, interleaved);
}

void wideFusedBatchesAvx512(const FastPlan& plan, const float* inputs, const float* targets, uint32_t batches,
                            bool interleaved) {
    wide::batches(plan, inputs, targets, batches, interleaved);
}

void splitPairsAvx512(const float* pairs, float* inputs, float* targets) { fused::splitPairs(pairs, inputs, targets); }

void fastBatchAvx512(const FastPlan& plan, const float* inputs, const float* targets) {
    fastkernel::trainBatch<Avx512Ops>(plan, inputs, targets);
}

void fastForwardAvx512(const FastPlan& plan, const float* inputs) {
    fastkernel::forwardBatch<Avx512Ops>(plan, inputs);
}

void fastSigmoidAvx512(const float* z, float* out, uint64_t count) {
    fastkernel::sigmoidArray<Avx512Ops>(z, out, count);
}

#endif
