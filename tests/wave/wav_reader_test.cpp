#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "tools/wavgen.h"
#include "wave/wav_reader.h"

// Failures read as their message rather than as raw bytes.
static void PrintTo(WavStatus status, std::ostream* os) {
    *os << (status == WavStatus::Ok ? "Ok" : wavStatusMessage(status));
}

namespace {

using wavgen::canonicalWav;
using wavgen::Chunk;
using wavgen::sampleBytes;
using wavgen::WavLayout;
using wavgen::wavFileBytes;

// A recognisable ramp that covers both ends of the 16-bit range.
std::vector<int16_t> ramp(size_t count) {
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<int16_t>(static_cast<int>(i * 64) % 65536 - 32768);
    return out;
}

std::vector<int16_t> samplesOf(const WaveTable& table) {
    return {table.samples, table.samples + table.sampleCount};
}

struct WavReader : ::testing::Test {
    WaveTable table;
    const std::vector<int16_t> previous = {7, -7, 7};

    void SetUp() override { ASSERT_EQ(parse(canonicalWav(previous)), WavStatus::Ok); }
    void TearDown() override { releaseWaveTable(table); }

    WavStatus parse(const std::vector<uint8_t>& bytes) { return parseWav(bytes.data(), bytes.size(), table); }

    // Every refusal leaves the waveform loaded before it in place.
    void expectRefused(const std::vector<uint8_t>& bytes, WavStatus expected) {
        const int16_t* before = table.samples;
        EXPECT_EQ(parse(bytes), expected);
        EXPECT_EQ(table.samples, before);
        EXPECT_EQ(samplesOf(table), previous);
    }
};

// --- Canonical files ---------------------------------------------------------

TEST_F(WavReader, CanonicalMonoGivesTheSamplesAsStored) {
    const std::vector<int16_t> stored = ramp(1024);  // D = 2048
    ASSERT_EQ(parse(canonicalWav(stored)), WavStatus::Ok);
    EXPECT_EQ(table.sampleCount, 1024u);
    EXPECT_EQ(samplesOf(table), stored);
}

TEST_F(WavReader, StereoMixesDownRoundingTowardZero) {
    std::vector<int16_t> interleaved(2048, 0);  // D = 4096, 1024 frames
    const int16_t frames[][3] = {
        {3, -6, -1}, {32767, 32767, 32767}, {-32768, -32767, -32767}, {-3, 0, -1}, {1, 2, 1}, {-32768, -32768, -32768},
    };
    for (size_t f = 0; f < std::size(frames); ++f) {
        interleaved[2 * f] = frames[f][0];
        interleaved[2 * f + 1] = frames[f][1];
    }
    interleaved[2046] = 100;  // last frame: (100 + 51) / 2
    interleaved[2047] = 51;
    ASSERT_EQ(parse(canonicalWav(interleaved, 2)), WavStatus::Ok);
    ASSERT_EQ(table.sampleCount, 1024u);
    for (size_t f = 0; f < std::size(frames); ++f) EXPECT_EQ(table.samples[f], frames[f][2]) << "frame " << f;
    EXPECT_EQ(table.samples[1023], 75);
}

TEST_F(WavReader, MoreThanTwoChannelsAverageTheWholeFrame) {
    // 3 channels; the 2 trailing values make no whole frame and are not read.
    const std::vector<int16_t> interleaved = {1, 2, 4, -1, -1, -2, 32767, 32767, 32767, -32768, -32768, -32767, 9, 9};
    ASSERT_EQ(parse(canonicalWav(interleaved, 3)), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), (std::vector<int16_t>{2, -1, 32767, -32767}));
}

TEST_F(WavReader, OddDataSizeIgnoresTheLastByte) {
    std::vector<uint8_t> data = sampleBytes(ramp(1024));
    data.push_back(0x7F);  // D = 2049
    ASSERT_EQ(parse(wavFileBytes(data, WavLayout{})), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), ramp(1024));
}

TEST_F(WavReader, SampleRateHasNoEffect) {
    WavLayout slow;
    slow.sampleRate = 8000;
    WavLayout fast;
    fast.sampleRate = 192000;
    const std::vector<uint8_t> data = sampleBytes(ramp(600));
    ASSERT_EQ(parse(wavFileBytes(data, slow)), WavStatus::Ok);
    const std::vector<int16_t> fromSlow = samplesOf(table);
    ASSERT_EQ(parse(wavFileBytes(data, fast)), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), fromSlow);
    EXPECT_EQ(fromSlow, ramp(600));
}

// --- Files as audio editors write them ---------------------------------------

