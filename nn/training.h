#pragma once

#include <cstdint>

#include "nn/network.h"
#include "nn/pcg32.h"
#include "wave/training_set.h"
#include "wave/wave_table.h"

constexpr int kBatchSize = 32;
constexpr int kErrorPoints = 1000;
constexpr float kSigmoidLearningRate = 3.0f;
constexpr float kReluLearningRate = 0.05f;
constexpr float kBatchScale = 0.03125f;  // 1/32: summed gradients to their mean
constexpr float kErrorScale = 0.1f;      // sum of 1000 absolute errors to percent

inline float learningRate(Activation activation) {
    return activation == Sigmoid ? kSigmoidLearningRate : kReluLearningRate;
}

// One mini-batch of kBatchSize consecutive samples starting at the given
// positions, then one update of every bias and weight. This is the plain
// per-sample loop, kept as the reference the fast kernels are tested against.
void trainBatch(Network& net, const float* inputs, const float* targets);

// Mean absolute error in percent at kErrorPoints fresh random phases.
float measureError(Network& net, const WaveTable& table, Pcg32& rng);

// Exchanges every position with one drawn from all kTrainingPoints (not
// Fisher-Yates; seeded runs reproduce only with exactly this procedure).
void shuffleTrainingSet(TrainingSet& set, Pcg32& rng);

// Which implementation of the mini-batch trains an epoch.
enum class TrainKernel { Reference, Fast };

// Runs `epochs` epochs, printing one progress line per epoch, and returns the
// error measured after the last. epochsTrained is advanced by one per epoch.
float trainEpochs(Network& net, TrainingSet& set, const WaveTable& table, Pcg32& rng,
                  int epochs, int32_t& epochsTrained, TrainKernel kernel = TrainKernel::Fast);

// One epoch's mini-batches (no error measurement, no shuffle).
void trainEpochBatches(Network& net, const TrainingSet& set, TrainKernel kernel);
