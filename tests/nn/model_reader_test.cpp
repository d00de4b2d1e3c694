#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "nn/forward.h"
#include "nn/model_file.h"
#include "nn/model_reader.h"
#include "nn/network.h"
#include "nn/pcg32.h"
#include "support/temp_dir.h"
#include "tools/wavgen.h"

namespace {

// A randomly initialized network of the shape a size line gives.
void buildSeeded(Network& net, const char* sizeLine, int64_t seed) {
    Pcg32 rng;
    seedFromClock(rng, seed);
    ASSERT_TRUE(buildNetwork(net, parseModelSize(sizeLine)));
    initializeNetwork(net, rng);
}

std::vector<uint8_t> seededModelBytes(const char* sizeLine) {
    Network net;
    buildSeeded(net, sizeLine, 1234);
    std::vector<uint8_t> bytes = modelFileBytes(net);
    releaseNetwork(net);
    return bytes;
}

void putI32(std::vector<uint8_t>& bytes, size_t offset, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
}

void putF32(std::vector<uint8_t>& bytes, size_t offset, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
}

// A file of the given sizes, all parameters 0.25, activations as the trainer writes them.
std::vector<uint8_t> handMadeModel(const std::vector<int32_t>& sizes) {
    uint64_t parameters = 0;
    for (size_t l = 1; l < sizes.size(); ++l) {
        parameters += static_cast<uint64_t>(sizes[l]) * (1 + static_cast<uint64_t>(sizes[l - 1]));
    }
    std::vector<uint8_t> bytes(4 + 4 * sizes.size() + 4 * parameters + sizes.size());
    putI32(bytes, 0, static_cast<int32_t>(sizes.size()));
    for (size_t l = 0; l < sizes.size(); ++l) putI32(bytes, 4 + 4 * l, sizes[l]);
    const size_t paramsStart = 4 + 4 * sizes.size();
    for (uint64_t p = 0; p < parameters; ++p) putF32(bytes, paramsStart + 4 * p, 0.25f);
    for (size_t l = 0; l < sizes.size(); ++l) bytes[paramsStart + 4 * parameters + l] = l + 1 == sizes.size() ? 0 : 1;
    return bytes;
}

// Checks a copy of exactly the given length, so a read past its end is caught
// by the address sanitizer rather than landing in the original's spare capacity.
ModelReadResult check(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    ModelShape shape;
    return checkModelBytes(exact, shape);
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class ModelRoundTrip : public testing::TestWithParam<const char*> {};

TEST_P(ModelRoundTrip, ReadModelHasTheSavedLayoutAndParameters) {
    Network saved;
    buildSeeded(saved, GetParam(), 77);
    Network read;
    const ModelReadResult result = readModelBytes(modelFileBytes(saved), read);
    ASSERT_EQ(result.check, ModelCheck::Passed) << describeModelReadResult(result);

    ASSERT_EQ(read.layers.size, saved.layers.size);
    for (uint64_t l = 0; l < saved.layers.size; ++l) {
        EXPECT_EQ(read.layers[l].size, saved.layers[l].size) << "layer " << l;
        EXPECT_EQ(read.layers[l].biasOffset, saved.layers[l].biasOffset) << "layer " << l;
        EXPECT_EQ(read.layers[l].weightOffset, saved.layers[l].weightOffset) << "layer " << l;
        EXPECT_EQ(read.layers[l].activation, saved.layers[l].activation) << "layer " << l;
    }
    ASSERT_EQ(read.biasCount, saved.biasCount);
    ASSERT_EQ(read.weightCount, saved.weightCount);
    EXPECT_EQ(std::memcmp(read.params, saved.params, sizeof(float) * parameterCount(saved)), 0);
    releaseNetwork(saved);
    releaseNetwork(read);
}

TEST_P(ModelRoundTrip, ReadModelEvaluatesBitForBitLikeTheSavedOne) {
    Network saved;
    buildSeeded(saved, GetParam(), 99);
    Network read;
    ASSERT_EQ(readModelBytes(modelFileBytes(saved), read).check, ModelCheck::Passed);
    int differing = 0;
    // The cycle, and a little beyond it on both sides where ReLU kinks hide.
    for (int i = -200; i <= 1200; ++i) {
        const float phase = static_cast<float>(i) / 1000.0f;
        float a = -1.0f;
        float b = -2.0f;
        evaluateNetwork(saved, &phase, &a);
        evaluateNetwork(read, &phase, &b);
        if (!sameBits(a, b)) ++differing;
    }
    EXPECT_EQ(differing, 0);
    releaseNetwork(saved);
    releaseNetwork(read);
}

TEST_P(ModelRoundTrip, WritingTheReadModelGivesTheSameBytes) {
    const std::vector<uint8_t> bytes = seededModelBytes(GetParam());
    Network read;
    ASSERT_EQ(readModelBytes(bytes, read).check, ModelCheck::Passed);
    EXPECT_EQ(modelFileBytes(read), bytes);
    releaseNetwork(read);
}

INSTANTIATE_TEST_SUITE_P(TrainerShapes, ModelRoundTrip,
                         testing::Values("4", "8x8x8", "8x0x8", "1x2x3x4x5x6x7x8", "4x32x10x8", "64x64"));

TEST(ModelReader, ReadingReplacesALargerModelInTheSameNetwork) {
    Network net;
    buildSeeded(net, "4x32x10x8", 5);
    Network expected;
    buildSeeded(expected, "4", 6);
    ASSERT_EQ(readModelBytes(modelFileBytes(expected), net).check, ModelCheck::Passed);
    EXPECT_EQ(net.layers.size, 3u);
    EXPECT_EQ(parameterCount(net), 13u);
    EXPECT_EQ(modelFileBytes(net), modelFileBytes(expected));
    releaseNetwork(net);
    releaseNetwork(expected);
}

TEST(ModelReader, RefusedBytesLeaveTheNetworkAsItWas) {
    Network net;
    buildSeeded(net, "8x8x8", 3);
    const std::vector<uint8_t> before = modelFileBytes(net);
    std::vector<uint8_t> other = seededModelBytes("4");
    other.back() = 1;
    EXPECT_EQ(readModelBytes(other, net).check, ModelCheck::ActivationByte);
    EXPECT_EQ(modelFileBytes(net), before);
    releaseNetwork(net);
}

TEST(ModelReader, CheckGivesTheShapeReadFromTheFile) {
    ModelShape shape;
    ASSERT_EQ(checkModelBytes(seededModelBytes("8x0x8"), shape).check, ModelCheck::Passed);
    EXPECT_EQ(formatHiddenSizes(shape), "8x0x8");
    EXPECT_EQ(shape.activations[0], Relu);
    EXPECT_EQ(shape.activations[4], Sigmoid);
}

// Damaged 8x8x8 files (705 bytes: L at 0, sizes at 4..23, 169 floats at
// 24..699, activation bytes at 700..704).

TEST(ModelReaderDamage, CutShortByOneByteFailsFileSizeWhereTheBytesEnd) {
    std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
    ASSERT_EQ(bytes.size(), 705u);
    bytes.pop_back();
    const ModelReadResult result = check(bytes);
    EXPECT_EQ(result.check, ModelCheck::FileSize);
    EXPECT_EQ(result.offset, 704u);
}

TEST(ModelReaderDamage, EveryTruncationFailsFileSize) {
    const std::vector<uint8_t> whole = seededModelBytes("8x8x8");
    for (size_t length = 0; length < whole.size(); ++length) {
        const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
        const ModelReadResult result = check(cut);
        ASSERT_EQ(result.check, ModelCheck::FileSize) << "length " << length;
        ASSERT_EQ(result.offset, length) << "length " << length;
    }
}

TEST(ModelReaderDamage, AByteAddedFailsFileSizeWhereTheSurplusBegins) {
    std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
    bytes.push_back(0);
    const ModelReadResult result = check(bytes);
    EXPECT_EQ(result.check, ModelCheck::FileSize);
    EXPECT_EQ(result.offset, 705u);
}

TEST(ModelReaderDamage, LayerCountsOutsideThreeToTenFail) {
    for (int32_t count : {11, 2, 0, -1, 1000000, INT32_MIN}) {
        std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
        putI32(bytes, 0, count);
        const ModelReadResult result = check(bytes);
        EXPECT_EQ(result.check, ModelCheck::LayerCount) << count;
        EXPECT_EQ(result.offset, 0u) << count;
    }
}

TEST(ModelReaderDamage, ElevenLayersFailEvenWhenTheRestIsConsistent) {
    const std::vector<uint8_t> bytes = handMadeModel({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(check(bytes).check, ModelCheck::LayerCount);
    // Ten is still a model.
    EXPECT_EQ(check(handMadeModel({1, 1, 1, 1, 1, 1, 1, 1, 1, 1})).check, ModelCheck::Passed);
}

TEST(ModelReaderDamage, NegativeSizeFailsAtItsField) {
    std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
    putI32(bytes, 12, -3);
    const ModelReadResult result = check(bytes);
    EXPECT_EQ(result.check, ModelCheck::NegativeSize);
    EXPECT_EQ(result.offset, 12u);
    EXPECT_NE(result.detail.find("layer 2 has size -3"), std::string::npos) << result.detail;
}

TEST(ModelReaderDamage, SizeBeyondTheLimitFails) {
    std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
    putI32(bytes, 8, static_cast<int32_t>(kMaxLayerSize) + 1);
    const ModelReadResult result = check(bytes);
    EXPECT_EQ(result.check, ModelCheck::SizeLimit);
    EXPECT_EQ(result.offset, 8u);
}

TEST(ModelReaderDamage, InputAndOutputMustBeOneNeuron) {
    std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
    putI32(bytes, 4, 2);
    EXPECT_EQ(check(bytes).check, ModelCheck::InputSize);
    EXPECT_EQ(check(bytes).offset, 4u);

    bytes = seededModelBytes("8x8x8");
    putI32(bytes, 20, 0);
    EXPECT_EQ(check(bytes).check, ModelCheck::OutputSize);
    EXPECT_EQ(check(bytes).offset, 20u);
}

TEST(ModelReaderDamage, TooManyParametersFailBeforeAnythingIsSizedByThem) {
    // 5000 x 5000 weights, in a file that holds nothing but the sizes.
    std::vector<uint8_t> bytes(4 + 4 * 4);
    putI32(bytes, 0, 4);
    putI32(bytes, 4, 1);
    putI32(bytes, 8, 5000);
    putI32(bytes, 12, 5000);
    putI32(bytes, 16, 1);
    EXPECT_EQ(check(bytes).check, ModelCheck::ParameterLimit);
    // The largest sizes the limit allows don't wrap 32-bit counts into a small file.
    putI32(bytes, 8, 65536);
    putI32(bytes, 12, 65536);
    EXPECT_EQ(check(bytes).check, ModelCheck::ParameterLimit);
}

TEST(ModelReaderDamage, NaNOrInfiniteParameterFailsAtItsBytes) {
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (float value : bad) {
        std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
        putF32(bytes, 24 + 4 * 100, value);
        const ModelReadResult result = check(bytes);
        EXPECT_EQ(result.check, ModelCheck::FiniteParameter) << value;
        EXPECT_EQ(result.offset, 424u) << value;
        EXPECT_NE(result.detail.find("parameter 100"), std::string::npos) << result.detail;
    }
}

TEST(ModelReaderDamage, WrongActivationBytesFailAtTheirLayer) {
    struct Case {
        size_t offset;
        uint8_t value;
    };
    // A sigmoid output marked relu, a hidden layer marked sigmoid, the unused
    // input activation changed, and a byte that names no activation.
    for (const Case& c : {Case{704, 1}, Case{702, 0}, Case{700, 0}, Case{701, 2}}) {
        std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
        bytes[c.offset] = c.value;
        const ModelReadResult result = check(bytes);
        EXPECT_EQ(result.check, ModelCheck::ActivationByte) << c.offset;
        EXPECT_EQ(result.offset, c.offset);
    }
}

TEST(ModelReaderDamage, TheFirstProblemInByteOrderIsReported) {
    std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
    putF32(bytes, 24, std::numeric_limits<float>::quiet_NaN());
    bytes[704] = 7;
    putI32(bytes, 16, -1);
    EXPECT_EQ(check(bytes).check, ModelCheck::NegativeSize);
}

TEST(ModelReaderDamage, DescriptionNamesTheCheckAndTheOffset) {
    std::vector<uint8_t> bytes = seededModelBytes("8x8x8");
    bytes.pop_back();
    EXPECT_EQ(describeModelReadResult(check(bytes)),
              "file size check failed at byte 704: 5 layers and 169 parameters need 705 bytes, the file has 704 bytes");
}

// Files on disk.

TEST(ModelReaderFile, LoadsWhatTheTrainerWrites) {
    ScopedTempDir dir("model_reader_test_");
    ASSERT_FALSE(dir.path.empty());
    Network saved;
    buildSeeded(saved, "4x32x10x8", 11);
    const std::string path = dir.file("lead.net");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(writeModelFile(saved, file));
    std::fclose(file);

    Network read;
    ASSERT_EQ(loadModelFile(path.c_str(), read).check, ModelCheck::Passed);
    EXPECT_EQ(modelFileBytes(read), modelFileBytes(saved));
    releaseNetwork(saved);
    releaseNetwork(read);
}

TEST(ModelReaderFile, MissingFileOrFolderCantBeRead) {
    ScopedTempDir dir("model_reader_test_");
    ASSERT_FALSE(dir.path.empty());
    Network net;
    EXPECT_EQ(loadModelFile(dir.file("absent.net").c_str(), net).check, ModelCheck::CantRead);
    EXPECT_EQ(loadModelFile(dir.path.c_str(), net).check, ModelCheck::CantRead);
}

TEST(ModelReaderFile, AFileBeyondTheLargestModelIsReadOnlyToItsLimit) {
    ScopedTempDir dir("model_reader_test_");
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.file("huge.net");
    ASSERT_TRUE(wavgen::writeFileBytes(path, {0}));
    // Zeros; sparse where the file system allows, so cheap to make.
    std::filesystem::resize_file(path, kMaxModelFileBytes + 4096);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(readModelFileBytes(path.c_str(), bytes));
    EXPECT_EQ(bytes.size(), kMaxModelFileBytes + 1);
    Network net;
    EXPECT_EQ(loadModelFile(path.c_str(), net).check, ModelCheck::LayerCount);  // zeros: L = 0
}

}  // namespace