TEST_F(WavReader, FindsTheDataBehindOtherChunks) {
    WavLayout layout;
    layout.beforeData = {Chunk{"LIST", {'I', 'N', 'F', 'O', 'a', 'b', 'c'}},  // odd: padded
                         Chunk{"fact", {0x58, 0x02, 0, 0}}};
    ASSERT_EQ(parse(wavFileBytes(sampleBytes(ramp(600)), layout)), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), ramp(600));
}

TEST_F(WavReader, IgnoresChunksAfterTheData) {
    std::vector<uint8_t> data = sampleBytes(ramp(600));
    data.push_back(0x11);  // odd data size, so a pad byte precedes the next chunk
    WavLayout layout;
    layout.afterData = {Chunk{"smpl", std::vector<uint8_t>(36, 0xAA)}, Chunk{"LIST", {1, 2, 3}}};
    ASSERT_EQ(parse(wavFileBytes(data, layout)), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), ramp(600));
}

TEST_F(WavReader, AcceptsALongerFmtChunk) {
    for (uint32_t extra : {2u, 24u}) {  // 18- and 40-byte fmt chunks
        WavLayout layout;
        layout.fmtExtraBytes = extra;
        layout.channels = 2;
        ASSERT_EQ(parse(wavFileBytes(sampleBytes({10, 20, -10, -21}), layout)), WavStatus::Ok) << extra;
        EXPECT_EQ(samplesOf(table), (std::vector<int16_t>{15, -15})) << extra;
    }
}

// --- Formats we refuse --------------------------------------------------------

TEST_F(WavReader, RefusesAnythingButSixteenBitPcm) {
    struct Case {
        const char* what;
        uint16_t formatTag, bits, channels;
    };
    const Case cases[] = {
        {"8-bit", 1, 8, 1},      {"24-bit", 1, 24, 1},         {"32-bit", 1, 32, 1},
        {"32-bit float", 3, 32, 1},
        {"16-bit float tag", 3, 16, 1}, {"extensible", 0xFFFE, 16, 2}, {"no channels", 1, 16, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WavLayout layout;
        layout.formatTag = c.formatTag;
        layout.bitsPerSample = c.bits;
        layout.channels = c.channels;
        expectRefused(wavFileBytes(sampleBytes(ramp(600)), layout), WavStatus::Unsupported);
    }
}

// --- Broken files ---------------------------------------------------------------

TEST_F(WavReader, RefusesFilesThatAreNotRiffWave) {
    std::vector<uint8_t> riffx = canonicalWav(ramp(8));
    riffx[3] = 'X';
    std::vector<uint8_t> avi = canonicalWav(ramp(8));
    std::memcpy(avi.data() + 8, "AVI ", 4);
    const std::string text = "hello, this is not a sound file at all";
    expectRefused(riffx, WavStatus::NotWav);
    expectRefused(avi, WavStatus::NotWav);
    expectRefused({text.begin(), text.end()}, WavStatus::NotWav);
    expectRefused({}, WavStatus::NotWav);
}

TEST_F(WavReader, RefusesAHeaderCutShortAnywhere) {
    const std::vector<uint8_t> whole = canonicalWav(ramp(8));
    for (size_t length = 1; length < 46; ++length) {
        SCOPED_TRACE(length);
        // Ends inside "RIFF" it can't be recognised; ending exactly where a chunk
        // would start, the chunk is simply missing; one byte of data is no frame.
        const WavStatus expected = length < 4     ? WavStatus::NotWav
                                   : length == 12 ? WavStatus::NoFormat
                                   : length == 36 ? WavStatus::NoData
                                   : length >= 44 ? WavStatus::NoSamples
                                                  : WavStatus::CutShort;
        expectRefused({whole.begin(), whole.begin() + static_cast<long>(length)}, expected);
    }
}

TEST_F(WavReader, ReadsOnlyTheWholeFramesPresentWhenTheDataIsCut) {
    std::vector<uint8_t> mono = canonicalWav(ramp(600));
    mono.resize(44 + 1001);  // 500 samples and a half
    ASSERT_EQ(parse(mono), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), ramp(500));

    std::vector<uint8_t> stereo = canonicalWav(std::vector<int16_t>(1200, -4), 2);
    stereo.resize(44 + 1003);  // 250 whole frames
    ASSERT_EQ(parse(stereo), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), std::vector<int16_t>(250, -4));
}

TEST_F(WavReader, AHugeClaimedSizeIsBoundedByTheFile) {
    WavLayout layout;
    layout.overrideDataSize = true;
    layout.claimedDataSize = 0xFFFFFFFF;
    ASSERT_EQ(parse(wavFileBytes(sampleBytes(ramp(600)), layout)), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), ramp(600));
}

