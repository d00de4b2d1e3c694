#pragma once

#include <cstdint>
#include <vector>

#include "nn/network.h"
#include "wave/wave_table.h"

// What a model puts out over one cycle, heard as samples or measured against
// a waveform. Both need a network of one input and one output.

// Frames a rendered cycle may have: enough for any single-cycle table, few
// enough that the samples stay small.
constexpr uint32_t kDefaultRenderFrames = 600;
constexpr uint32_t kMaxRenderFrames = 1u << 20;

// The sample that stands for an amplitude: the inverse of amplitudeOfSample,
// rounded to nearest and clamped to 16 bits (so 1.0 gives 32767). An output
// that is not a number gives 0, the middle of the range.
int16_t sampleOfAmplitude(float amplitude);

// The model's output at phases i / frames, i = 0 .. frames - 1, as samples.
std::vector<int16_t> renderModelCycle(Network& net, uint32_t frames);

// A fixed grid of phases, so the same model and waveform always give the same
// figure (the training's estimate draws random phases).
constexpr uint32_t kComparePhases = 4096;

struct ModelComparison {
    double meanErrorPercent = 0.0;   // mean |output - goal| in percent of the amplitude range
    float worstPhase = 0.0f;         // the first phase with the largest error
    float worstErrorPercent = 0.0f;
    float worstOutput = 0.0f;
    float worstGoal = 0.0f;
};

// Compares the model with the waveform at phases i / kComparePhases, reading
// the waveform at phase * sampleCount as the plot and the training do. An
// output that is not a number counts as the whole range wrong. The table must
// hold at least one sample.
ModelComparison compareModelToWave(Network& net, const WaveTable& table);
