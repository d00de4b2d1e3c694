// The built trainer's dialogue, through a pipe and in a pseudo-terminal.

#include <ctime>

#include "e2e/run_driver.h"
#include "nn/model_file.h"
#include "nn/network.h"
#include "nn/pcg32.h"
#include "wave/training_set.h"
#include "wave/wav_reader.h"

using namespace e2e;

namespace {

// The (epoch, end count) of every progress line, checking each line's form.
std::vector<std::pair<int, int>> progressLines(const std::string& output) {
    std::vector<std::pair<int, int>> epochs;
    for (const std::string& line : linesOf(output)) {
        if (line.rfind("Epoch ", 0) != 0) continue;
        int epoch = 0, endCount = 0;
        double error = 0.0;
        EXPECT_EQ(std::sscanf(line.c_str(), "Epoch %d / %d:  Total Error: %lf%%", &epoch, &endCount, &error), 3);
        char reprinted[128];
        std::snprintf(reprinted, sizeof reprinted, "Epoch %d / %d:  Total Error: %.2f%%", epoch, endCount, error);
        EXPECT_EQ(line, reprinted);
        epochs.emplace_back(epoch, endCount);
    }
    return epochs;
}

std::vector<std::pair<int, int>> numbered(int first, int last, int endCount) {
    std::vector<std::pair<int, int>> epochs;
    for (int e = first; e <= last; ++e) epochs.emplace_back(e, endCount);
    return epochs;
}

// Every plot in the output: its 20 lines are 79 characters between two
// borders, the newlines written one way and the rows another still in order.
int checkedPlotCount(const std::string& output) {
    const std::string border = "+" + std::string(77, '-') + "+";
    const std::vector<std::string> lines = linesOf(output);
    int plots = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != border) continue;
        if (i + 19 >= lines.size()) {
            ADD_FAILURE() << "plot cut short";
            break;
        }
        for (size_t r = i + 1; r < i + 19; ++r) {
            EXPECT_EQ(lines[r].size(), 79u) << "plot row: " << lines[r];
            EXPECT_TRUE(lines[r].front() == '|' && lines[r].back() == '|') << lines[r];
        }
        EXPECT_EQ(lines[i + 19], border);
        ++plots;
        i += 19;
    }
    return plots;
}

}  // namespace

// ---------------------------------------------------------------- pipe ----

TEST(ThroughAPipe, ListsTheWavFilesSortedRegardlessOfCaseAndEndsAtTheEndOfInput) {
    RunFolder folder;
    folder.addSine("sine.wav");
    folder.addSine("saw.wav");
    folder.addSine("Square.WAV");
    std::ofstream(folder.path / "notes.txt") << "not a waveform";
    const Finished run = runThroughPipe(folder, "");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.output, kBanner + kMenuHeading +
                              "0) saw.wav      1) sine.wav     2) Square.WAV   \n\n" + kExitPrompt);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
}

TEST(ThroughAPipe, IgnoredKeysPrintNothingAndQuitEndsWithStatusZero) {
    RunFolder folder;
    folder.addSine("a.wav");
    folder.addSine("sine.wav");
    // At the waveform menu: letters beyond the list, Escape, punctuation and
    // Enter; at the command menu: 'x', a space and '9' before 'Q'.
    const Finished run = runThroughPipe(folder, "x.\x1b\n9c1\nx 9Qk");
    ASSERT_FALSE(run.timedOut);
    const std::string menu = "0) a.wav      1) sine.wav   \n\n";
    ASSERT_EQ(run.output.substr(0, kBanner.size() + kMenuHeading.size() + menu.size()),
              kBanner + kMenuHeading + menu);
    const std::string afterMenu = run.output.substr(kBanner.size() + kMenuHeading.size() + menu.size());
    EXPECT_EQ(afterMenu.rfind("+---", 0), 0u) << "something came between the menu and the plot";
    EXPECT_EQ(occurrences(run.output, kSizePrompt + "Initialized random 8x8x8 model.\n"), 1u);
    EXPECT_EQ(checkedPlotCount(run.output), 2);
    EXPECT_TRUE(endsWith(run.output, kLegend + kCommandMenu + kExitPrompt));
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
}

