#pragma once

// Our own single-cycle waveform generator and WAV writer: makes the example
// waveforms that ship beside the trainer and the fixtures the tests read.

#include <cstdint>
#include <string>
#include <vector>

namespace wavgen {

constexpr int kExampleFrames = 600;

// Names of the example shapes ("sine", "triangle", "saw", "square", ...).
const std::vector<std::string>& exampleShapeNames();

// One cycle of a named shape, `frames` samples; empty for an unknown name.
std::vector<int16_t> exampleShape(const std::string& name, int frames = kExampleFrames);

// A chunk to place in a hand-made file.
struct Chunk {
    std::string id;  // four characters
    std::vector<uint8_t> body;
};

// Everything a test may want to vary in a WAV file.
struct WavLayout {
    uint16_t formatTag = 1;
    uint16_t channels = 1;
    uint32_t sampleRate = 44100;
    uint16_t bitsPerSample = 16;
    uint32_t fmtExtraBytes = 0;         // bytes appended to a 16-byte fmt body
    std::vector<Chunk> beforeData;      // chunks between fmt and data
    std::vector<Chunk> afterData;       // chunks after data
    bool overrideDataSize = false;      // write claimedDataSize instead of the real size
    uint32_t claimedDataSize = 0;
};

// A WAV file's bytes holding `data` as the data chunk's body.
std::vector<uint8_t> wavFileBytes(const std::vector<uint8_t>& data, const WavLayout& layout);

// Interleaved 16-bit samples as little-endian bytes.
std::vector<uint8_t> sampleBytes(const std::vector<int16_t>& samples);

// A canonical 44-byte-header 16-bit PCM file.
std::vector<uint8_t> canonicalWav(const std::vector<int16_t>& interleaved, uint16_t channels = 1);

// Writes bytes to a file; false if any write or the close failed.
bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Writes every example shape as NAME.wav into folder (a separator is added
// when missing). Returns the path that could not be written, or "" when all were.
std::string writeExampleWaveforms(const std::string& folder);

}  // namespace wavgen
