#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "app/trainer.h"
#include "nn/model_file.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct ScratchFolder {
    ScopedTempDir dir{"nettrainer-app-"};
    fs::path path{dir.path};
};

std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// A small initialized network "4" (71-byte model file).
struct SmallNetwork {
    Network net;
    SmallNetwork() {
        buildNetwork(net, parseModelSize("4"));
        Pcg32 rng;
        seedFromClock(rng, 1234);
        initializeNetwork(net, rng);
    }
    ~SmallNetwork() { releaseNetwork(net); }
};

}  // namespace

TEST(NoteAfterABurst, NeverBeforeOneThousandEpochs) {
    EXPECT_FALSE(noteIsDue(0, 100.0f));
    EXPECT_FALSE(noteIsDue(999, 100.0f));
    EXPECT_FALSE(noteIsDue(999, std::numeric_limits<float>::infinity()));
}

TEST(NoteAfterABurst, FromOneThousandEpochsOnlyForAnErrorAboveFivePercent) {
    EXPECT_FALSE(noteIsDue(1000, 5.0f));
    EXPECT_TRUE(noteIsDue(1000, std::nextafter(5.0f, 6.0f)));
    EXPECT_TRUE(noteIsDue(1999, 5.01f));
    EXPECT_FALSE(noteIsDue(1999, 0.5f));
    EXPECT_FALSE(noteIsDue(1500, std::numeric_limits<float>::quiet_NaN()));
}

TEST(NoteAfterABurst, FromTwoThousandEpochsAlwaysWhateverTheError) {
    EXPECT_TRUE(noteIsDue(2000, 0.0f));
    EXPECT_TRUE(noteIsDue(2000, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_TRUE(noteIsDue(5000, 0.01f));
}

TEST(CommandKeys, DigitsOneToFourTrainBurstsOthersNone) {
    EXPECT_EQ(epochsForKey('1'), 1);
    EXPECT_EQ(epochsForKey('2'), 100);
    EXPECT_EQ(epochsForKey('3'), 1000);
    EXPECT_EQ(epochsForKey('4'), 5000);
    for (int key : {'0', '5', '9', 'n', 's', 'q', ' ', '\n'}) EXPECT_EQ(epochsForKey(key), 0) << key;
}

TEST(ModelPath, TheNewlineOfTheTypedLineIsRemoved) {
    EXPECT_EQ(modelPathForLine("/d/", "lead.net\n"), "/d/lead.net");
}

TEST(ModelPath, OnlyTheLastCharacterIsEverRemoved) {
    EXPECT_EQ(modelPathForLine("/d/", "lead.net \n"), "/d/lead.net ");
    EXPECT_EQ(modelPathForLine("/d/", "lead.net  "), "/d/lead.net ");
    EXPECT_EQ(modelPathForLine("/d/", "lead.net\r\n"), "/d/lead.net\r");
    EXPECT_EQ(modelPathForLine("/d/", "lead.net\r"), "/d/lead.net");
    EXPECT_EQ(modelPathForLine("/d/", "lead.net\t"), "/d/lead.net\t");
    EXPECT_EQ(modelPathForLine("/d/", "lead"), "/d/lead");
}

TEST(ModelPath, AnEmptyLineLeavesTheFolderItself) {
    EXPECT_EQ(modelPathForLine("/d/", "\n"), "/d/");
    EXPECT_EQ(modelPathForLine("/d/", ""), "/d/");
}

TEST(ModelPath, ALineCutAtSeventyEightCharactersLosesOnlyATrailingSpace) {
    const std::string cutWithSpace = std::string(77, 'x') + " ";
    EXPECT_EQ(modelPathForLine("/d/", cutWithSpace.c_str()), "/d/" + std::string(77, 'x'));
    const std::string cut(78, 'x');
    EXPECT_EQ(modelPathForLine("/d/", cut.c_str()), "/d/" + cut);
}

TEST(PathBeside, APathBeyondTheLimitIsRefusedNotCut) {
    std::string path;
    // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) about "/" + std::string(...).
    const std::string dir = std::string("/").append(200, 'd').append("/");
    EXPECT_TRUE(buildPathBeside(dir, std::string(kMaxPathLength - dir.size(), 'n').c_str(), path));
    EXPECT_EQ(path.size(), kMaxPathLength);
    EXPECT_FALSE(buildPathBeside(dir, std::string(kMaxPathLength - dir.size() + 1, 'n').c_str(), path));
}

TEST(SafeModelWrite, WritesTheModelBytesAndLeavesNoPartialFile) {
    ScratchFolder folder;
    ASSERT_FALSE(folder.path.empty());
    SmallNetwork network;
    const fs::path target = folder.path / "lead.net";
    ASSERT_TRUE(writeModelFileSafely(network.net, target.string()));
    EXPECT_EQ(fileBytes(target), modelFileBytes(network.net));
    EXPECT_EQ(fileBytes(target).size(), 71u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);
}

TEST(SafeModelWrite, ReplacesAnExistingFileAfterACompleteWrite) {
    ScratchFolder folder;
    ASSERT_FALSE(folder.path.empty());
    SmallNetwork network;
    const fs::path target = folder.path / "lead.net";
    writeText(target, "an older model");
    ASSERT_TRUE(writeModelFileSafely(network.net, target.string()));
    EXPECT_EQ(fileBytes(target), modelFileBytes(network.net));
}

TEST(SafeModelWrite, FailsInAMissingFolderOrBelowAFile) {
    ScratchFolder folder;
    ASSERT_FALSE(folder.path.empty());
    SmallNetwork network;
    EXPECT_FALSE(writeModelFileSafely(network.net, (folder.path / "missing" / "lead.net").string()));
    writeText(folder.path / "plain", "not a folder");
    EXPECT_FALSE(writeModelFileSafely(network.net, (folder.path / "plain" / "lead.net").string()));
    EXPECT_EQ(fileBytes(folder.path / "plain"), bytesOf("not a folder"));
}

TEST(SafeModelWrite, AnExistingModelSurvivesAWriteThatCantStart) {
    // Root ignores permission bits; a folder where the partial file would go
    // makes the write fail for anyone.
    ScratchFolder folder;
    ASSERT_FALSE(folder.path.empty());
    SmallNetwork network;
    const fs::path target = folder.path / "lead.net";
    writeText(target, "the good model");
    fs::create_directory(folder.path / "lead.net.partial");
    EXPECT_FALSE(writeModelFileSafely(network.net, target.string()));
    EXPECT_EQ(fileBytes(target), bytesOf("the good model"));
}

TEST(SafeModelWrite, ATargetThatCantBeReplacedFailsAndLeavesNoPartialFile) {
    ScratchFolder folder;
    ASSERT_FALSE(folder.path.empty());
    SmallNetwork network;
    const fs::path target = folder.path / "lead.net";
    fs::create_directory(target);
    writeText(target / "inside", "keep");
    EXPECT_FALSE(writeModelFileSafely(network.net, target.string()));
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(fileBytes(target / "inside"), bytesOf("keep"));
    EXPECT_FALSE(fs::exists(folder.path / "lead.net.partial"));
}
