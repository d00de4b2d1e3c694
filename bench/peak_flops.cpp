#include "peak_flops.h"

#include <cmath>

float fmaLoopScalar(int64_t iterations) {
    float acc[kPeakChains];
    for (int c = 0; c < kPeakChains; ++c) acc[c] = static_cast<float>(c);
    const float a = 0.999999f;
    const float b = 1e-7f;
    for (int64_t i = 0; i < iterations; ++i) {
        for (int c = 0; c < kPeakChains; ++c) acc[c] = std::fma(acc[c], a, b);
    }
    float sum = 0.0f;
    for (int c = 0; c < kPeakChains; ++c) sum += acc[c];
    return sum;
}
