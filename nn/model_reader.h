#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "nn/network.h"

// Reads model files back: checks every field of the layout against what the
// trainer can write, then rebuilds the network through buildNetwork, so a read
// model has the same offsets and evaluates bit for bit like the one saved.
//
// The checks, in the order they run, which follows the bytes of the file. A
// file too short to hold the layer count or the sizes fails FileSize at once.
enum class ModelCheck : uint8_t {
    Passed,
    CantRead,         // the file can't be opened or read
    LayerCount,       // L from 3 to 10
    NegativeSize,     // no layer size below 0
    SizeLimit,        // no layer size above kMaxLayerSize
    InputSize,        // the first size is 1
    OutputSize,       // the last size is 1
    ParameterLimit,   // P at most kMaxParameters
    FileSize,         // exactly 4 + 5 L + 4 P bytes
    FiniteParameter,  // no NaN or infinity among the parameters
    ActivationByte,   // 1 for every layer but the last, 0 for the last
    OutOfMemory,      // the parameter array could not be allocated
};

// The first check the bytes failed, and where.
struct ModelReadResult {
    ModelCheck check = ModelCheck::Passed;
    // Byte offset of the offending field; for FileSize, where the bytes end
    // (file too short) or where the surplus begins (too long).
    uint64_t offset = 0;
    std::string detail;  // what was found, e.g. "layer 2 has size -3"
};

// The largest file a valid model can be: 10 layers and kMaxParameters.
constexpr uint64_t kMaxModelFileBytes = 4 + 5 * uint64_t{kMaxLayers} + 4 * uint64_t{kMaxParameters};

// Short name of a check, e.g. "file size".
const char* modelCheckName(ModelCheck check);

// One line without a newline, e.g.
// "file size check failed at byte 704: 5 layers and 169 parameters need 705 bytes, the file has 704".
std::string describeModelReadResult(const ModelReadResult& result);

// Runs every check without building anything; on success `shape` holds the
// sizes and activations read. Never reads outside `bytes`.
ModelReadResult checkModelBytes(std::span<const uint8_t> bytes, ModelShape& shape);

// Checks the bytes and, if they pass, rebuilds `net` from them. Bytes that
// fail a check leave `net` as it was.
ModelReadResult readModelBytes(std::span<const uint8_t> bytes, Network& net);

// Reads at most kMaxModelFileBytes + 1 bytes of the file into `bytes`: anything
// longer fails the file size check anyway, so a huge file is never held whole.
// False if it can't be opened or read.
bool readModelFileBytes(const char* path, std::vector<uint8_t>& bytes);

// readModelFileBytes, then readModelBytes.
ModelReadResult loadModelFile(const char* path, Network& net);
