// The mini-batch kernels built for AVX-512 (F, BW, DQ, VL); only ever called
// after the processor has been checked for them.
#include "nn/train_fast_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
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
    // max returns its second operand for NaN and for equal zeros: +0, like
    // relu. (The zero-masking form only spares g++ 12 a false warning about
    // the plain form's undefined pass-through.)
    static V relu(V z) { return _mm512_maskz_max_ps(static_cast<__mmask16>(0xFFFF), z, _mm512_setzero_ps()); }
    static V positiveMask(V a) {
        const __mmask16 positive = _mm512_cmp_ps_mask(a, _mm512_setzero_ps(), _CMP_GT_OQ);
        return _mm512_maskz_mov_ps(positive, _mm512_set1_ps(1.0f));
    }
};

}  // namespace

void fastBatchAvx512(const FastPlan& plan, const float* inputs, const float* targets) {
    fastkernel::trainBatch<Avx512Ops>(plan, inputs, targets);
}

#endif
