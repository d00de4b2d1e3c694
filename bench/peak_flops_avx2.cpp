#include "bench/peak_flops.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

double fmaLoopAvx2(int64_t iterations, float& sink) {
    constexpr int kChains = 10;
    __m256 acc[kChains];
    for (int c = 0; c < kChains; ++c) acc[c] = _mm256_set1_ps(static_cast<float>(c));
    const __m256 a = _mm256_set1_ps(0.999999f);
    const __m256 b = _mm256_set1_ps(1e-7f);
    for (int64_t i = 0; i < iterations; ++i) {
        for (int c = 0; c < kChains; ++c) acc[c] = _mm256_fmadd_ps(acc[c], a, b);
    }
    __m256 sum = acc[0];
    for (int c = 1; c < kChains; ++c) sum = _mm256_add_ps(sum, acc[c]);
    alignas(64) float lanes[8];
    _mm256_store_ps(lanes, sum);
    for (float lane : lanes) sink += lane;
    return static_cast<double>(iterations) * kChains * 8 * 2.0;
}

#endif
