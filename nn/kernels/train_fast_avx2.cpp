// The mini-batch kernels built for AVX2 with FMA; only ever called after the
// processor has been checked for them.
#include "nn/train_fast_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

namespace {

struct Avx2Ops {
    using V = __m256;
    static constexpr int kWidth = 8;
    static constexpr int kRowBlock = 4;
    static constexpr int kAccumulators = 8;

    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V zero() { return _mm256_setzero_ps(); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    // max returns its second operand for NaN and for equal zeros: +0, like relu.
    static V relu(V z) { return _mm256_max_ps(z, _mm256_setzero_ps()); }
    static V positiveMask(V a) {
        return _mm256_and_ps(_mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_GT_OQ), _mm256_set1_ps(1.0f));
    }

    // Tiles of 8 neurons by 8 samples, turned in registers. Rows past the
    // layer's end read as 1.0 (the bias column) and then 0.
    static void transpose(float* transposed, uint32_t stride, const float* values, uint32_t size) {
        for (uint32_t j0 = 0; j0 <= size; j0 += 8) {
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

#endif
