// The model file writer against a reader of the layout written here from the
// byte table alone: any shape the trainer can build, any parameter bits
// (NaNs and infinities included), must come back bit for bit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nn/model_file.h"
#include "nn/network.h"

namespace {

constexpr int kLargestFuzzedLayer = 40;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz_model_file: %s\n", what);
    std::abort();
}

// Hands out the fuzzer's bytes in order, then zeros.
struct ByteSource {
    const uint8_t* bytes;
    size_t size;
    size_t pos = 0;
};

uint8_t takeByte(ByteSource& in) { return in.pos < in.size ? in.bytes[in.pos++] : 0; }

uint32_t takeU32(ByteSource& in) {
    uint32_t v = 0;
    for (int shift = 0; shift < 32; shift += 8) v |= static_cast<uint32_t>(takeByte(in)) << shift;
    return v;
}

// The layout as the plug-in sees it: int32 L, int32 size[L], float params[P],
// uint8 activation[L], little-endian, nothing else.
struct ReadModel {
    int32_t layerCount = 0;
    std::vector<int32_t> sizes;
    std::vector<uint32_t> paramBits;
    std::vector<uint8_t> activations;
};

uint32_t decodeU32(const std::vector<uint8_t>& file, size_t at) {
    return static_cast<uint32_t>(file[at]) | (static_cast<uint32_t>(file[at + 1]) << 8) |
           (static_cast<uint32_t>(file[at + 2]) << 16) | (static_cast<uint32_t>(file[at + 3]) << 24);
}

bool readModel(const std::vector<uint8_t>& file, ReadModel& model) {
    if (file.size() < 4) return false;
    model.layerCount = static_cast<int32_t>(decodeU32(file, 0));
    if (model.layerCount < 3 || model.layerCount > 10) return false;
    const size_t layers = static_cast<size_t>(model.layerCount);
    if (file.size() < 4 + 4 * layers) return false;
    uint64_t parameters = 0;
    for (size_t l = 0; l < layers; ++l) {
        model.sizes.push_back(static_cast<int32_t>(decodeU32(file, 4 + 4 * l)));
        if (model.sizes.back() < 0) return false;
        if (l > 0) {
            parameters += static_cast<uint64_t>(model.sizes[l]) * (static_cast<uint64_t>(model.sizes[l - 1]) + 1);
        }
    }
    const size_t paramStart = 4 + 4 * layers;
    if (file.size() != paramStart + 4 * parameters + layers) return false;
    for (uint64_t p = 0; p < parameters; ++p) model.paramBits.push_back(decodeU32(file, paramStart + 4 * p));
    for (size_t l = 0; l < layers; ++l) model.activations.push_back(file[paramStart + 4 * parameters + l]);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    ByteSource in{bytes, size};
    ModelShape shape;
    const int hidden = 1 + takeByte(in) % kMaxHiddenLayers;
    shape.layerCount = hidden + 2;
    shape.sizes[0] = 1;
    shape.sizes[hidden + 1] = 1;
    for (int l = 1; l <= hidden; ++l) shape.sizes[l] = takeByte(in) % (kLargestFuzzedLayer + 1);
    // The trainer only makes Relu..Relu Sigmoid; the writer must not care.
    const uint8_t activationBits = takeByte(in);
    const uint8_t activationHigh = takeByte(in);
    for (int l = 0; l < shape.layerCount; ++l) {
        const int bit = l < 8 ? (activationBits >> l) & 1 : (activationHigh >> (l - 8)) & 1;
        shape.activations[l] = bit != 0 ? Relu : Sigmoid;
    }

    Network net;
    if (!buildNetwork(net, shape)) fail("build failed");
    const uint32_t count = parameterCount(net);
    std::vector<uint32_t> bits(count);
    for (uint32_t p = 0; p < count; ++p) {
        bits[p] = takeU32(in);
        std::memcpy(&net.params[p], &bits[p], sizeof(float));
    }

    const std::vector<uint8_t> file = modelFileBytes(net);
    if (file.size() != 4 + 5 * static_cast<uint64_t>(shape.layerCount) + 4 * static_cast<uint64_t>(count)) {
        fail("file size is not 4 + 5 L + 4 P");
    }
    if (modelFileSize(net) != file.size()) fail("modelFileSize disagrees with the bytes");
    ReadModel model;
    if (!readModel(file, model)) fail("the layout reader refused the file");
    if (model.layerCount != shape.layerCount) fail("layer count");
    for (int l = 0; l < shape.layerCount; ++l) {
        if (model.sizes[l] != shape.sizes[l]) fail("layer size");
        if (model.activations[l] != static_cast<uint8_t>(shape.activations[l])) fail("activation byte");
    }
    if (model.paramBits != bits) fail("parameters differ");

    // The file the trainer writes holds exactly these bytes.
    char* written = nullptr;
    size_t writtenSize = 0;
    std::FILE* stream = open_memstream(&written, &writtenSize);
    if (stream == nullptr) fail("open_memstream");
    if (!writeModelFile(net, stream)) fail("writeModelFile reported a failure");
    std::fclose(stream);
    if (writtenSize != file.size() || std::memcmp(written, file.data(), file.size()) != 0) {
        fail("writeModelFile wrote other bytes");
    }
    std::free(written);
    releaseNetwork(net);
    return 0;
}
