#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>  // WIFEXITED for std::system's status
#endif

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/plot.h"
#include "nn/forward.h"
#include "nn/model_file.h"
#include "nn/model_output.h"
#include "nn/model_reader.h"
#include "nn/network.h"
#include "nn/pcg32.h"
#include "nn/training.h"
#include "support/temp_dir.h"
#include "tools/wavgen.h"
#include "wave/training_set.h"
#include "wave/wav_reader.h"
#include "wave/wave_table.h"

namespace {

WaveTable tableFromSamples(const std::vector<int16_t>& samples) {
    WaveTable table;
    const std::vector<uint8_t> wav = wavgen::canonicalWav(samples);
    EXPECT_EQ(parseWav(wav.data(), wav.size(), table), WavStatus::Ok);
    return table;
}

// 1 -> 1 -> 1 network whose output is sigmoid(outputBias) whatever the phase.
void buildConstantModel(Network& net, float outputBias) {
    ASSERT_TRUE(buildNetwork(net, parseModelSize("1")));
    for (uint32_t p = 0; p < parameterCount(net); ++p) net.params[p] = 0.0f;
    net.params[net.layers[2].biasOffset] = outputBias;
}

// An 8x8x8 model trained on the example sine for a few epochs with the
// reference kernel; shared by the tests that need a model that learned
// something.
struct TrainedSine {
    Network net;
    WaveTable table;
    float untrainedErrorPercent = 0.0f;
};

TrainedSine& trainedSine() {
    static TrainedSine* trained = [] {
        TrainedSine* t = new TrainedSine;
        t->table = tableFromSamples(wavgen::exampleShape("sine"));
        Pcg32 rng;
        seedFromClock(rng, 20240601);
        TrainingSet set;
        EXPECT_TRUE(drawTrainingSet(set, t->table, rng));
        EXPECT_TRUE(buildNetwork(t->net, parseModelSize("8x8x8")));
        initializeNetwork(t->net, rng);
        t->untrainedErrorPercent = static_cast<float>(compareModelToWave(t->net, t->table).meanErrorPercent);
        for (int epoch = 0; epoch < 20; ++epoch) {
            trainEpochBatches(t->net, set, TrainKernel::Reference);
            shuffleTrainingSet(set, rng);
        }
        releaseTrainingSet(set);
        return t;
    }();
    return *trained;
}

TEST(SampleOfAmplitude, InvertsTheAmplitudeScaleForEverySample) {
    int mismatches = 0;
    for (int s = -32768; s <= 32767; ++s) {
        if (sampleOfAmplitude(amplitudeOfSample(static_cast<int16_t>(s))) != s) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(SampleOfAmplitude, ClampsTheEndsAndCentresWhatIsNotANumber) {
    EXPECT_EQ(sampleOfAmplitude(0.5f), 0);
    EXPECT_EQ(sampleOfAmplitude(1.0f), 32767);
    EXPECT_EQ(sampleOfAmplitude(0.0f), -32768);
    EXPECT_EQ(sampleOfAmplitude(7.0f), 32767);
    EXPECT_EQ(sampleOfAmplitude(-7.0f), -32768);
    EXPECT_EQ(sampleOfAmplitude(std::nanf("")), 0);
}

TEST(RenderModelCycle, GivesOneSampleOfTheOutputPerFrameAtPhaseIOverN) {
    Network& net = trainedSine().net;
    const std::vector<int16_t> samples = renderModelCycle(net, 600);
    ASSERT_EQ(samples.size(), 600u);
    for (uint32_t i : {0u, 1u, 150u, 299u, 599u}) {
        const float phase = static_cast<float>(i) / 600.0f;
        float output = 0.0f;
        evaluateNetwork(net, &phase, &output);
        EXPECT_EQ(samples[i], sampleOfAmplitude(output)) << i;
    }
}

TEST(RenderModelCycle, ConstantModelGivesAConstantCycle) {
    Network net;
    buildConstantModel(net, 0.0f);  // sigmoid(0) = 0.5 -> sample 0
    for (int16_t s : renderModelCycle(net, 37)) EXPECT_EQ(s, 0);
    releaseNetwork(net);
}

TEST(CompareModelToWave, ConstantModelAgainstConstantWaveIsTheirDistance) {
    Network net;
    buildConstantModel(net, 0.0f);
    WaveTable table = tableFromSamples(std::vector<int16_t>(100, 16384));  // amplitude 0.75
    const ModelComparison c = compareModelToWave(net, table);
    EXPECT_NEAR(c.meanErrorPercent, 25.0, 1e-9);
    EXPECT_FLOAT_EQ(c.worstErrorPercent, 25.0f);
    EXPECT_EQ(c.worstPhase, 0.0f);  // the first of equal errors
    EXPECT_EQ(c.worstOutput, 0.5f);
    EXPECT_EQ(c.worstGoal, 0.75f);
    releaseNetwork(net);
    releaseWaveTable(table);
}

TEST(CompareModelToWave, FindsTheWorstPhase) {
    Network net;
    buildConstantModel(net, 0.0f);
    // Silence except for one full-scale sample at position 250 of 1000: the
    // grid phase closest to 0.25 is 1024/4096 exactly.
    std::vector<int16_t> samples(1000, 0);
    samples[250] = 32767;
    WaveTable table = tableFromSamples(samples);
    const ModelComparison c = compareModelToWave(net, table);
    EXPECT_EQ(c.worstPhase, 0.25f);
    EXPECT_NEAR(c.worstErrorPercent, 50.0f, 0.01f);
    EXPECT_LT(c.meanErrorPercent, 0.1);
    releaseNetwork(net);
    releaseWaveTable(table);
}

TEST(CompareModelToWave, IsTheSameEveryTime) {
    TrainedSine& t = trainedSine();
    const ModelComparison a = compareModelToWave(t.net, t.table);
    const ModelComparison b = compareModelToWave(t.net, t.table);
    EXPECT_EQ(a.meanErrorPercent, b.meanErrorPercent);
    EXPECT_EQ(a.worstPhase, b.worstPhase);
}

TEST(CompareModelToWave, ATrainedModelIsCloseToItsWaveform) {
    TrainedSine& t = trainedSine();
    const double error = compareModelToWave(t.net, t.table).meanErrorPercent;
    EXPECT_LT(error, 5.0);
    EXPECT_LT(error, t.untrainedErrorPercent / 2);
}

TEST(CompareModelToWave, RenderedCycleReadBackMatchesTheModel) {
    TrainedSine& t = trainedSine();
    for (uint32_t frames : {600u, 1000u, 4096u}) {
        const std::vector<uint8_t> wav = wavgen::canonicalWav(renderModelCycle(t.net, frames));
        WaveTable rendered;
        ASSERT_EQ(parseWav(wav.data(), wav.size(), rendered), WavStatus::Ok);
        ASSERT_EQ(rendered.sampleCount, frames);
        const ModelComparison c = compareModelToWave(t.net, rendered);
        // Only rounding to 16 bits and interpolation between frames remain.
        EXPECT_LT(c.meanErrorPercent, 0.05) << frames;
        // And the rendering is as close to the goal as the model is.
        const double modelError = compareModelToWave(t.net, t.table).meanErrorPercent;
        Network fromFile;
        ASSERT_EQ(readModelBytes(modelFileBytes(t.net), fromFile).check, ModelCheck::Passed);
        EXPECT_EQ(compareModelToWave(fromFile, t.table).meanErrorPercent, modelError);
        releaseNetwork(fromFile);
        releaseWaveTable(rendered);
    }
}

#ifdef NETTRAINER_NETMODEL_EXE

// Each test's own folder for the files it hands netmodel and the streams it captures.
struct TempDir : ScopedTempDir {
    TempDir() : ScopedTempDir("netmodel_test_") { EXPECT_FALSE(path.empty()) << "no temporary folder"; }
};

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Double quotes for sh and cmd.exe alike; the paths quoted here, in the build
// tree and the temporary folder, hold nothing either shell expands inside them.
std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Runs netmodel through the platform's shell with both streams captured in files.
CliRun runNetmodel(const TempDir& dir, const std::string& args) {
    const std::string outPath = dir.file("stdout.txt");
    const std::string errPath = dir.file("stderr.txt");
    const std::string exe = std::filesystem::path(NETTRAINER_NETMODEL_EXE).make_preferred().string();
    const std::string command = quoted(exe) + " " + args + " >" + quoted(outPath) + " 2>" + quoted(errPath);
    CliRun run;
#if defined(_WIN32)
    // cmd.exe /c drops the first and the last quote of a line that starts with
    // one; an outer pair leaves the others as they were meant.
    run.status = std::system(("\"" + command + "\"").c_str());
    // Text-mode streams end their lines with CR LF here; the expectations are
    // about the text, which is the same on every platform.
    const auto withUnixLineEnds = [](const std::string& text) {
        std::string lf;
        for (size_t i = 0; i < text.size(); ++i) {
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
        }
        return lf;
    };
    run.out = withUnixLineEnds(readText(outPath));
    run.err = withUnixLineEnds(readText(errPath));
#else
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readText(outPath);
    run.err = readText(errPath);
#endif
    return run;
}

int lineCount(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

// One line on standard error, nothing on standard output, a non-zero status.
void expectOneLineError(const CliRun& run, int status, const std::string& fragment) {
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(lineCount(run.err), 1) << run.err;
    EXPECT_EQ(run.err.rfind("netmodel: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(fragment), std::string::npos) << run.err;
}

std::string writeModel(const TempDir& dir, const char* name, const Network& net) {
    const std::string path = dir.file(name);
    EXPECT_TRUE(wavgen::writeFileBytes(path, modelFileBytes(net)));
    return path;
}

std::string writeSine(const TempDir& dir) {
    const std::string path = dir.file("sine.wav");
    EXPECT_TRUE(wavgen::writeFileBytes(path, wavgen::canonicalWav(wavgen::exampleShape("sine"))));
    return path;
}

TEST(NetmodelCli, HelpListsEveryCommandAndSucceeds) {
    TempDir dir;
    const CliRun run = runNetmodel(dir, "--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    for (const char* command : {"info FILE", "plot FILE [WAV]", "render FILE OUT.wav [--frames N]", "compare FILE WAV"}) {
        EXPECT_NE(run.out.find(command), std::string::npos) << command;
    }
}

TEST(NetmodelCli, CommandLinesItDoesNotUnderstandAreUsageErrors) {
    TempDir dir;
    expectOneLineError(runNetmodel(dir, ""), 2, "no command");
    expectOneLineError(runNetmodel(dir, "frobnicate x.net"), 2, "unknown command 'frobnicate'");
    expectOneLineError(runNetmodel(dir, "info"), 2, "info");
    expectOneLineError(runNetmodel(dir, "info a.net b.net"), 2, "info");
    expectOneLineError(runNetmodel(dir, "compare a.net"), 2, "compare");
    expectOneLineError(runNetmodel(dir, "render a.net"), 2, "render");
    expectOneLineError(runNetmodel(dir, "render a.net out.wav --loud"), 2, "--loud");
}

TEST(NetmodelCli, InfoShowsShapeLayersAndParameters) {
    TempDir dir;
    Network net;
    Pcg32 rng;
    seedFromClock(rng, 1);
    ASSERT_TRUE(buildNetwork(net, parseModelSize("4x32x10x8")));
    initializeNetwork(net, rng);
    const std::string model = writeModel(dir, "lead.net", net);
    const CliRun run = runNetmodel(dir, "info " + quoted(model));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("Shape: 4x32x10x8 (6 layers)\n"), std::string::npos) << run.out;
    // Layer 3: 10 neurons, biases from index 36, weights from 187 (bytes 28 + 4 x index).
    EXPECT_NE(run.out.find("    3     10  relu            36      187         172           776\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("    5      1  sigmoid         54      587         244          2376\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Parameters: 595 (55 biases, 540 weights)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("File size: 2414 bytes\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Checks: all passed\n"), std::string::npos) << run.out;
    releaseNetwork(net);
}

TEST(NetmodelCli, InfoRefusesADamagedFileNamingCheckAndOffset) {
    TempDir dir;
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("8x8x8")));
    std::vector<uint8_t> bytes = modelFileBytes(net);
    bytes.pop_back();
    ASSERT_TRUE(wavgen::writeFileBytes(dir.file("short.net"), bytes));
    expectOneLineError(runNetmodel(dir, "info " + quoted(dir.file("short.net"))), 1,
                       "file size check failed at byte 704");
    expectOneLineError(runNetmodel(dir, "info " + quoted(dir.file("absent.net"))), 1, "can't be opened or read");
    releaseNetwork(net);
}

TEST(NetmodelCli, EveryCommandRefusesADamagedModel) {
    TempDir dir;
    const std::string wav = writeSine(dir);
    std::vector<uint8_t> bytes(4 + 4 * 11, 0);
    bytes[0] = 11;
    ASSERT_TRUE(wavgen::writeFileBytes(dir.file("eleven.net"), bytes));
    const std::string model = quoted(dir.file("eleven.net"));
    expectOneLineError(runNetmodel(dir, "plot " + model), 1, "layer count check failed at byte 0");
    expectOneLineError(runNetmodel(dir, "render " + model + " " + quoted(dir.file("out.wav"))), 1, "layer count");
    expectOneLineError(runNetmodel(dir, "compare " + model + " " + quoted(wav)), 1, "layer count");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.wav")));
}

TEST(NetmodelCli, PlotDrawsWhatTheTrainerWouldDraw) {
    TempDir dir;
    TrainedSine& t = trainedSine();
    const std::string model = writeModel(dir, "sine.net", t.net);
    const std::string wav = writeSine(dir);

    PlotCanvas canvas;
    clearPlotCanvas(canvas);
    plotGoalTrace(canvas, t.table);
    plotNetworkTrace(canvas, t.net);
    const CliRun run = runNetmodel(dir, "plot " + quoted(model) + " " + quoted(wav));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, renderPlotCanvas(canvas) + kPlotLegend);
    EXPECT_EQ(lineCount(run.out), 21);
}

TEST(NetmodelCli, PlotWithoutAWaveformShowsOnlyTheModel) {
    TempDir dir;
    const std::string model = writeModel(dir, "sine.net", trainedSine().net);
    const CliRun run = runNetmodel(dir, "plot " + quoted(model));
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(lineCount(run.out), 21);
    const std::string grid = run.out.substr(80, 18 * 80);  // rows 1 to 18
    EXPECT_EQ(grid.find('+'), std::string::npos);
    EXPECT_NE(grid.find('#'), std::string::npos);
    EXPECT_EQ(run.out.substr(run.out.size() - std::string(kPlotLegend).size()), kPlotLegend);
}

TEST(NetmodelCli, PlotRefusesAFileThatIsNotAWav) {
    TempDir dir;
    const std::string model = writeModel(dir, "sine.net", trainedSine().net);
    ASSERT_TRUE(wavgen::writeFileBytes(dir.file("notes.wav"), {'h', 'e', 'l', 'l', 'o'}));
    expectOneLineError(runNetmodel(dir, "plot " + quoted(model) + " " + quoted(dir.file("notes.wav"))), 1,
                       "not a wav file");
}

TEST(NetmodelCli, RenderWritesTheCycleAsA16BitMonoWav) {
    TempDir dir;
    TrainedSine& t = trainedSine();
    const std::string model = writeModel(dir, "sine.net", t.net);
    for (uint32_t frames : {600u, 128u}) {
        const std::string args = frames == 600 ? "" : " --frames 128";
        const CliRun run = runNetmodel(dir, "render " + quoted(model) + " " + quoted(dir.file("out.wav")) + args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(lineCount(run.out), 1);
        const std::string text = readText(dir.file("out.wav"));
        const std::vector<uint8_t> expected = wavgen::canonicalWav(renderModelCycle(t.net, frames));
        EXPECT_EQ(text, std::string(expected.begin(), expected.end())) << frames;
    }
    // The option may come first.
    const CliRun first = runNetmodel(dir, "render --frames 3 " + quoted(model) + " " + quoted(dir.file("three.wav")));
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(readText(dir.file("three.wav")).size(), 44u + 6u);
}

TEST(NetmodelCli, RenderRefusesBadFrameCountsAndUnwritablePaths) {
    TempDir dir;
    const std::string model = writeModel(dir, "sine.net", trainedSine().net);
    const std::string out = quoted(dir.file("out.wav"));
    for (const char* frames : {"0", "-5", "abc", "12x", "1048577", "99999999999999999999999"}) {
        expectOneLineError(runNetmodel(dir, "render " + quoted(model) + " " + out + " --frames " + frames), 2,
                           "--frames");
    }
    expectOneLineError(runNetmodel(dir, "render " + quoted(model) + " " + out + " --frames"), 2, "--frames");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.wav")));
    expectOneLineError(runNetmodel(dir, "render " + quoted(model) + " " + quoted(dir.file("no/such/dir.wav"))), 1,
                       "could not be written");
}

TEST(NetmodelCli, CompareReportsMeanAndWorstPhase) {
    TempDir dir;
    TrainedSine& t = trainedSine();
    const std::string model = writeModel(dir, "sine.net", t.net);
    const std::string wav = writeSine(dir);
    const CliRun run = runNetmodel(dir, "compare " + quoted(model) + " " + quoted(wav));
    EXPECT_EQ(run.status, 0) << run.err;
    const ModelComparison c = compareModelToWave(t.net, t.table);
    char mean[100];
    std::snprintf(mean, sizeof mean, "Mean absolute error: %.2f%% over 4096 phases\n", c.meanErrorPercent);
    char worst[100];
    std::snprintf(worst, sizeof worst, "Worst phase: %.6f", static_cast<double>(c.worstPhase));
    EXPECT_EQ(run.out.rfind(mean, 0), 0u) << run.out;
    EXPECT_NE(run.out.find(worst), std::string::npos) << run.out;
    EXPECT_EQ(lineCount(run.out), 2);
}

TEST(NetmodelCli, RenderThenCompareGivesASmallError) {
    TempDir dir;
    const std::string model = writeModel(dir, "sine.net", trainedSine().net);
    const std::string out = dir.file("out.wav");
    ASSERT_EQ(runNetmodel(dir, "render " + quoted(model) + " " + quoted(out)).status, 0);
    const CliRun run = runNetmodel(dir, "compare " + quoted(model) + " " + quoted(out));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("Mean absolute error: 0.0", 0), 0u) << run.out;
}

#endif  // NETTRAINER_NETMODEL_EXE

}  // namespace
