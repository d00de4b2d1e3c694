// Writes the seed corpora of the fuzz targets, made by our own generator:
//   make_fuzz_seeds FOLDER
// gives FOLDER/wav_reader, FOLDER/size_line and FOLDER/model_file.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/wavgen.h"

namespace {

bool writeSeed(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = folder + "/" + name;
    if (!wavgen::writeFileBytes(path, bytes)) {
        std::fprintf(stderr, "make_fuzz_seeds: could not write %s\n", path.c_str());
        return false;
    }
    return true;
}

std::vector<uint8_t> textBytes(const std::string& text) { return {text.begin(), text.end()}; }

// Short cycles keep the fuzzer's inputs small and fast.
constexpr int kSeedFrames = 64;

bool wavSeeds(const std::string& folder) {
    const std::vector<int16_t> sine = wavgen::exampleShape("sine", kSeedFrames);
    const std::vector<int16_t> saw = wavgen::exampleShape("saw", kSeedFrames);
    std::vector<int16_t> stereo;
    for (int i = 0; i < kSeedFrames; ++i) {
        stereo.push_back(sine[i]);
        stereo.push_back(saw[i]);
    }
    const std::vector<uint8_t> sineData = wavgen::sampleBytes(sine);
    bool ok = writeSeed(folder, "mono.wav", wavgen::canonicalWav(sine)) &&
              writeSeed(folder, "stereo.wav", wavgen::canonicalWav(stereo, 2)) &&
              writeSeed(folder, "one_sample.wav", wavgen::canonicalWav({-32768}));

    wavgen::WavLayout extra;
    extra.fmtExtraBytes = 2;
    extra.beforeData.push_back({"LIST", {'I', 'N', 'F', 'O', 'o'}});
    extra.afterData.push_back({"smpl", std::vector<uint8_t>(12, 7)});
    ok = ok && writeSeed(folder, "extra_chunks.wav", wavgen::wavFileBytes(sineData, extra));

    wavgen::WavLayout eightBit;
    eightBit.bitsPerSample = 8;
    ok = ok && writeSeed(folder, "eight_bit.wav", wavgen::wavFileBytes(std::vector<uint8_t>(kSeedFrames, 128), eightBit));

    wavgen::WavLayout extensible;
    extensible.formatTag = 0xFFFE;
    extensible.fmtExtraBytes = 24;
    ok = ok && writeSeed(folder, "extensible.wav", wavgen::wavFileBytes(sineData, extensible));

    wavgen::WavLayout threeChannels;
    threeChannels.channels = 3;
    ok = ok && writeSeed(folder, "three_channels.wav", wavgen::wavFileBytes(wavgen::sampleBytes(stereo), threeChannels));

    wavgen::WavLayout truncated;
    truncated.overrideDataSize = true;
    truncated.claimedDataSize = 0xFFFFFFF0u;
    ok = ok && writeSeed(folder, "huge_claim.wav", wavgen::wavFileBytes(sineData, truncated));
    return ok;
}

bool sizeLineSeeds(const std::string& folder) {
    const char* const lines[] = {
        "8x8x8\n", "4\n", "\n", "4x32x10x8\n", "8x0x8\n", "1x2x3x4x5x6x7x8x9\n", "8X8\n", "8 x 8\n",
        "8x 8\n", "8x-3\n", "99999999999x2\n", "65536\n", "4096x4096\n", "0x8\n", " 8\n", "8x8abc\n",
    };
    int index = 0;
    for (const char* line : lines) {
        if (!writeSeed(folder, "line" + std::to_string(index++), textBytes(line))) return false;
    }
    return true;
}

bool modelFileSeeds(const std::string& folder) {
    // First byte: hidden layer count - 1; then the sizes; then two activation
    // masks; then parameter bits.
    const std::vector<std::vector<uint8_t>> shapes = {
        {2, 8, 8, 8, 0x0F, 0x00, 0x00, 0x00, 0x80, 0x3F},      // 8x8x8, Relu..Sigmoid, 1.0f
        {0, 4, 0x03, 0x00},                                    // 4
        {2, 8, 0, 8, 0x0F, 0x00, 0x00, 0x00, 0xC0, 0x7F},      // 8x0x8, a NaN
        {7, 1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0x01, 0xFF, 0xFF},   // eight hidden layers
        {3, 40, 40, 40, 40, 0x1F, 0x00},                       // the largest fuzzed layers
    };
    int index = 0;
    for (const std::vector<uint8_t>& shape : shapes) {
        if (!writeSeed(folder, "shape" + std::to_string(index++), shape)) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool ok = wavSeeds(folder + "/wav_reader") && sizeLineSeeds(folder + "/size_line") &&
                    modelFileSeeds(folder + "/model_file");
    return ok ? 0 : 1;
}
