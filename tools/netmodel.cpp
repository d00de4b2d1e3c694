// netmodel: reads the trainer's model files back, to check one before it goes
// to the plug-in, to see or hear what it learned, and to measure it against a
// waveform.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/plot.h"
#include "nn/model_output.h"
#include "nn/model_reader.h"
#include "nn/network.h"
#include "tools/wavgen.h"
#include "wave/wav_reader.h"

namespace {

constexpr int kExitFailure = 1;  // a file that can't be read, fails a check or can't be written
constexpr int kExitUsage = 2;    // a command line we don't understand

const char* const kUsage =
    "usage: netmodel COMMAND ARGS...\n"
    "Reads model files written by nettrainer.\n"
    "\n"
    "commands:\n"
    "  info FILE                           check the file and show its layers\n"
    "  plot FILE [WAV]                     draw the model's output (#), over the waveform (+) if given\n"
    "  render FILE OUT.wav [--frames N]    write one cycle of the output as a 16-bit mono WAV\n"
    "                                      of N frames (default 600)\n"
    "  compare FILE WAV                    mean absolute error against the waveform, and the worst phase\n"
    "  --help                              show this text\n"
    "\n"
    "Exit status: 0 on success, 1 when a file can't be read, fails a check or can't be written,\n"
    "2 for a command line that isn't understood.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "netmodel: %s (try netmodel --help)\n", message.c_str());
    return kExitUsage;
}

int fileError(const char* path, const std::string& message) {
    std::fprintf(stderr, "netmodel: %s: %s\n", path, message.c_str());
    return kExitFailure;
}

// The console message of the WAV reader, as a clause: "Error: could not open
// wav file.\n" becomes "could not open wav file".
std::string wavProblem(WavStatus status) {
    std::string text = wavStatusMessage(status);
    const std::string prefix = "Error: ";
    if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
    while (!text.empty() && (text.back() == '\n' || text.back() == '.')) text.pop_back();
    return text;
}

// The owned objects of one command, released on every path.
struct Session {
    Network net;
    WaveTable table;
    ~Session() {
        releaseNetwork(net);
        releaseWaveTable(table);
    }
};

bool loadModel(const char* path, Network& net) {
    const ModelReadResult result = loadModelFile(path, net);
    if (result.check == ModelCheck::Passed) return true;
    fileError(path, describeModelReadResult(result));
    return false;
}

bool loadWave(const char* path, WaveTable& table) {
    const WavStatus status = loadWaveTable(path, table);
    if (status == WavStatus::Ok) return true;
    fileError(path, wavProblem(status));
    return false;
}

int runInfo(const char* path) {
    std::vector<uint8_t> bytes;
    if (!readModelFileBytes(path, bytes)) return fileError(path, "can't be opened or read");
    ModelShape shape;
    const ModelReadResult result = checkModelBytes(bytes, shape);
    if (result.check != ModelCheck::Passed) return fileError(path, describeModelReadResult(result));

    Session s;
    if (!buildNetwork(s.net, shape)) return fileError(path, "no memory for the parameters");
    const uint64_t layerCount = s.net.layers.size;
    const uint64_t paramsStart = 4 + 4 * layerCount;

    std::printf("Model: %s\n", path);
    std::printf("Shape: %s (%llu layers)\n", formatHiddenSizes(shape).c_str(),
                static_cast<unsigned long long>(layerCount));
    std::printf("\n");
    // Parameter indices and the byte offsets where the same values stand in the file.
    std::printf("layer   size  activation  biases  weights  bias bytes  weight bytes\n");
    for (uint64_t l = 0; l < layerCount; ++l) {
        const LayerInfo& layer = s.net.layers[l];
        const char* activation = l == 0 ? "(input)" : layer.activation == Sigmoid ? "sigmoid" : "relu";
        if (l == 0) {
            std::printf("%5llu  %5u  %-10s  %6s  %7s  %10s  %12s\n", static_cast<unsigned long long>(l),
                        layerSize(s.net, l), activation, "-", "-", "-", "-");
            continue;
        }
        std::printf("%5llu  %5u  %-10s  %6u  %7u  %10llu  %12llu\n", static_cast<unsigned long long>(l),
                    layerSize(s.net, l), activation, layer.biasOffset, layer.weightOffset,
                    static_cast<unsigned long long>(paramsStart + 4ull * layer.biasOffset),
                    static_cast<unsigned long long>(paramsStart + 4ull * layer.weightOffset));
    }
    std::printf("\n");
    // Every valid model has at least the output bias, so the range is never empty.
    std::printf("Parameters: %u (%u biases, %u weights) at bytes %llu to %llu\n", parameterCount(s.net),
                s.net.biasCount, s.net.weightCount, static_cast<unsigned long long>(paramsStart),
                static_cast<unsigned long long>(paramsStart + 4ull * parameterCount(s.net) - 1));
    std::printf("Activation bytes at %llu to %llu\n",
                static_cast<unsigned long long>(paramsStart + 4ull * parameterCount(s.net)),
                static_cast<unsigned long long>(bytes.size() - 1));
    std::printf("File size: %llu bytes\n", static_cast<unsigned long long>(bytes.size()));
    std::printf("Checks: all passed\n");
    // A valid file can still hold a model that can't learn or vary.
    for (uint64_t l = 1; l + 1 < layerCount; ++l) {
        if (layerSize(s.net, l) == 0) {
            std::printf("Note: hidden layer %llu has no neurons, so the output does not depend on the phase.\n",
                        static_cast<unsigned long long>(l));
            break;
        }
    }
    return 0;
}

