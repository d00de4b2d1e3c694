#include "app/trainer.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "app/menu.h"
#include "app/platform.h"
#include "nn/model_file.h"
#include "nn/training.h"
#include "wave/wav_reader.h"

const char* const kBanner =
    "Vellumstorm Synth - Neural Net Model Trainer\n--------------------------------------------\n";
const char* const kSizePrompt =
    "Neural net model size? Larger models can learn more complex waveforms, \n"
    "but run / train slower.   Default: 8x8x8   Examples: 8x8x8x8x8  4  4x32x10x8\n\nSize: ";
const char* const kCommandMenu =
    "\n1) train 1 epoch   2) 100   3) 1000   4) 5000   n) new model  s) save  q) quit\n";
const char* const kNote =
    "\nNote: some networks are dumb - either randomized unluckily, or too small to \n"
    "learn properly. They might still sound cool though. You can always reroll a \n"
    "fresh one with (n).\n";

namespace {

constexpr const char* kSaveFailedFormat =
    "Couldn't save to:\n  %s\nMake sure the folder has write permissions.\n";

void print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// -1 at the end of input; otherwise the key folded to lower case.
int readFoldedKey() {
    const int key = platform::readKey();
    if (key < 0) return -1;
    return std::tolower(key) & 0xFF;
}

// One typed answer: the line as fgets with kLineReadSize stores it. The rest of
// a line too long for the buffer is dropped, so it can't reach the command
// loop as a string of keys ('q', 'n', digits) the user never meant as such.
bool readAnswerLine(char* line) {
    if (!platform::readLine(line, kLineReadSize)) return false;
    const size_t length = std::strlen(line);
    if (length + 1 == static_cast<size_t>(kLineReadSize) && line[length - 1] != '\n') {
        int c;
        do c = std::getchar();
        while (c != '\n' && c != EOF);
    }
    return true;
}

// Returns the chosen entry, or -1 when input ends before a valid key.
int chooseWaveform(Trainer& t) {
    std::puts("Single-cycle waveform to train on?\n");
    print(renderWaveMenu(t.wavList, t.longestName).c_str());
    for (;;) {
        const int key = platform::readKey();
        if (key < 0) return -1;
        const int index = menuIndexForKey(key, t.wavList.size);
        if (index >= 0) return index;
    }
}

bool loadChosenWaveform(Trainer& t, int index) {
    std::string path;
    WavStatus status = WavStatus::CantOpen;
    if (buildPathBeside(t.executableDir, t.wavList[index].c_str(), path)) {
        status = loadWaveTable(path.c_str(), t.waveTable);
    }
    if (status != WavStatus::Ok) {
        print(wavStatusMessage(status));
        return false;
    }
    return true;
}

// A new waveform, training pairs, size and random network. False when the
// run must end (exitCode says how).
bool newModel(Trainer& t) {
    const int index = chooseWaveform(t);
    if (index < 0) {
        t.exitCode = 1;
        return false;
    }
    if (!loadChosenWaveform(t, index)) {
        t.exitCode = 1;
        return false;
    }
    drawGoalPlot(t.canvas, t.waveTable);
    if (!drawTrainingSet(t.trainingSet, t.waveTable, t.rng)) {
        print("Error: not enough memory for the training points.\n");
        t.exitCode = 1;
        return false;
    }

    print(kSizePrompt);
    char line[80];
    std::memset(line, 0, sizeof line);
    // At the end of input the line stays empty, which selects the default size.
    readAnswerLine(line);

    t.shape = parseModelSize(line);
    if (!buildNetwork(t.network, t.shape)) {
        print("Error: not enough memory for this model.\n");
        t.exitCode = 1;
        return false;
    }
    initializeNetwork(t.network, t.rng);
    print(initializedReport(t.shape).c_str());
    drawPlot(t.canvas, t.waveTable, t.network);
    t.loadedIndex = index;
    return true;
}

// The save dialogue. True when the model file was written.
bool saveModel(Trainer& t) {
    std::printf("Model filename? (should end with .net)     Wav is: %s\n", t.wavList[t.loadedIndex].c_str());
    char line[80];
    std::memset(line, 0, sizeof line);
    const bool gotLine = readAnswerLine(line);
    const std::string path = modelPathForLine(t.executableDir, line);
    // The end of input, a path too long to open as typed, or a name that names
    // the folder itself: nothing is written and the model stays.
    const bool usable = gotLine && path.size() <= kMaxPathLength && !path.empty() &&
                        path.back() != platform::kPathSeparator && path.back() != '/';
    if (!usable || !writeModelFileSafely(t.network, path)) {
        std::printf(kSaveFailedFormat, path.c_str());
        std::fflush(stdout);
        return false;
    }
    std::printf(
        "\nModel successfully saved:\n  %s\n\nSelect it via the Osc Model knob after reloading the VST plugin.\n",
        path.c_str());
    std::fflush(stdout);
    return true;
}

// Runs until the run must end; exitCode says how.
void runCommandLoop(Trainer& t) {
    t.epochsTrained = 0;
    bool showMenu = true;
    for (;;) {
        if (showMenu) print(kCommandMenu);
        const int key = readFoldedKey();
        if (key < 0) {
            t.exitCode = 1;
            return;
        }
        if (key == 's') {
            if (saveModel(t)) {
                t.exitCode = 0;
                return;
            }
            showMenu = true;
        } else if (key == 'q') {
            t.exitCode = 0;
            return;
        } else if (key == 'n') {
            if (!newModel(t)) return;
            t.epochsTrained = 0;
            showMenu = true;
        } else if (const int epochs = epochsForKey(key); epochs > 0) {
            t.lastError = trainEpochs(t.network, t.trainingSet, t.waveTable, t.rng, epochs, t.epochsTrained);
            drawPlot(t.canvas, t.waveTable, t.network);
            if (noteIsDue(t.epochsTrained, t.lastError)) print(kNote);
            showMenu = true;
        } else {
            showMenu = false;
        }
    }
}

int exitPath(Trainer& t) {
    releaseTrainingSet(t.trainingSet);
    releaseWaveTable(t.waveTable);
    t.wavList.clear();
    std::puts("\nPress any key to exit.");
    std::fflush(stdout);
    platform::readKey();
    releaseNetwork(t.network);
    return t.exitCode;
}

}  // namespace

