#include "bench/peak_flops.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

double fmaLoopAvx512(int64_t iterations, float& sink) {
    constexpr int kChains = 16;
    __m512 acc[kChains];
    for (int c = 0; c < kChains; ++c) acc[c] = _mm512_set1_ps(static_cast<float>(c));
    const __m512 a = _mm512_set1_ps(0.999999f);
    const __m512 b = _mm512_set1_ps(1e-7f);
    for (int64_t i = 0; i < iterations; ++i) {
        for (int c = 0; c < kChains; ++c) acc[c] = _mm512_fmadd_ps(acc[c], a, b);
    }
    __m512 sum = acc[0];
    for (int c = 1; c < kChains; ++c) sum = _mm512_add_ps(sum, acc[c]);
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, sum);
    for (float lane : lanes) sink += lane;
    return static_cast<double>(iterations) * kChains * 16 * 2.0;
}

#endif
