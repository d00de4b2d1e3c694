#pragma once

#include <cstdint>

// Independent chains of fused multiply-adds, as many as keep the FMA units
// busy; each call runs `iterations` rounds and returns a value that depends
// on all of them so nothing is optimized away. FLOPs per call:
// iterations * kPeakChains * width * 2.
constexpr int kPeakChains = 16;

float fmaLoopScalar(int64_t iterations);
float fmaLoopAvx2(int64_t iterations);    // width 8
float fmaLoopAvx512(int64_t iterations);  // width 16