bool noteIsDue(int32_t epochsTrained, float lastError) {
    return epochsTrained > 1999 || (epochsTrained > 999 && lastError > 5.0f);
}

int epochsForKey(int key) {
    switch (key) {
        case '1': return 1;
        case '2': return 100;
        case '3': return 1000;
        case '4': return 5000;
        default: return 0;
    }
}

bool buildPathBeside(const std::string& dir, const char* name, std::string& path) {
    path = dir;
    path += name;
    return path.size() <= kMaxPathLength;
}

std::string modelPathForLine(const std::string& dir, const char* line) {
    std::string path = dir;
    path += line;
    if (!path.empty()) {
        const char lastChar = path.back();
        if (lastChar == '\n' || lastChar == '\r' || lastChar == ' ') path.pop_back();
    }
    return path;
}

bool writeModelFileSafely(const Network& net, const std::string& path) {
    const std::string partial = path + ".partial";
    std::FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr) return false;
    bool written = writeModelFile(net, file);
    written = std::fflush(file) == 0 && written;
    written = std::fclose(file) == 0 && written;
    if (written) written = platform::replaceFile(partial.c_str(), path.c_str());
    if (!written) std::remove(partial.c_str());
    return written;
}

int runTrainer(int64_t clockValue) {
    Trainer t;
    t.clockValue = clockValue;
    platform::initConsole();

    const platform::LocateResult located = platform::executableDirectory(t.executableDir);
    if (located.status == platform::LocateStatus::ModuleHandleFailed) {
        std::fprintf(stderr, "GetModuleHandle failed, error = %d\n", located.error);
        t.exitCode = 1;
        return exitPath(t);
    }
    if (located.status == platform::LocateStatus::ModuleFileNameFailed) {
        std::fprintf(stderr, "GetModuleFileName failed, error = %d\n", located.error);
        t.exitCode = 1;
        return exitPath(t);
    }
    platform::listWavFiles(t.executableDir, t.wavList, t.longestName);
    seedFromClock(t.rng, t.clockValue);
    std::puts(kBanner);

    if (t.wavList.size == 0) {
        std::printf("No .wav files found beside the trainer in:\n  %s\n"
                    "Put single-cycle 16-bit PCM wav files there and start it again.\n",
                    t.executableDir.c_str());
        t.exitCode = 1;
        return exitPath(t);
    }
    if (newModel(t)) runCommandLoop(t);
    return exitPath(t);
}