TEST_F(WavReader, AChunkClaimingMoreThanTheFileIsNotSkippedOver) {
    WavLayout hidden;
    hidden.beforeData = {Chunk{"LIST", {1, 2, 3, 4}}};
    std::vector<uint8_t> bytes = wavFileBytes(sampleBytes(ramp(600)), hidden);
    const uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(bytes.data() + 40, huge, 4);  // the LIST chunk's size
    expectRefused(bytes, WavStatus::CutShort);
}

TEST_F(WavReader, RefusesAFileWithoutAFmtChunk) {
    std::vector<uint8_t> bytes = canonicalWav(ramp(600));
    std::memcpy(bytes.data() + 12, "junk", 4);
    expectRefused(bytes, WavStatus::NoFormat);
}

TEST_F(WavReader, RefusesAFileWithoutADataChunk) {
    std::vector<uint8_t> bytes = canonicalWav(ramp(600));
    std::memcpy(bytes.data() + 36, "dat4", 4);
    expectRefused(bytes, WavStatus::NoData);

    WavLayout layout;
    layout.beforeData = {Chunk{"LIST", {1, 2, 3}}};
    std::vector<uint8_t> onlyChunks = wavFileBytes({}, layout);
    onlyChunks.resize(onlyChunks.size() - 8);  // drop the empty data chunk
    expectRefused(onlyChunks, WavStatus::NoData);
}

TEST_F(WavReader, RefusesDataWithoutAWholeFrame) {
    expectRefused(canonicalWav({}), WavStatus::NoSamples);
    expectRefused(wavFileBytes({0x01}, WavLayout{}), WavStatus::NoSamples);
    WavLayout stereo;
    stereo.channels = 2;
    expectRefused(wavFileBytes({0x01, 0x02, 0x03}, stereo), WavStatus::NoSamples);
}

// --- Messages -------------------------------------------------------------------

TEST(WavStatusMessage, TheTwoClassicMessagesAreExact) {
    EXPECT_STREQ(wavStatusMessage(WavStatus::CantOpen), "Error: could not open wav file.\n");
    EXPECT_STREQ(wavStatusMessage(WavStatus::Unsupported), "Error: only 16-bit PCM wav files are supported.\n");
    EXPECT_STREQ(wavStatusMessage(WavStatus::Ok), "");
}

TEST(WavStatusMessage, EveryFailureHasItsOwnErrorLine) {
    const WavStatus failures[] = {WavStatus::CantOpen, WavStatus::Unsupported, WavStatus::NotWav, WavStatus::CutShort,
                                  WavStatus::NoFormat, WavStatus::NoData,      WavStatus::NoSamples};
    std::vector<std::string> seen;
    for (WavStatus status : failures) {
        const std::string message = wavStatusMessage(status);
        EXPECT_EQ(message.rfind("Error: ", 0), 0u) << message;
        EXPECT_EQ(message.back(), '\n') << message;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), message), 0) << message;
        seen.push_back(message);
    }
}

// --- Files on disk ----------------------------------------------------------------

TEST_F(WavReader, LoadsAFileFromDisk) {
    ScopedTempDir dir("wav_reader_test_");
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.file("ramp.wav");
    ASSERT_TRUE(wavgen::writeFileBytes(path, canonicalWav(ramp(600))));
    ASSERT_EQ(loadWaveTable(path.c_str(), table), WavStatus::Ok);
    EXPECT_EQ(samplesOf(table), ramp(600));
}

TEST_F(WavReader, AMissingFileOrADirectoryCannotBeOpened) {
    ScopedTempDir dir("wav_reader_test_");
    ASSERT_FALSE(dir.path.empty());
    const std::string missing = dir.file("missing.wav");
    const int16_t* before = table.samples;
    EXPECT_EQ(loadWaveTable(missing.c_str(), table), WavStatus::CantOpen);
    EXPECT_EQ(loadWaveTable(dir.path.c_str(), table), WavStatus::CantOpen);
    EXPECT_EQ(table.samples, before);
    EXPECT_EQ(samplesOf(table), previous);
}

TEST(WavReaderSharedFiles, EveryRealWaveformLoadsWith600Frames) {
    const std::filesystem::path folder = NETTRAINER_SHARED_WAVEFORMS;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) GTEST_SKIP() << "no folder " << folder;
    int loaded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string extension = entry.path().extension().string();
        for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension != ".wav") continue;
        WaveTable table;
        EXPECT_EQ(loadWaveTable(entry.path().string().c_str(), table), WavStatus::Ok) << entry.path();
        EXPECT_EQ(table.sampleCount, 600u) << entry.path();
        releaseWaveTable(table);
        ++loaded;
    }
    EXPECT_GT(loaded, 0);
}

}  // namespace
