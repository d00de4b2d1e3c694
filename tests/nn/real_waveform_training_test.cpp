#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "nn/network.h"
#include "nn/training.h"
#include "wave/training_set.h"
#include "wave/wav_reader.h"

// Real single-cycle waveforms from sample packs, when they are beside the
// checkout: the default network must actually learn them, not just run.
namespace {

struct Outcome {
    float initialError = 0.0f;
    float finalError = 0.0f;
};

Outcome trainOn(const std::string& path, int epochs) {
    WaveTable table;
    Outcome outcome;
    if (loadWaveTable(path.c_str(), table) != WavStatus::Ok) {
        ADD_FAILURE() << "could not load " << path;
        return outcome;
    }
    Pcg32 rng;
    seedFromClock(rng, 20261207);
    TrainingSet set;
    Network net;
    EXPECT_TRUE(drawTrainingSet(set, table, rng));
    EXPECT_TRUE(buildNetwork(net, defaultModelShape()));
    initializeNetwork(net, rng);

    outcome.initialError = measureError(net, table, rng);
    int32_t epochsTrained = 0;
    testing::internal::CaptureStdout();
    outcome.finalError = trainEpochs(net, set, table, rng, epochs, epochsTrained);
    testing::internal::GetCapturedStdout();

    releaseNetwork(net);
    releaseTrainingSet(set);
    releaseWaveTable(table);
    return outcome;
}

}  // namespace

TEST(RealWaveforms, TheDefaultNetworkLearnsThemWellBelowItsStartingError) {
    const std::filesystem::path folder = NETTRAINER_SHARED_WAVEFORMS;
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no real waveforms at " << folder;

    for (const char* name : {"AKWF_sin_0001.wav", "AKWF_saw_0001.wav", "AKWF_cello_0001.wav",
                             "AKWF_stereo_0001.wav"}) {
        const std::filesystem::path path = folder / name;
        if (!std::filesystem::exists(path)) continue;
        const Outcome outcome = trainOn(path.string(), 300);
        SCOPED_TRACE(name);
        EXPECT_LT(outcome.finalError, outcome.initialError * 0.5f)
            << "from " << outcome.initialError << "% to " << outcome.finalError << "%";
        EXPECT_LT(outcome.finalError, 10.0f);
    }
}
