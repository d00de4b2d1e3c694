#pragma once

#include <cstdint>

// The run's one random generator: PCG32 (XSH RR) with a fixed increment and
// no stream selector. The consumption order of this state is behaviour: with
// the same seed and the same input a run repeats exactly.
struct Pcg32 {
    uint64_t state = 0;
};

constexpr uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr uint64_t kPcgIncrement = 2891336453ULL;
// The double nearest to 1/4294967295, i.e. 2^-32 + 2^-64.
constexpr double kUnitScale = 1.0 / 4294967295.0;
// The float nearest to -1/1.702 (logistic approximation of the normal CDF).
constexpr float kNormalScale = -0.5875441f;

// Seeds from a clock value: its low 32 bits in both halves of the state.
void seedFromClock(Pcg32& rng, int64_t clockSeconds);

inline uint32_t nextU32(Pcg32& rng) {
    const uint64_t old = rng.state;
    rng.state = old * kPcgMultiplier + kPcgIncrement;
    const uint32_t xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
    const uint32_t rot = static_cast<uint32_t>(old >> 59u);
    return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

// The unit value of one generator output: exact double product, one rounding.
inline float unitFromU32(uint32_t output) {
    return static_cast<float>(static_cast<double>(output) * kUnitScale);
}

// Uniform in [0, 1]; both ends reachable.
inline float nextUnit(Pcg32& rng) { return unitFromU32(nextU32(rng)); }

// Plain remainder (slightly biased); the shuffle depends on exactly this.
inline uint32_t nextIndex(Pcg32& rng, uint32_t n) { return nextU32(rng) % n; }

// About unit normal: logit(u) / 1.702. Outputs whose unit value is 0 or 1
// (logit infinite) are drawn again; each rejected draw still costs a step.
float nextNormal(Pcg32& rng);
