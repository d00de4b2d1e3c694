#pragma once

#include <cstdint>

#include "nn/network.h"
#include "nn/pcg32.h"
#include "wave/training_set.h"
#include "wave/wave_table.h"

// The fast mini-batch kernels. They lay the 32 samples of a mini-batch across
// the vector lanes and keep the reference loop's order of summation for every
// single sum, so they produce the very same parameters as trainBatch, bit for
// bit, only sooner.

enum class KernelVariant : uint8_t { Portable, Avx2, Avx512 };

// "portable", "avx2" or "avx512".
const char* kernelVariantName(KernelVariant variant);

// Whether this build holds the variant and this processor can run it.
bool kernelVariantAvailable(KernelVariant variant);

// The widest variant available, decided once.
KernelVariant bestKernelVariant();

// Floats of batch-wide scratch the fast kernels need for the network's
// current layer table; buildNetwork sizes Network::fastScratch with it.
uint64_t fastScratchFloats(const Network& net);

// Whether the fast kernels can train this network as built (its scratch is
// sized for its layer table); if not, the functions below use the reference.
bool fastKernelReady(Network& net);

// One epoch's mini-batches, like trainEpochBatches with the reference kernel.
// Falls back to the reference loop if the scratch was not sized for the
// network (a layer table changed without buildNetwork).
void trainEpochBatchesFast(Network& net, const TrainingSet& set, KernelVariant variant);

// One mini-batch of kBatchSize samples, like trainBatch.
void trainBatchFast(Network& net, const float* inputs, const float* targets, KernelVariant variant);

// measureError with the variant's forward pass, 32 phases at a time: the
// same draws, sums and result.
float measureErrorFast(Network& net, const WaveTable& table, Pcg32& rng, KernelVariant variant);

// Called after each epoch of trainEpochsFast with the error measured.
using EpochReport = void (*)(void* context, float error);

// `epochs` whole epochs as trainEpochs runs them (the mini-batches, the error
// measurement, the shuffle) with the fast kernels, calling report (if any)
// after each epoch's error measurement. Returns the last error, or 0 for no
// epochs. The set ends as the reference loop would leave it.
float trainEpochsFast(Network& net, TrainingSet& set, const WaveTable& table, Pcg32& rng, int epochs,
                      KernelVariant variant, EpochReport report, void* context);

// The sigmoid as the variant's kernels compute it, over an array; for
// checking it against the reference sigmoid.
void sigmoidWithKernel(KernelVariant variant, const float* z, float* out, uint64_t count);