TEST(ThroughAPipe, AWholeRunTrainsTwoBurstsAndSavesTheModel) {
    RunFolder folder;
    folder.addSine("sine.wav");
    const Finished run = runThroughPipe(folder, "0\n12Slead.net\nk");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);

    auto expectedEpochs = numbered(1, 1, 1);
    const auto second = numbered(2, 101, 101);
    expectedEpochs.insert(expectedEpochs.end(), second.begin(), second.end());
    EXPECT_EQ(progressLines(run.output), expectedEpochs);
    EXPECT_EQ(checkedPlotCount(run.output), 4);
    EXPECT_EQ(occurrences(run.output, kLegend), 3u);
    EXPECT_EQ(occurrences(run.output, kLegend + kCommandMenu), 3u);
    EXPECT_EQ(occurrences(run.output, "Note:"), 0u);

    const std::string path = folder.dir() + "lead.net";
    EXPECT_TRUE(endsWith(run.output, kCommandMenu +
                                         "Model filename? (should end with .net)     Wav is: sine.wav\n" +
                                         savedModel(path) + kExitPrompt));
    const std::vector<uint8_t> model = fileBytes(path);
    ASSERT_EQ(model.size(), 705u);
    const std::vector<uint8_t> header = {5, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(model.begin(), model.begin() + 24), header);
    EXPECT_EQ(std::vector<uint8_t>(model.end() - 5, model.end()), std::vector<uint8_t>({1, 1, 1, 1, 0}));
}

TEST(ThroughAPipe, TheSavedModelIsTheNetworkTheRunBuiltFromItsSeed) {
    RunFolder folder;
    folder.addSine("sine.wav");
    const int64_t before = std::time(nullptr);
    const Finished run = runThroughPipe(folder, "04\nsfour.net\nk");
    const int64_t after = std::time(nullptr);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("Initialized random 4 model.\n"), std::string::npos);
    const std::vector<uint8_t> saved = fileBytes(folder.path / "four.net");
    ASSERT_EQ(saved.size(), 71u);

    // The run seeded from the clock somewhere in [before, after]: replay its
    // draws for each of those seconds.
    WaveTable table;
    ASSERT_EQ(loadWaveTable((folder.path / "sine.wav").c_str(), table), WavStatus::Ok);
    bool matched = false;
    for (int64_t seed = before; seed <= after && !matched; ++seed) {
        Pcg32 rng;
        seedFromClock(rng, seed);
        TrainingSet set;
        ASSERT_TRUE(drawTrainingSet(set, table, rng));
        Network net;
        ASSERT_TRUE(buildNetwork(net, parseModelSize("4\n")));
        initializeNetwork(net, rng);
        matched = modelFileBytes(net) == saved;
        releaseNetwork(net);
        releaseTrainingSet(set);
    }
    releaseWaveTable(table);
    EXPECT_TRUE(matched);
}

TEST(ThroughAPipe, NewModelRestartsTheEpochNumbers) {
    RunFolder folder;
    folder.addSine("sine.wav");
    const Finished run = runThroughPipe(folder, "0\n1n04\n1q\n");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(progressLines(run.output), (std::vector<std::pair<int, int>>{{1, 1}, {1, 1}}));
    EXPECT_EQ(occurrences(run.output, kMenuHeading), 2u);
    EXPECT_NE(run.output.find("Initialized random 8x8x8 model.\n"), std::string::npos);
    EXPECT_NE(run.output.find("Initialized random 4 model.\n"), std::string::npos);
    EXPECT_EQ(checkedPlotCount(run.output), 6);
}

