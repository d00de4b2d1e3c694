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

namespace {

struct Avx512Ops {
    using V = __m512;
    static constexpr int kWidth = 16;
    static constexpr int kRowBlock = 8;
    static constexpr int kAccumulators = 16;

    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static V set1(float x) { return _mm512_set1_ps(x); }
    static V zero() { return _mm512_setzero_ps(); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    // max returns its second operand for NaN and for equal zeros: +0, like relu.
    static V relu(V z) { return _mm512_max_ps(z, _mm512_setzero_ps()); }
    static V positiveMask(V a) {
        const __mmask16 positive = _mm512_cmp_ps_mask(a, _mm512_setzero_ps(), _CMP_GT_OQ);
        return _mm512_maskz_mov_ps(positive, _mm512_set1_ps(1.0f));
    }

    // Tiles of 16 neurons by 16 samples, turned in registers. Rows past the
    // layer's end read as 1.0 (the bias column) and then 0.
    static void transpose(float* transposed, uint32_t stride, const float* values, uint32_t size) {
        for (uint32_t j0 = 0; j0 <= size; j0 += 16) {
            for (int g = 0; g < kFastBatch; g += 16) {
                __m512 r[16];
                for (uint32_t k = 0; k < 16; ++k) {
                    const uint32_t j = j0 + k;
                    r[k] = j < size ? _mm512_loadu_ps(values + static_cast<size_t>(j) * kFastBatch + g)
                                    : _mm512_set1_ps(j == size ? 1.0f : 0.0f);
                }
                __m512 t[16];
                for (int i = 0; i < 8; ++i) {
                    t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
                    t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
                }
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
                for (int i = 0; i < 2; ++i) {
                    for (int k = 0; k < 4; ++k) {
                        t[8 * i + k] = _mm512_shuffle_f32x4(r[8 * i + k], r[8 * i + k + 4], 0x88);
                        t[8 * i + k + 4] = _mm512_shuffle_f32x4(r[8 * i + k], r[8 * i + k + 4], 0xdd);
                    }
                }
                for (int k = 0; k < 8; ++k) {
                    r[k] = _mm512_shuffle_f32x4(t[k], t[k + 8], 0x88);
                    r[k + 8] = _mm512_shuffle_f32x4(t[k], t[k + 8], 0xdd);
                }
                for (int k = 0; k < 16; ++k) _mm512_storeu_ps(transposed + static_cast<size_t>(g + k) * stride + j0, r[k]);
            }
        }
    }
};

}  // namespace

void fastBatchAvx512(const FastPlan& plan, const float* inputs, const float* targets) {
    fastkernel::trainBatch<Avx512Ops>(plan, inputs, targets);
}

#endif
