// Any bytes as a WAV file. The reader must never read outside the buffer,
// must leave the table alone when it refuses, and anything it accepts must
// be readable at every phase the plot and the training set ask for.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wave/wav_reader.h"
#include "wave/wave_table.h"

namespace {

void fail(const char* what) {
    std::fprintf(stderr, "fuzz_wav_reader: %s\n", what);
    std::abort();
}

void checkAmplitude(float y) {
    // Samples map onto [0, 1); interpolating between two of them stays there.
    if (!(y >= 0.0f && y < 1.0f)) fail("sampleWaveTable left [0, 1)");
}

uint32_t le(const uint8_t* p, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

// A file with the canonical 44-byte header can be decoded at fixed offsets;
// the chunk walker must agree with that, sample for sample.
void checkCanonical(const uint8_t* bytes, size_t size, const WaveTable& table) {
    if (size < 44 || std::memcmp(bytes + 12, "fmt ", 4) != 0 || le(bytes + 16, 4) != 16 ||
        std::memcmp(bytes + 36, "data", 4) != 0) {
        return;
    }
    const uint32_t channels = le(bytes + 22, 2);
    const uint64_t claimed = le(bytes + 40, 4);
    const uint64_t present = claimed < size - 44 ? claimed : size - 44;
    const uint64_t frames = (present / 2) / channels;
    if (table.sampleCount != frames) fail("canonical file: sample count");
    for (uint64_t f = 0; f < frames; ++f) {
        int64_t sum = 0;
        for (uint32_t c = 0; c < channels; ++c) {
            sum += static_cast<int16_t>(le(bytes + 44 + 2 * (f * channels + c), 2));
        }
        if (table.samples[f] != static_cast<int16_t>(sum / static_cast<int64_t>(channels))) {
            fail("canonical file: sample value");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // A table that already holds a waveform, as after an earlier load.
    WaveTable table;
    int16_t* previous = static_cast<int16_t*>(std::malloc(sizeof(int16_t)));
    previous[0] = 1234;
    replaceWaveSamples(table, previous, 1);

    const WavStatus status = parseWav(bytes, size, table);
    if (status != WavStatus::Ok) {
        if (table.samples != previous || table.sampleCount != 1 || previous[0] != 1234) {
            fail("a refused file changed the table");
        }
        if (wavStatusMessage(status)[0] == '\0') fail("a failure without a message");
    } else {
        if (table.sampleCount < 1) fail("accepted a file without samples");
        if (table.sampleCount > size / 2) fail("more samples than the file has bytes for");
        if (table.samples == previous) fail("the previous samples were kept");
        checkCanonical(bytes, size, table);
        const float n = static_cast<float>(table.sampleCount);
        const float positions[] = {0.0f, 0.5f, n * 0.25f, n * 0.5f, n - 1.0f, n * 0.999f,
                                   n * 1.0f, std::nextafter(n, 0.0f)};
        for (float x : positions) checkAmplitude(sampleWaveTable(table, x));
        // The plot's and the training set's own phases.
        for (int i = 0; i < 77; ++i) checkAmplitude(sampleWaveTable(table, (n * 0.012820513f) * static_cast<float>(i)));
    }
    releaseWaveTable(table);
    return 0;
}
