#pragma once

#include <cstddef>
#include <cstdint>

#include "wave/wave_table.h"

enum class WavStatus {
    Ok,
    CantOpen,     // the file can't be opened or read
    Unsupported,  // not 16-bit PCM, or no channels
    NotWav,       // not a RIFF/WAVE file
    CutShort,     // a header or the fmt chunk ends early
    NoFormat,     // no fmt chunk
    NoData,       // no data chunk
    NoSamples,    // the data holds no whole frame
};

// What the console shows for each failure ("" for Ok).
const char* wavStatusMessage(WavStatus status);

// Decodes a whole WAV file from memory into the table (replacing its samples).
// Walks the RIFF chunks, takes the format from "fmt " and the samples from
// "data" wherever they stand; never reads past `size` whatever the headers
// claim. On failure the table is left as it was.
WavStatus parseWav(const uint8_t* bytes, size_t size, WaveTable& table);

// Reads the file at path and parses it. On failure the table is left as it was.
WavStatus loadWaveTable(const char* path, WaveTable& table);