TEST(ThroughAPipe, AFailedSaveKeepsTheModelAndASecondSaveWorks) {
    RunFolder folder;
    folder.addSine("sine.wav");
    // An empty name names the folder itself.
    const Finished run = runThroughPipe(folder, "0\n1S\n1Sgood.net\nk");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("Wav is: sine.wav\n" + failedSave(folder.dir()) + kCommandMenu + "Epoch 2 / 2:"),
              std::string::npos);
    EXPECT_EQ(progressLines(run.output), (std::vector<std::pair<int, int>>{{1, 1}, {2, 2}}));
    EXPECT_TRUE(endsWith(run.output, savedModel(folder.dir() + "good.net") + kExitPrompt));
    EXPECT_EQ(fileBytes(folder.path / "good.net").size(), 705u);
}

// The end of input at the name prompt, then again at the command menu.
TEST(ThroughAPipe, TheEndOfInputAtTheNamePromptIsAFailedSaveThenTheRunEnds) {
    RunFolder folder;
    folder.addSine("sine.wav");
    const Finished run = runThroughPipe(folder, "0\ns");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(endsWith(run.output, "Wav is: sine.wav\n" + failedSave(folder.dir()) + kCommandMenu + kExitPrompt));
    EXPECT_EQ(run.status, 1);
}

TEST(ThroughAPipe, TheRestOfAnOverlongNameIsNotTakenAsKeys) {
    RunFolder folder;
    folder.addSine("sine.wav");
    // The save fails (no such folder); the '1's past the 78th character must
    // not start training.
    const std::string name = "missing/" + std::string(80, 'x') + "1111";
    const Finished run = runThroughPipe(folder, "0\ns" + name + "\nqk");
    ASSERT_FALSE(run.timedOut);
    const std::string cutPath = folder.dir() + name.substr(0, 78);
    EXPECT_NE(run.output.find(failedSave(cutPath) + kCommandMenu + kExitPrompt), std::string::npos);
    EXPECT_EQ(occurrences(run.output, "Epoch"), 0u);
    EXPECT_EQ(run.status, 0);
}

TEST(ThroughAPipe, AnUnsupportedFileEndsTheRunWithStatusOne) {
    RunFolder folder;
    folder.addEightBit("bad.wav");
    const Finished run = runThroughPipe(folder, "0k");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.output, kBanner + kMenuHeading + "0) bad.wav   \n\n" + kUnsupported + kExitPrompt);
    EXPECT_EQ(run.status, 1);
}

TEST(ThroughAPipe, AnUnsupportedFileChosenAfterNewModelEndsTheRunWithStatusOne) {
    RunFolder folder;
    folder.addEightBit("bad.wav");
    folder.addSine("sine.wav");
    const Finished run = runThroughPipe(folder, "1\nn0k");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(endsWith(run.output, kMenuHeading + "0) bad.wav    1) sine.wav   \n\n" + kUnsupported + kExitPrompt));
    EXPECT_EQ(run.status, 1);
}

TEST(ThroughAPipe, AFolderWithoutWavFilesIsReportedWithStatusOne) {
    RunFolder folder;
    const Finished run = runThroughPipe(folder, "k");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.output, kBanner + "No .wav files found beside the trainer in:\n  " + folder.dir() +
                              "\nPut single-cycle 16-bit PCM wav files there and start it again.\n" + kExitPrompt);
    EXPECT_EQ(run.status, 1);
}

// ----------------------------------------------------- pseudo-terminal ----

