#pragma once

#include "nn/pcg32.h"
#include "wave/wave_table.h"

constexpr int kTrainingPoints = 50000;

// The fixed examples the network learns from: pair i is (inputs[i], targets[i]).
// The two arrays always move together.
struct TrainingSet {
    float* inputs = nullptr;   // (kTrainingPoints) phases in [0, 1]
    float* targets = nullptr;  // (kTrainingPoints) amplitudes in [0, 1)
    // (2 * kTrainingPoints) room for the same pairs side by side (input,
    // target, input, ...): the fast kernels train and shuffle them that way
    // during a burst, which halves the memory the shuffle's random exchanges
    // touch, and copy them back at its end.
    float* pairs = nullptr;
};

// Frees the previous arrays, allocates new ones and draws every pair from the
// table with exactly kTrainingPoints generator steps. Returns false (arrays
// absent) when memory can't be had. The table must hold at least one sample
// (the reader never installs an empty one).
bool drawTrainingSet(TrainingSet& set, const WaveTable& table, Pcg32& rng);
void releaseTrainingSet(TrainingSet& set);
