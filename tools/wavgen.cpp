#include "tools/wavgen.h"

#include <cmath>
#include <cstdio>

namespace wavgen {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kPeak = 0.9 * 32767.0;  // a little headroom, as sample packs leave

void appendU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void appendU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void appendId(std::vector<uint8_t>& out, const std::string& id) {
    for (size_t i = 0; i < 4; ++i) out.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
}

void appendChunk(std::vector<uint8_t>& out, const Chunk& chunk) {
    appendId(out, chunk.id);
    appendU32(out, static_cast<uint32_t>(chunk.body.size()));
    out.insert(out.end(), chunk.body.begin(), chunk.body.end());
    if (chunk.body.size() % 2 == 1) out.push_back(0);
}

// Value of a shape at phase p in [0, 1), in [-1, 1].
double shapeValue(const std::string& name, double p) {
    if (name == "sine") return std::sin(2 * kPi * p);
    if (name == "triangle") return p < 0.25 ? 4 * p : (p < 0.75 ? 2 - 4 * p : 4 * p - 4);
    if (name == "saw") return 1 - 2 * p;
    if (name == "square") return p < 0.5 ? 1 : -1;
    if (name == "pulse") return p < 0.25 ? 1 : -1;
    if (name == "organ") {
        // Drawbar-like: fundamental with octave and twelfth.
        return (std::sin(2 * kPi * p) + 0.5 * std::sin(4 * kPi * p) + 0.35 * std::sin(6 * kPi * p) +
                0.2 * std::sin(8 * kPi * p)) / 1.6;
    }
    if (name == "bell") {
        // Two-operator FM with a non-integer-looking but cycle-closed ratio.
        return std::sin(2 * kPi * p + 2.2 * std::sin(2 * kPi * 3 * p));
    }
    if (name == "formant") {
        // A vowel-like cycle: a windowed burst at the 7th harmonic on a fundamental.
        const double window = 0.5 - 0.5 * std::cos(2 * kPi * p);
        return 0.45 * std::sin(2 * kPi * p) + 0.55 * window * std::sin(2 * kPi * 7 * p);
    }
    return 0;
}

}  // namespace

const std::vector<std::string>& exampleShapeNames() {
    static const std::vector<std::string> names = {"sine", "triangle", "saw", "square",
                                                   "pulse", "organ", "bell", "formant"};
    return names;
}

std::vector<int16_t> exampleShape(const std::string& name, int frames) {
    bool known = false;
    for (const std::string& candidate : exampleShapeNames()) known = known || candidate == name;
    std::vector<int16_t> samples;
    if (!known || frames <= 0) return samples;
    samples.reserve(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        const double value = shapeValue(name, static_cast<double>(i) / frames) * kPeak;
        samples.push_back(static_cast<int16_t>(std::lround(value)));
    }
    return samples;
}

std::vector<uint8_t> sampleBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out;
    out.reserve(samples.size() * 2);
    for (int16_t s : samples) appendU16(out, static_cast<uint16_t>(s));
    return out;
}

std::vector<uint8_t> wavFileBytes(const std::vector<uint8_t>& data, const WavLayout& layout) {
    std::vector<uint8_t> body;
    appendId(body, "WAVE");
    Chunk fmt{"fmt ", {}};
    appendU16(fmt.body, layout.formatTag);
    appendU16(fmt.body, layout.channels);
    appendU32(fmt.body, layout.sampleRate);
    const uint16_t blockAlign = static_cast<uint16_t>(layout.channels * (layout.bitsPerSample / 8));
    appendU32(fmt.body, layout.sampleRate * blockAlign);
    appendU16(fmt.body, blockAlign);
    appendU16(fmt.body, layout.bitsPerSample);
    fmt.body.insert(fmt.body.end(), layout.fmtExtraBytes, 0);
    appendChunk(body, fmt);
    for (const Chunk& chunk : layout.beforeData) appendChunk(body, chunk);
    appendId(body, "data");
    appendU32(body, layout.overrideDataSize ? layout.claimedDataSize : static_cast<uint32_t>(data.size()));
    body.insert(body.end(), data.begin(), data.end());
    if (data.size() % 2 == 1 && !layout.afterData.empty()) body.push_back(0);
    for (const Chunk& chunk : layout.afterData) appendChunk(body, chunk);

    std::vector<uint8_t> file;
    appendId(file, "RIFF");
    appendU32(file, static_cast<uint32_t>(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

std::vector<uint8_t> canonicalWav(const std::vector<int16_t>& interleaved, uint16_t channels) {
    WavLayout layout;
    layout.channels = channels;
    return wavFileBytes(sampleBytes(interleaved), layout);
}

bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::string writeExampleWaveforms(const std::string& folder) {
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += '/';
    for (const std::string& name : exampleShapeNames()) {
        const std::string path = prefix + name + ".wav";
        if (!writeFileBytes(path, canonicalWav(exampleShape(name)))) return path;
    }
    return "";
}

}  // namespace wavgen
