#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "nn/model_file.h"

namespace {

std::vector<uint8_t> bytesOfInt(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// The bytes read back from a file written by writeModelFile.
std::vector<uint8_t> writtenBytes(const Network& net) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return {};
    const bool written = writeModelFile(net, file);
    std::vector<uint8_t> bytes;
    if (written && std::fseek(file, 0, SEEK_SET) == 0) {
        int c;
        while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    }
    std::fclose(file);
    return bytes;
}

}  // namespace

TEST(ModelFile, DefaultNetworkIs705BytesOfCountSizesParametersAndActivations) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, defaultModelShape()));
    for (uint32_t p = 0; p < 169; ++p) net.params[p] = static_cast<float>(p) * -0.375f + 1.0f;
    net.params[7] = 1.0e-40f;  // a denormal keeps its bits too

    const std::vector<uint8_t> bytes = modelFileBytes(net);
    ASSERT_EQ(modelFileSize(net), 705u);
    ASSERT_EQ(bytes.size(), 705u);
    const std::vector<uint8_t> header = {5, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 24), header);
    for (uint32_t p = 0; p < 169; ++p) {
        uint32_t bits;
        std::memcpy(&bits, &net.params[p], sizeof bits);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 24 + 4 * p, bytes.begin() + 28 + 4 * p), bytesOfInt(bits))
            << "param " << p;
    }
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 5, bytes.end()), (std::vector<uint8_t>{1, 1, 1, 1, 0}));
    // 1.0f as the first parameter, little-endian.
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 24, bytes.begin() + 28), (std::vector<uint8_t>{0, 0, 0x80, 0x3f}));

    EXPECT_EQ(writtenBytes(net), bytes);
    releaseNetwork(net);
}

TEST(ModelFile, SingleHiddenLayerOfFourIs71Bytes) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("4")));
    for (uint32_t p = 0; p < 13; ++p) net.params[p] = -2.0f;

    const std::vector<uint8_t> bytes = modelFileBytes(net);
    ASSERT_EQ(bytes.size(), 71u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 16),
              (std::vector<uint8_t>{3, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0}));
    for (uint32_t p = 0; p < 13; ++p) {
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 16 + 4 * p, bytes.begin() + 20 + 4 * p),
                  (std::vector<uint8_t>{0, 0, 0, 0xc0}));
    }
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 3, bytes.end()), (std::vector<uint8_t>{1, 1, 0}));
    EXPECT_EQ(writtenBytes(net), bytes);
    releaseNetwork(net);
}
