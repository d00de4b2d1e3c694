#include "wave/file_bytes.h"

#include <cstdio>

bool readFileBytes(const char* path, uint64_t limit, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    uint8_t block[65536];
    bool failed = false;
    while (bytes.size() < limit) {
        const size_t got = std::fread(block, 1, sizeof block, file);
        bytes.insert(bytes.end(), block, block + got);
        if (got < sizeof block) {
            failed = std::ferror(file) != 0;
            break;
        }
    }
    std::fclose(file);
    if (bytes.size() > limit) bytes.resize(limit);
    return !failed;
}
