#pragma once

#include <cstdint>
#include <vector>

// Reads up to `limit` bytes of a file into `bytes` (replacing its contents),
// block by block, so a file is never held beyond what a caller can use.
// Returns false if the file can't be opened or a read fails.
bool readFileBytes(const char* path, uint64_t limit, std::vector<uint8_t>& bytes);
