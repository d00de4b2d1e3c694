#include "wave/wave_table.h"

#include <cmath>
#include <cstdlib>

void replaceWaveSamples(WaveTable& table, int16_t* samples, uint64_t count) {
    std::free(table.samples);
    table.samples = samples;
    table.sampleCount = count;
}

void releaseWaveTable(WaveTable& table) { replaceWaveSamples(table, nullptr, 0); }

float sampleWaveTable(const WaveTable& table, float x) {
    const float n = static_cast<float>(table.sampleCount);
    if (!(x < n)) x = n + -0.01f;
    uint64_t k0 = static_cast<uint64_t>(x);
    // For tables above 2^18 samples n - 0.01 rounds back to n; a position that
    // still names one past the end reads the last sample instead.
    if (k0 >= table.sampleCount) k0 = table.sampleCount - 1;
    // The sample after k0, wrapping to the first: k0 < sampleCount, so this
    // is (k0 + 1) % sampleCount without a division on every lookup.
    const uint64_t k1 = k0 + 1 == table.sampleCount ? 0 : k0 + 1;
    // For x >= 0 the remainder by 1 is x minus its whole part, and that
    // subtraction is exact, so it equals fmodf without the library call the
    // error measurement would otherwise make a thousand times an epoch.
    float f = 0.0f;
    if (x >= 0.0f) {
        f = x - static_cast<float>(static_cast<uint64_t>(x));
    } else {
        f = std::fmod(x, 1.0f);
        if (f < 0.0f) f += 1.0f;
    }
    const float a = amplitudeOfSample(table.samples[k0]);
    const float b = amplitudeOfSample(table.samples[k1]);
    return (b - a) * f + a;
}
