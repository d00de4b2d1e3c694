#pragma once

#include <cstdint>
#include <string>

#include "app/plot.h"
#include "nn/inline_vector.h"
#include "nn/network.h"
#include "nn/pcg32.h"
#include "wave/training_set.h"
#include "wave/wave_table.h"

// Every object of the run, owned by the entry point from start to exit.
struct Trainer {
    int64_t clockValue = 0;
    std::string executableDir;  // ends in the path separator
    InlineVector<std::string> wavList;
    uint64_t longestName = 0;
    WaveTable waveTable;
    TrainingSet trainingSet;
    Network network;
    ModelShape shape;
    PlotCanvas canvas;
    Pcg32 rng;
    int32_t loadedIndex = 0;
    int32_t epochsTrained = 0;
    float lastError = 0.0f;
    int exitCode = 0;
};

// The longest path (directory and name) the tool will open or create; a
// longer one is refused, never cut into another file's name.
constexpr size_t kMaxPathLength = 255;
constexpr int kLineReadSize = 79;

extern const char* const kBanner;
extern const char* const kSizePrompt;
extern const char* const kCommandMenu;
extern const char* const kNote;

// Whether the note that suggests a new model follows a burst.
bool noteIsDue(int32_t epochsTrained, float lastError);

// Epochs of a burst for keys '1' to '4', 0 for any other key.
int epochsForKey(int key);

// Full path of a file beside the executable, or false if it would be too long.
bool buildPathBeside(const std::string& dir, const char* name, std::string& path);

// The path the save dialogue writes for a typed line: the line appended to
// the directory, its last character removed if a newline, return or space.
std::string modelPathForLine(const std::string& dir, const char* line);

// Writes the model to path through a temporary file beside it, replacing an
// existing file only after a complete write. False if anything failed; an
// existing file is then untouched.
bool writeModelFileSafely(const Network& net, const std::string& path);

// The whole run; returns the process exit status.
int runTrainer(int64_t clockValue);
