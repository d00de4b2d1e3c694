// The mini-batch kernels built for AVX2 with FMA; only ever called after the
// processor has been checked for them.
#include "nn/train_fast_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

namespace {

// exp(x) for |x| <= kExpLimit: x = n ln2 + r, |r| <= ln2 / 2, a Taylor
// polynomial of degree 13 for exp(r), then scaled by 2^n.
__m256d expNear(__m256d x) {
    using namespace fastkernel;
    const __m256d n = _mm256_round_pd(_mm256_mul_pd(x, _mm256_set1_pd(kLog2e)), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256d r = _mm256_fnmadd_pd(n, _mm256_set1_pd(kLn2High), x);
    r = _mm256_fnmadd_pd(n, _mm256_set1_pd(kLn2Low), r);
    // In pairs of terms over r^2, r^4 and r^8 (see the AVX-512 kernels);
    // c[k] = 1/k!, from kExpTaylor (which runs from 1/13! down to 1/2!).
    const auto c = [](int k) { return _mm256_set1_pd(k < 2 ? 1.0 : kExpTaylor[13 - k]); };
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    const __m256d r8 = _mm256_mul_pd(r4, r4);
    const __m256d s0 = _mm256_fmadd_pd(_mm256_fmadd_pd(c(3), r, c(2)), r2, _mm256_fmadd_pd(c(1), r, c(0)));
    const __m256d s1 = _mm256_fmadd_pd(_mm256_fmadd_pd(c(7), r, c(6)), r2, _mm256_fmadd_pd(c(5), r, c(4)));
    const __m256d s2 = _mm256_fmadd_pd(_mm256_fmadd_pd(c(11), r, c(10)), r2, _mm256_fmadd_pd(c(9), r, c(8)));
    const __m256d t0 = _mm256_fmadd_pd(s1, r4, s0);
    const __m256d t1 = _mm256_fmadd_pd(_mm256_fmadd_pd(c(13), r, c(12)), r4, s2);
    const __m256d p = _mm256_fmadd_pd(t1, r8, t0);
    // 2^n from its exponent bits: n + 1023 lands in the low bits of 1.5 * 2^52 + n + 1023.
    const __m256i biased = _mm256_castpd_si256(_mm256_add_pd(n, _mm256_set1_pd(6755399441055744.0 + 1023.0)));
    const __m256d scale = _mm256_castsi256_pd(_mm256_slli_epi64(biased, 52));
    return _mm256_mul_pd(p, scale);
}

// Lanes whose double result lies too near a tie between two floats, as all-ones.
__m256i nearFloatTie(__m256d y) {
    const __m256i low = _mm256_and_si256(_mm256_castpd_si256(y), _mm256_set1_epi64x((int64_t{1} << 29) - 1));
    const __m256i offset = _mm256_sub_epi64(low, _mm256_set1_epi64x(int64_t{1} << 28));
    const __m256i limit = _mm256_set1_epi64x(fastkernel::kTieHalfWidth);
    const __m256i above = _mm256_cmpgt_epi64(offset, limit);
    const __m256i below = _mm256_cmpgt_epi64(_mm256_sub_epi64(_mm256_setzero_si256(), limit), offset);
    return _mm256_andnot_si256(_mm256_or_si256(above, below), _mm256_set1_epi64x(-1));
}

// (float)exp(-(double)z) for 4 lanes; `unsure` gets a nonzero bit for any
// lane it can't vouch for.
__m128 expNegated(__m128 z, int& unsure) {
    const __m256d x = _mm256_sub_pd(_mm256_setzero_pd(), _mm256_cvtps_pd(z));
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
    const __m256d inRange = _mm256_cmp_pd(magnitude, _mm256_set1_pd(fastkernel::kExpLimit), _CMP_LE_OQ);
    const __m256d y = expNear(x);
    const __m256d bad = _mm256_or_pd(_mm256_xor_pd(inRange, _mm256_castsi256_pd(_mm256_set1_epi64x(-1))),
                                     _mm256_castsi256_pd(nearFloatTie(y)));
    unsure |= _mm256_movemask_pd(bad);
    return _mm256_cvtpd_ps(y);
}

struct Avx2Ops {
    using V = __m256;
    static constexpr int kWidth = 8;
    static constexpr int kRowBlock = 4;
    static constexpr int kAccumulators = 8;
    static constexpr bool kPairedGradient = false;
    static constexpr bool kInterleaveFour = false;

    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V zero() { return _mm256_setzero_ps(); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    // max returns its second operand for NaN and for equal zeros: +0, like relu.
    static V relu(V z) { return _mm256_max_ps(z, _mm256_setzero_ps()); }
    // The ReLU derivative taken from the activation a, times z.
    static V reluDerivativeTimes(V a, V z) { return mul(positiveMask(a), z); }
    static V positiveMask(V a) {
        return _mm256_and_ps(_mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_GT_OQ), _mm256_set1_ps(1.0f));
    }

    // The first count (< 8) lanes; memory past them is never touched.
    static __m256i firstLanes(uint32_t count) {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static V loadPartial(const float* p, uint32_t count) { return _mm256_maskload_ps(p, firstLanes(count)); }
    static void storePartial(float* p, V v, uint32_t count) { _mm256_maskstore_ps(p, firstLanes(count), v); }
    static float lane(V v, uint32_t k) {
        return _mm256_cvtss_f32(_mm256_permutevar8x32_ps(v, _mm256_set1_epi32(static_cast<int>(k))));
    }
    static V sigmoid(V z) {
        int unsure = 0;
        const __m128 low = expNegated(_mm256_castps256_ps128(z), unsure);
        const __m128 high = expNegated(_mm256_extractf128_ps(z, 1), unsure);
        const V e = _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
        V result = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_add_ps(e, _mm256_set1_ps(1.0f)));
        if (unsure != 0) {
            alignas(32) float lanes[8];
            alignas(32) float values[8];
            _mm256_store_ps(lanes, z);
            for (int i = 0; i < 8; ++i) values[i] = fastkernel::sigmoidOf<Avx2Ops>(lanes[i]);
            result = _mm256_load_ps(values);
        }
        return result;
    }

    // Tiles of 8 neurons by 8 samples, turned in registers. Rows past the
    // layer's end read as 1.0 (the bias column) and then 0. A tile that
    // would hold nothing but those constants is left out: the plan set them
    // and nothing overwrites them.
    static void transpose(float* transposed, uint32_t stride, const float* values, uint32_t size) {
        for (uint32_t j0 = 0; j0 < size; j0 += 8) {
            for (int g = 0; g < kFastBatch; g += 8) {
                __m256 r[8];
                for (uint32_t k = 0; k < 8; ++k) {
                    const uint32_t j = j0 + k;
                    r[k] = j < size ? _mm256_loadu_ps(values + static_cast<size_t>(j) * kFastBatch + g)
                                    : _mm256_set1_ps(j == size ? 1.0f : 0.0f);
                }
                __m256 t[8];
                for (int i = 0; i < 4; ++i) {
                    t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
                    t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
                }
                for (int i = 0; i < 2; ++i) {
                    const __m256d a = _mm256_castps_pd(t[4 * i]);
                    const __m256d b = _mm256_castps_pd(t[4 * i + 1]);
                    const __m256d c = _mm256_castps_pd(t[4 * i + 2]);
                    const __m256d d = _mm256_castps_pd(t[4 * i + 3]);
                    r[4 * i] = _mm256_castpd_ps(_mm256_unpacklo_pd(a, c));
                    r[4 * i + 1] = _mm256_castpd_ps(_mm256_unpackhi_pd(a, c));
                    r[4 * i + 2] = _mm256_castpd_ps(_mm256_unpacklo_pd(b, d));
                    r[4 * i + 3] = _mm256_castpd_ps(_mm256_unpackhi_pd(b, d));
                }
                for (int k = 0; k < 4; ++k) {
                    t[k] = _mm256_permute2f128_ps(r[k], r[k + 4], 0x20);
                    t[k + 4] = _mm256_permute2f128_ps(r[k], r[k + 4], 0x31);
                }
                for (int k = 0; k < 8; ++k) _mm256_storeu_ps(transposed + static_cast<size_t>(g + k) * stride + j0, t[k]);
            }
        }
    }
};

}  // namespace

void fastBatchAvx2(const FastPlan& plan, const float* inputs, const float* targets) {
    fastkernel::trainBatch<Avx2Ops>(plan, inputs, targets);
}

void fastForwardAvx2(const FastPlan& plan, const float* inputs) {
    fastkernel::forwardBatch<Avx2Ops>(plan, inputs);
}

void fastSigmoidAvx2(const float* z, float* out, uint64_t count) {
    fastkernel::sigmoidArray<Avx2Ops>(z, out, count);
}

#endif