TEST(InATerminal, AWholeRunReadsSingleKeysWithoutEchoAndGivesTheTerminalBack) {
    RunFolder folder;
    folder.addSine("sine.wav");
    PtyRun run(folder);
    ASSERT_GT(run.pid, 0);

    ASSERT_TRUE(run.waitFor(kMenuHeading));
    // One write: both keys reach the trainer while it waits in single-key
    // mode. 'x' names no entry.
    ASSERT_TRUE(run.sendKeys("x0"));
    ASSERT_TRUE(run.waitFor("Size: "));
    EXPECT_EQ(run.output.substr(0, run.output.find("+---")),
              kBanner + kMenuHeading + "0) sine.wav   \n\n");
    ASSERT_TRUE(run.sendLine(""));
    ASSERT_TRUE(run.waitFor(kCommandMenu));
    ASSERT_TRUE(run.sendKeys("1"));
    ASSERT_TRUE(run.waitFor(kCommandMenu, 2));
    ASSERT_TRUE(run.sendKeys("2"));
    ASSERT_TRUE(run.waitFor(kCommandMenu, 3));
    ASSERT_TRUE(run.sendKeys("S"));
    ASSERT_TRUE(run.waitFor("Wav is: sine.wav\n"));
    ASSERT_TRUE(run.sendLine("lead.net"));
    ASSERT_TRUE(run.waitFor(kExitPrompt));
    ASSERT_TRUE(run.sendKeys("k"));
    const Finished done = run.finish();

    ASSERT_FALSE(done.timedOut);
    EXPECT_TRUE(done.exited);
    EXPECT_EQ(done.status, 0);
    const std::string path = folder.dir() + "lead.net";
    // The typed lines are echoed by the terminal; the keys are not.
    EXPECT_NE(done.output.find(kSizePrompt + "\nInitialized random 8x8x8 model.\n"), std::string::npos);
    EXPECT_TRUE(endsWith(done.output, "Wav is: sine.wav\nlead.net\n" + savedModel(path) + kExitPrompt));
    EXPECT_EQ(progressLines(done.output).size(), 101u);
    EXPECT_EQ(checkedPlotCount(done.output), 4);
    EXPECT_EQ(fileBytes(path).size(), 705u);
    const termios after = run.settings();
    EXPECT_EQ(after.c_lflag & ICANON, static_cast<tcflag_t>(ICANON));
    EXPECT_EQ(after.c_lflag & ECHO, static_cast<tcflag_t>(ECHO));
}

TEST(InATerminal, AnUnsupportedFileWaitsForOneKeyThenEndsWithStatusOne) {
    RunFolder folder;
    folder.addEightBit("bad.wav");
    PtyRun run(folder);
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.waitFor(kMenuHeading));
    ASSERT_TRUE(run.sendKeys("0"));
    ASSERT_TRUE(run.waitFor(kExitPrompt));
    while (!run.inKeyMode() && Clock::now() < run.deadline) run.pump(10);
    EXPECT_EQ(waitpid(run.pid, nullptr, WNOHANG), 0) << "ended before the key";
    ASSERT_TRUE(run.sendKeys("k"));
    const Finished done = run.finish();
    ASSERT_FALSE(done.timedOut);
    EXPECT_TRUE(endsWith(done.output, "0) bad.wav   \n\n" + kUnsupported + kExitPrompt));
    EXPECT_EQ(done.status, 1);
    EXPECT_TRUE(run.givenBack());
}

class InATerminalStopped : public ::testing::TestWithParam<int> {};

TEST_P(InATerminalStopped, ASignalDuringAKeyWaitGivesTheTerminalBack) {
    const int signalNumber = GetParam();
    RunFolder folder;
    folder.addSine("sine.wav");
    PtyRun run(folder);
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.waitFor(kMenuHeading));
    ASSERT_TRUE(run.sendKeys(""));  // waits for single-key mode
    EXPECT_TRUE(run.inKeyMode());
    if (signalNumber == SIGINT) {
        ASSERT_TRUE(run.sendKeys("\x03"));  // Ctrl+C, as typed
    } else {
        kill(run.pid, signalNumber);
    }
    const Finished done = run.finish();
    ASSERT_FALSE(done.timedOut);
    EXPECT_FALSE(done.exited);
    EXPECT_EQ(done.signal, signalNumber);
    const termios after = run.settings();
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

INSTANTIATE_TEST_SUITE_P(CtrlCTermAndHangUp, InATerminalStopped, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             if (info.param == SIGINT) return std::string("Interrupt");
                             return std::string(info.param == SIGTERM ? "Terminate" : "HangUp");
                         });
