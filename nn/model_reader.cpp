#include "nn/model_reader.h"

#include "wave/file_bytes.h"

#include <cmath>
#include <cstdio>
#include <cstring>

const char* modelCheckName(ModelCheck check) {
    switch (check) {
        case ModelCheck::Passed: return "all";
        case ModelCheck::CantRead: return "readable file";
        case ModelCheck::FileSize: return "file size";
        case ModelCheck::LayerCount: return "layer count";
        case ModelCheck::NegativeSize: return "negative size";
        case ModelCheck::SizeLimit: return "size limit";
        case ModelCheck::InputSize: return "input size";
        case ModelCheck::OutputSize: return "output size";
        case ModelCheck::ParameterLimit: return "parameter limit";
        case ModelCheck::FiniteParameter: return "finite parameter";
        case ModelCheck::ActivationByte: return "activation byte";
        case ModelCheck::OutOfMemory: return "memory";
    }
    return "unknown";
}

std::string describeModelReadResult(const ModelReadResult& result) {
    if (result.check == ModelCheck::Passed) return "all checks passed";
    if (result.check == ModelCheck::CantRead) return "can't be opened or read";
    return std::string(modelCheckName(result.check)) + " check failed at byte " +
           std::to_string(result.offset) + ": " + result.detail;
}

namespace {

uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int32_t readI32(const uint8_t* p) { return static_cast<int32_t>(readU32(p)); }

float readF32(const uint8_t* p) {
    const uint32_t bits = readU32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

ModelReadResult failure(ModelCheck check, uint64_t offset, std::string detail) {
    ModelReadResult result;
    result.check = check;
    result.offset = offset;
    result.detail = std::move(detail);
    return result;
}

std::string bytesText(uint64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

// Where a file of `have` bytes parts from the `need` the layout asks for.
ModelReadResult wrongSize(uint64_t have, uint64_t need, const std::string& what) {
    std::string found = have > kMaxModelFileBytes ? "more than " + bytesText(kMaxModelFileBytes)
                                                  : bytesText(have);
    return failure(ModelCheck::FileSize, have < need ? have : need,
                   what + " need " + bytesText(need) + ", the file has " + found);
}

const char* activationName(uint8_t byte) {
    return byte == Sigmoid ? "0 (sigmoid)" : byte == Relu ? "1 (relu)" : nullptr;
}

}  // namespace

ModelReadResult checkModelBytes(std::span<const uint8_t> bytes, ModelShape& shape) {
    const uint64_t size = bytes.size();
    const uint8_t* data = bytes.data();

    if (size < 4) return wrongSize(size, 4, "the layer count and the sizes");
    const int32_t layerCount = readI32(data);
    if (layerCount < 3 || layerCount > kMaxLayers) {
        return failure(ModelCheck::LayerCount, 0,
                       std::to_string(layerCount) + " layers, a model has 3 to " + std::to_string(kMaxLayers));
    }
    const uint64_t count = static_cast<uint64_t>(layerCount);
    const uint64_t sizesEnd = 4 + 4 * count;
    if (size < sizesEnd) {
        return wrongSize(size, sizesEnd, "the layer count and " + std::to_string(count) + " sizes");
    }

    ModelShape read;
    read.layerCount = layerCount;
    for (uint64_t l = 0; l < count; ++l) {
        const uint64_t offset = 4 + 4 * l;
        const int32_t value = readI32(data + offset);
        const std::string what = "layer " + std::to_string(l) + " has size " + std::to_string(value);
        if (value < 0) return failure(ModelCheck::NegativeSize, offset, what);
        if (static_cast<uint32_t>(value) > kMaxLayerSize) {
            return failure(ModelCheck::SizeLimit, offset, what + ", at most " + std::to_string(kMaxLayerSize) + " allowed");
        }
        if (l == 0 && value != 1) return failure(ModelCheck::InputSize, offset, what + ", the input is 1 neuron");
        if (l == count - 1 && value != 1) return failure(ModelCheck::OutputSize, offset, what + ", the output is 1 neuron");
        read.sizes[l] = value;
    }

    // Every size is at most 2^16 and there are at most 9 products, so 64 bits
    // hold the counts whatever the file says.
    uint64_t parameters = 0;
    for (uint64_t l = 1; l < count; ++l) {
        const uint64_t neurons = static_cast<uint64_t>(read.sizes[l]);
        parameters += neurons + neurons * static_cast<uint64_t>(read.sizes[l - 1]);
    }
    if (parameters > kMaxParameters) {
        return failure(ModelCheck::ParameterLimit, 4,
                       "the sizes make " + std::to_string(parameters) + " parameters, at most " +
                           std::to_string(kMaxParameters) + " allowed");
    }

    const uint64_t paramsEnd = sizesEnd + 4 * parameters;
    const uint64_t fileSize = paramsEnd + count;
    if (size != fileSize) {
        return wrongSize(size, fileSize,
                         std::to_string(count) + " layers and " + std::to_string(parameters) + " parameters");
    }

    for (uint64_t p = 0; p < parameters; ++p) {
        const uint64_t offset = sizesEnd + 4 * p;
        const float value = readF32(data + offset);
        if (!std::isfinite(value)) {
            const char* kind = std::isnan(value) ? "NaN" : value > 0 ? "+infinity" : "-infinity";
            return failure(ModelCheck::FiniteParameter, offset, "parameter " + std::to_string(p) + " is " + kind);
        }
    }

    for (uint64_t l = 0; l < count; ++l) {
        const uint64_t offset = paramsEnd + l;
        const uint8_t byte = data[offset];
        const uint8_t expected = l == count - 1 ? Sigmoid : Relu;
        if (byte != expected) {
            const char* name = activationName(byte);
            return failure(ModelCheck::ActivationByte, offset,
                           "layer " + std::to_string(l) + " has " + (name ? name : std::to_string(byte)) +
                               ", expected " + activationName(expected));
        }
        read.activations[l] = static_cast<Activation>(byte);
    }

    shape = read;
    return ModelReadResult{};
}

ModelReadResult readModelBytes(std::span<const uint8_t> bytes, Network& net) {
    ModelShape shape;
    ModelReadResult result = checkModelBytes(bytes, shape);
    if (result.check != ModelCheck::Passed) return result;
    if (!buildNetwork(net, shape)) {
        return failure(ModelCheck::OutOfMemory, 4, "no memory for " + std::to_string(parameterCount(net)) + " parameters");
    }
    const uint8_t* params = bytes.data() + 4 + 4 * static_cast<uint64_t>(shape.layerCount);
    const uint32_t count = parameterCount(net);
    for (uint32_t p = 0; p < count; ++p) net.params[p] = readF32(params + 4 * static_cast<uint64_t>(p));
    return result;
}

bool readModelFileBytes(const char* path, std::vector<uint8_t>& bytes) {
    // One byte beyond the largest model is enough to fail the size check.
    return readFileBytes(path, kMaxModelFileBytes + 1, bytes);
}

ModelReadResult loadModelFile(const char* path, Network& net) {
    std::vector<uint8_t> bytes;
    if (!readModelFileBytes(path, bytes)) return failure(ModelCheck::CantRead, 0, "can't be opened or read");
    return readModelBytes(bytes, net);
}
