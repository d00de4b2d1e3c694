#include "nn/model_file.h"

#include <cstring>

uint64_t modelFileSize(const Network& net) {
    return 4 + 5 * net.layers.size + 4 * static_cast<uint64_t>(parameterCount(net));
}

static void appendLittleEndian32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

std::vector<uint8_t> modelFileBytes(const Network& net) {
    std::vector<uint8_t> out;
    out.reserve(modelFileSize(net));
    appendLittleEndian32(out, static_cast<uint32_t>(net.layers.size));
    for (uint64_t l = 0; l < net.layers.size; ++l) {
        appendLittleEndian32(out, static_cast<uint32_t>(net.layers[l].size));
    }
    const uint32_t count = parameterCount(net);
    for (uint32_t p = 0; p < count; ++p) {
        uint32_t bits;
        std::memcpy(&bits, &net.params[p], sizeof bits);
        appendLittleEndian32(out, bits);
    }
    for (uint64_t l = 0; l < net.layers.size; ++l) {
        out.push_back(static_cast<uint8_t>(net.layers[l].activation));
    }
    return out;
}

bool writeModelFile(const Network& net, std::FILE* file) {
    // Built byte by byte so the file is little-endian on any host.
    const std::vector<uint8_t> bytes = modelFileBytes(net);
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}
