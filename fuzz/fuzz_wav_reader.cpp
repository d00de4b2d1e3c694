// Any bytes as a WAV file. The reader must never read outside the buffer,
// must leave the table alone when it refuses, and anything it accepts must
// be readable at every phase the plot and the training set ask for.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
