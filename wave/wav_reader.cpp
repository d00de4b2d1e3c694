#include "wave/wav_reader.h"

#include "wave/file_bytes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

const char* wavStatusMessage(WavStatus status) {
    switch (status) {
        case WavStatus::Ok: return "";
        case WavStatus::CantOpen: return "Error: could not open wav file.\n";
        case WavStatus::Unsupported: return "Error: only 16-bit PCM wav files are supported.\n";
        case WavStatus::NotWav: return "Error: not a wav file (no RIFF/WAVE header).\n";
        case WavStatus::CutShort: return "Error: the wav file is cut short.\n";
        case WavStatus::NoFormat: return "Error: the wav file has no format (fmt) chunk.\n";
        case WavStatus::NoData: return "Error: the wav file has no data chunk.\n";
        case WavStatus::NoSamples: return "Error: the wav file holds no samples.\n";
    }
    return "Error: could not open wav file.\n";
}

namespace {

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int16_t readI16(const uint8_t* p) { return static_cast<int16_t>(readU16(p)); }

}  // namespace

WavStatus parseWav(const uint8_t* bytes, size_t size, WaveTable& table) {
    if (size < 12) return size >= 4 && std::memcmp(bytes, "RIFF", 4) == 0 ? WavStatus::CutShort : WavStatus::NotWav;
    if (std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) return WavStatus::NotWav;

    bool haveFormat = false;
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint16_t bitsPerSample = 0;
    const uint8_t* data = nullptr;
    uint64_t dataSize = 0;

    // The RIFF size field is often wrong in the wild; the file's own length rules.
    // A walk that stops inside a chunk header or body means the file was cut
    // short, which explains a missing chunk better than "there is none".
    bool cutShort = false;
    size_t pos = 12;
    for (;;) {
        if (size - pos < 8) {
            cutShort = size != pos;
            break;
        }
        const uint8_t* header = bytes + pos;
        const uint64_t chunkSize = readU32(header + 4);
        const size_t bodyStart = pos + 8;
        const uint64_t available = size - bodyStart;
        if (std::memcmp(header, "fmt ", 4) == 0 && !haveFormat) {
            if (chunkSize < 16 || available < 16) return WavStatus::CutShort;
            formatTag = readU16(bytes + bodyStart);
            channels = readU16(bytes + bodyStart + 2);
            bitsPerSample = readU16(bytes + bodyStart + 14);
            haveFormat = true;
        } else if (std::memcmp(header, "data", 4) == 0 && data == nullptr) {
            data = bytes + bodyStart;
            // A truncated or streamed file claims more than it holds: take what is there.
            dataSize = chunkSize < available ? chunkSize : available;
        }
        if (haveFormat && data != nullptr) break;
        // Writers often leave out the pad byte after an odd last chunk; only a
        // body that itself runs past the end counts as cut short.
        if (chunkSize > available) {
            cutShort = true;
            break;
        }
        const uint64_t advance = chunkSize + (chunkSize & 1);
        if (advance >= available) break;
        pos = bodyStart + static_cast<size_t>(advance);
    }

    if (!haveFormat) return cutShort ? WavStatus::CutShort : WavStatus::NoFormat;
    if (formatTag != 1 || bitsPerSample != 16 || channels == 0) return WavStatus::Unsupported;
    if (data == nullptr) return cutShort ? WavStatus::CutShort : WavStatus::NoData;

    const uint64_t frames = (dataSize / 2) / channels;
    if (frames == 0) return WavStatus::NoSamples;
    int16_t* samples = static_cast<int16_t*>(std::malloc(frames * sizeof(int16_t)));
    if (samples == nullptr) return WavStatus::CantOpen;

    const uint64_t frameBytes = 2ull * channels;
    for (uint64_t f = 0; f < frames; ++f) {
        const uint8_t* frame = data + f * frameBytes;
        if (channels == 1) {
            samples[f] = readI16(frame);
        } else {
            // Rounded toward zero, so a stereo frame (a + b) / 2 as integer division.
            int64_t sum = 0;
            for (uint16_t c = 0; c < channels; ++c) sum += readI16(frame + 2 * c);
            samples[f] = static_cast<int16_t>(sum / channels);
        }
    }
    replaceWaveSamples(table, samples, frames);
    return WavStatus::Ok;
}

WavStatus loadWaveTable(const char* path, WaveTable& table) {
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, UINT64_MAX, bytes)) return WavStatus::CantOpen;
    return parseWav(bytes.data(), bytes.size(), table);
}
