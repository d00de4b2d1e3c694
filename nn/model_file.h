#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "nn/network.h"

// The file the plug-in loads, little-endian, no header:
//   int32 L | int32 size[L] | float params[B + W] | uint8 activation[L]
// Size: 4 + 5 L + 4 P bytes.
uint64_t modelFileSize(const Network& net);

// The exact bytes of the model file.
std::vector<uint8_t> modelFileBytes(const Network& net);

// Writes the model to a file opened for binary writing. Returns false if any
// write failed.
bool writeModelFile(const Network& net, std::FILE* file);
