#pragma once

#include <cstdint>

// Independent chains of multiply-adds, as many as keep the floating-point
// units busy without spilling a register. Each runs `iterations` rounds,
// adds a value that depends on all of them to `sink` (so nothing is
// optimized away) and returns the FLOPs done, a multiply-add counted as 2.
double fmaLoopAvx512(int64_t iterations, float& sink);  // 16 chains of 16 lanes
double fmaLoopAvx2(int64_t iterations, float& sink);    // 10 chains of 8 lanes
// What the portable kernel can use: separate multiplies and adds on four
// lanes, which the compiler puts into the baseline vector registers.
double mulAddLoopPortable(int64_t iterations, float& sink);
