#include "bench/peak_flops.h"

double mulAddLoopPortable(int64_t iterations, float& sink) {
    constexpr int kChains = 8;
    constexpr int kLanes = 4;
    float acc[kChains][kLanes];
    for (int c = 0; c < kChains; ++c) {
        for (int l = 0; l < kLanes; ++l) acc[c][l] = static_cast<float>(c + l);
    }
    const float a = 0.999999f;
    const float b = 1e-7f;
    for (int64_t i = 0; i < iterations; ++i) {
        for (int c = 0; c < kChains; ++c) {
            for (int l = 0; l < kLanes; ++l) acc[c][l] = acc[c][l] * a + b;
        }
    }
    for (int c = 0; c < kChains; ++c) {
        for (int l = 0; l < kLanes; ++l) sink += acc[c][l];
    }
    return static_cast<double>(iterations) * kChains * kLanes * 2.0;
}
