#pragma once

#include <cstdint>

// One cycle of the chosen waveform: signed 16-bit mono samples as stored.
// A sample s stands for the amplitude s * 2^-16 + 0.5 (single precision).
struct WaveTable {
    int16_t* samples = nullptr;
    uint64_t sampleCount = 0;
};

constexpr float kSampleScale = 1.52587890625e-05f;  // 2^-16, exact

inline float amplitudeOfSample(int16_t s) { return static_cast<float>(s) * kSampleScale + 0.5f; }

// Installs a new sample array (ownership passes to the table) and frees the old one.
void replaceWaveSamples(WaveTable& table, int16_t* samples, uint64_t count);
void releaseWaveTable(WaveTable& table);

// The waveform at a fractional sample position x in [0, sampleCount], by linear
// interpolation wrapping from the last sample to the first. The table must
// hold at least one sample.
float sampleWaveTable(const WaveTable& table, float x);