int runPlot(const char* modelPath, const char* wavPath) {
    Session s;
    if (!loadModel(modelPath, s.net)) return kExitFailure;
    if (wavPath != nullptr && !loadWave(wavPath, s.table)) return kExitFailure;
    PlotCanvas canvas;
    clearPlotCanvas(canvas);
    if (wavPath != nullptr) plotGoalTrace(canvas, s.table);
    plotNetworkTrace(canvas, s.net);
    std::fputs(renderPlotCanvas(canvas).c_str(), stdout);
    std::fputs(kPlotLegend, stdout);
    return 0;
}

// A decimal count from 1 to kMaxRenderFrames, nothing else.
bool parseFrames(const char* text, uint32_t& frames) {
    if (text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > kMaxRenderFrames) return false;
    frames = static_cast<uint32_t>(value);
    return true;
}

int runRender(const char* modelPath, const char* outPath, uint32_t frames) {
    Session s;
    if (!loadModel(modelPath, s.net)) return kExitFailure;
    const std::vector<int16_t> samples = renderModelCycle(s.net, frames);
    if (!wavgen::writeFileBytes(outPath, wavgen::canonicalWav(samples))) {
        return fileError(outPath, "could not be written");
    }
    std::printf("Wrote %u frames (16-bit mono, 44100 Hz) to %s\n", frames, outPath);
    return 0;
}

int runCompare(const char* modelPath, const char* wavPath) {
    Session s;
    if (!loadModel(modelPath, s.net)) return kExitFailure;
    if (!loadWave(wavPath, s.table)) return kExitFailure;
    const ModelComparison c = compareModelToWave(s.net, s.table);
    std::printf("Mean absolute error: %.2f%% over %u phases\n", c.meanErrorPercent, kComparePhases);
    std::printf("Worst phase: %.6f (error %.2f%%, model %.5f, goal %.5f)\n", static_cast<double>(c.worstPhase),
                static_cast<double>(c.worstErrorPercent), static_cast<double>(c.worstOutput),
                static_cast<double>(c.worstGoal));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("no command given");
    const std::string command = argv[1];
    const int operands = argc - 2;
    char** args = argv + 2;

    if (command == "--help" || command == "-h" || command == "help") {
        if (operands != 0) return usageError("--help takes no arguments");
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "info") {
        if (operands != 1) return usageError("info takes one model file");
        return runInfo(args[0]);
    }
    if (command == "plot") {
        if (operands != 1 && operands != 2) return usageError("plot takes a model file and an optional WAV file");
        return runPlot(args[0], operands == 2 ? args[1] : nullptr);
    }
    if (command == "render") {
        uint32_t frames = kDefaultRenderFrames;
        std::vector<const char*> files;
        for (int i = 0; i < operands; ++i) {
            if (std::strcmp(args[i], "--frames") == 0) {
                if (i + 1 >= operands) return usageError("--frames needs a count");
                if (!parseFrames(args[i + 1], frames)) {
                    return usageError("--frames takes a whole number from 1 to " + std::to_string(kMaxRenderFrames) +
                                      ", not '" + args[i + 1] + "'");
                }
                ++i;
            } else if (args[i][0] == '-' && args[i][1] != '\0') {
                return usageError(std::string("unknown option '") + args[i] + "' for render");
            } else {
                files.push_back(args[i]);
            }
        }
        if (files.size() != 2) return usageError("render takes a model file and an output WAV file");
        return runRender(files[0], files[1], frames);
    }
    if (command == "compare") {
        if (operands != 2) return usageError("compare takes a model file and a WAV file");
        return runCompare(args[0], args[1]);
    }
    return usageError("unknown command '" + command + "'");
}
