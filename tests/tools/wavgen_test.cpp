#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "tools/wavgen.h"
#include "wave/wav_reader.h"

namespace {

uint32_t u32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t u16At(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
std::string idAt(const std::vector<uint8_t>& b, size_t at) { return std::string(b.begin() + at, b.begin() + at + 4); }

TEST(WavgenShapes, TheExamplesAreNamedAndDistinct) {
    const std::vector<std::string>& names = wavgen::exampleShapeNames();
    for (const char* basic : {"sine", "triangle", "saw", "square"})
        EXPECT_NE(std::find(names.begin(), names.end(), basic), names.end()) << basic;
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    std::set<std::vector<int16_t>> cycles;
    for (const std::string& name : names) cycles.insert(wavgen::exampleShape(name));
    EXPECT_EQ(cycles.size(), names.size());
}

TEST(WavgenShapes, EachIsOneAudibleCycleOf600Frames) {
    for (const std::string& name : wavgen::exampleShapeNames()) {
        const std::vector<int16_t> cycle = wavgen::exampleShape(name);
        ASSERT_EQ(cycle.size(), 600u) << name;
        const auto [low, high] = std::minmax_element(cycle.begin(), cycle.end());
        EXPECT_LT(*low, -10000) << name;
        EXPECT_GT(*high, 10000) << name;
    }
    EXPECT_EQ(wavgen::exampleShape("sine")[0], 0);
    EXPECT_EQ(wavgen::exampleShape("sine")[150], 29490);  // 0.9 of full scale at a quarter cycle
}

TEST(WavgenShapes, UnknownNamesAndCountsGiveNothing) {
    EXPECT_TRUE(wavgen::exampleShape("kazoo").empty());
    EXPECT_TRUE(wavgen::exampleShape("sine", 0).empty());
    EXPECT_EQ(wavgen::exampleShape("saw", 78).size(), 78u);
}

TEST(WavgenWriter, CanonicalFilesHaveTheFortyFourByteHeader) {
    const std::vector<uint8_t> file = wavgen::canonicalWav({1, -2, 3, -4, 5, -6}, 2);
    ASSERT_EQ(file.size(), 44u + 12u);
    EXPECT_EQ(idAt(file, 0), "RIFF");
    EXPECT_EQ(u32At(file, 4), 36u + 12u);
    EXPECT_EQ(idAt(file, 8), "WAVE");
    EXPECT_EQ(idAt(file, 12), "fmt ");
    EXPECT_EQ(u32At(file, 16), 16u);
    EXPECT_EQ(u16At(file, 20), 1u);      // PCM
    EXPECT_EQ(u16At(file, 22), 2u);      // channels
    EXPECT_EQ(u32At(file, 24), 44100u);  // sample rate
    EXPECT_EQ(u32At(file, 28), 176400u);
    EXPECT_EQ(u16At(file, 32), 4u);  // block align
    EXPECT_EQ(u16At(file, 34), 16u);
    EXPECT_EQ(idAt(file, 36), "data");
    EXPECT_EQ(u32At(file, 40), 12u);
    EXPECT_EQ(u16At(file, 46), 0xFFFEu);  // -2, little-endian
}

TEST(WavgenWriter, LayoutOptionsShapeTheChunks) {
    wavgen::WavLayout layout;
    layout.fmtExtraBytes = 24;
    layout.beforeData = {wavgen::Chunk{"LIST", {9, 9, 9}}};
    layout.overrideDataSize = true;
    layout.claimedDataSize = 0xFFFFFFFF;
    const std::vector<uint8_t> file = wavgen::wavFileBytes({0x10, 0x20}, layout);
    EXPECT_EQ(u32At(file, 16), 40u);
    EXPECT_EQ(idAt(file, 60), "LIST");
    EXPECT_EQ(u32At(file, 64), 3u);
    EXPECT_EQ(file[71], 0u);  // pad byte after the odd chunk
    EXPECT_EQ(idAt(file, 72), "data");
    EXPECT_EQ(u32At(file, 76), 0xFFFFFFFFu);
    EXPECT_EQ(file.size(), 82u);
    EXPECT_EQ(u32At(file, 4), 74u);
}

TEST(WavgenWriter, WrittenExamplesLoadBackAsTheSameSamples) {
    ScopedTempDir dir("wavgen_test_");
    ASSERT_FALSE(dir.path.empty());
    EXPECT_EQ(wavgen::writeExampleWaveforms(dir.path), "");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) files += entry.is_regular_file();
    EXPECT_EQ(files, wavgen::exampleShapeNames().size());
    for (const std::string& name : wavgen::exampleShapeNames()) {
        const std::string path = dir.file(name + ".wav");
        WaveTable table;
        ASSERT_EQ(loadWaveTable(path.c_str(), table), WavStatus::Ok) << path;
        EXPECT_EQ(std::vector<int16_t>(table.samples, table.samples + table.sampleCount), wavgen::exampleShape(name));
        releaseWaveTable(table);
    }
}

TEST(WavgenWriter, ReportsTheFileItCouldNotWrite) {
    ScopedTempDir dir("wavgen_test_");
    ASSERT_FALSE(dir.path.empty());
    const std::string missing = dir.path + "/no/such/folder/";
    EXPECT_EQ(wavgen::writeExampleWaveforms(missing), missing + wavgen::exampleShapeNames()[0] + ".wav");
}

}  // namespace
