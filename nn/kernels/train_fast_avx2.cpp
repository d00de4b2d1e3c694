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
};

}  // namespace

void fastBatchAvx2(const FastPlan& plan, const float* inputs, const float* targets) {
    fastkernel::trainBatch<Avx2Ops>(plan, inputs, targets);
}

#endif
