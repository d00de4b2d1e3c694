#include "wave/training_set.h"

#include <cstdlib>

void releaseTrainingSet(TrainingSet& set) {
    std::free(set.inputs);
    std::free(set.targets);
    std::free(set.pairs);
    set.inputs = nullptr;
    set.targets = nullptr;
    set.pairs = nullptr;
}

bool drawTrainingSet(TrainingSet& set, const WaveTable& table, Pcg32& rng) {
    releaseTrainingSet(set);
    set.inputs = static_cast<float*>(std::malloc(kTrainingPoints * sizeof(float)));
    set.targets = static_cast<float*>(std::malloc(kTrainingPoints * sizeof(float)));
    set.pairs = static_cast<float*>(std::malloc(2 * kTrainingPoints * sizeof(float)));
    if (set.inputs == nullptr || set.targets == nullptr || set.pairs == nullptr) {
        releaseTrainingSet(set);
        return false;
    }
    const float n = static_cast<float>(table.sampleCount);
    Pcg32 local = rng;
    for (int i = 0; i < kTrainingPoints; ++i) {
        const float phase = nextUnit(local);
        set.inputs[i] = phase;
        set.targets[i] = sampleWaveTable(table, phase * n);
    }
    rng = local;
    return true;
}
