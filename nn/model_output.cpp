#include "nn/model_output.h"

#include <cmath>

#include "nn/forward.h"

int16_t sampleOfAmplitude(float amplitude) {
    if (!(amplitude == amplitude)) return 0;
    const float scaled = (amplitude - 0.5f) * 65536.0f;
    if (scaled >= 32767.0f) return 32767;
    if (scaled <= -32768.0f) return -32768;
    return static_cast<int16_t>(std::lround(scaled));
}

std::vector<int16_t> renderModelCycle(Network& net, uint32_t frames) {
    std::vector<int16_t> samples(frames);
    for (uint32_t i = 0; i < frames; ++i) {
        const float phase = static_cast<float>(i) / static_cast<float>(frames);
        float output = 0.0f;
        evaluateNetwork(net, &phase, &output);
        samples[i] = sampleOfAmplitude(output);
    }
    return samples;
}

ModelComparison compareModelToWave(Network& net, const WaveTable& table) {
    ModelComparison result;
    const float n = static_cast<float>(table.sampleCount);
    double sum = 0.0;
    float worst = -1.0f;
    for (uint32_t i = 0; i < kComparePhases; ++i) {
        const float phase = static_cast<float>(i) / static_cast<float>(kComparePhases);
        const float goal = sampleWaveTable(table, phase * n);
        float output = 0.0f;
        evaluateNetwork(net, &phase, &output);
        const float error = output == output ? std::fabs(output - goal) : 1.0f;
        sum += error;
        if (error > worst) {
            worst = error;
            result.worstPhase = phase;
            result.worstOutput = output;
            result.worstGoal = goal;
        }
    }
    result.meanErrorPercent = sum / kComparePhases * 100.0;
    result.worstErrorPercent = worst * 100.0f;
    return result;
}
