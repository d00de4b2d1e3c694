// Every way a run can end early, or be held up, gives the terminal back as
// the trainer found it, and broken output or a full disk neither hangs the
// run nor costs the user a model file.

#include <sys/resource.h>

#include <algorithm>

#include "e2e/run_driver.h"

using namespace e2e;

namespace {

// Starts a run in a terminal and brings it to the command menu of a fresh
// model of size 4 (quick to train even in the sanitizer build).
void reachCommandMenu(PtyRun& run) {
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.waitFor(kMenuHeading));
    ASSERT_TRUE(run.sendKeys("0"));
    ASSERT_TRUE(run.waitFor("Size: "));
    ASSERT_TRUE(run.sendLine("4"));
    ASSERT_TRUE(run.waitFor(kCommandMenu));
}

// A disk with room for 200 more bytes: a bigger write fails with EFBIG
// instead of the signal that would end the process.
void fillTheDiskAfter200Bytes() {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{200, 200};
    setrlimit(RLIMIT_FSIZE, &limit);
}

void ignoreHangUps() { signal(SIGHUP, SIG_IGN); }

}  // namespace

// ------------------------------------------------- signals during a burst ----

class DuringABurst : public ::testing::TestWithParam<int> {};

TEST_P(DuringABurst, TheSignalEndsTheRunAndTheTerminalIsGivenBack) {
    const int signalNumber = GetParam();
    RunFolder folder;
    folder.addSine("sine.wav");
    PtyRun run(folder);
    reachCommandMenu(run);
    ASSERT_TRUE(run.sendKeys("4"));
    ASSERT_TRUE(run.waitFor("Epoch 3 / 5000:"));
    if (signalNumber == SIGINT) {
        ASSERT_TRUE(run.type("\x03"));  // Ctrl+C, typed while the burst prints
    } else {
        kill(run.pid, signalNumber);
    }
    const Finished done = run.finish();
    ASSERT_FALSE(done.timedOut);
    EXPECT_FALSE(done.exited);
    EXPECT_EQ(done.signal, signalNumber);
    EXPECT_TRUE(run.givenBack());
}

INSTANTIATE_TEST_SUITE_P(CtrlCAndTerm, DuringABurst, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "Interrupt" : "Terminate");
                         });

// ------------------------------------------------ the terminal goes away ----

TEST(TerminalHungUp, AtAKeyWaitTheRunEndsOfTheHangUp) {
    RunFolder folder;
    folder.addSine("sine.wav");
    PtyRun run(folder);
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.waitFor(kMenuHeading));
    ASSERT_TRUE(run.sendKeys(""));  // waits for single-key mode
    const Finished done = run.hangUp();
    ASSERT_FALSE(done.timedOut);
    EXPECT_FALSE(done.exited);
    EXPECT_EQ(done.signal, SIGHUP);
}

// Started like nohup: the closed terminal is only the end of input, and the
// exit path's key read meets it too instead of waiting or spinning.
TEST(TerminalHungUp, WithHangUpsIgnoredAKeyWaitMeetsTheEndOfInputAndEndsWithStatusOne) {
    RunFolder folder;
    folder.addSine("sine.wav");
    PtyRun run(folder, ignoreHangUps);
    reachCommandMenu(run);
    ASSERT_TRUE(run.sendKeys(""));
    const Finished done = run.hangUp();
    ASSERT_FALSE(done.timedOut);
    EXPECT_TRUE(done.exited);
    EXPECT_EQ(done.status, 1);
}

// ----------------------------------------------------------------- Ctrl+Z ----

TEST(CtrlZ, AStoppedKeyWaitLeavesTheTerminalAsFoundAndTakesSingleKeysAgainWhenContinued) {
    RunFolder folder;
    folder.addSine("sine.wav");
    PtyRun run(folder, nullptr, Session::UnderAShell);
    ASSERT_GT(run.trainer, 0);
    ASSERT_TRUE(run.waitFor(kMenuHeading));
    while (!run.inKeyMode()) ASSERT_TRUE(run.pump(10));
    ASSERT_TRUE(run.waitUntilAsleep());
    ASSERT_TRUE(run.sendKeys("\x1a"));  // Ctrl+Z, typed at the waveform menu
    ASSERT_TRUE(run.waitForStop());
    EXPECT_TRUE(run.givenBack()) << "the shell got the terminal in single-key mode";

    kill(-run.trainer, SIGCONT);  // what fg does, the terminal still the job's
    ASSERT_TRUE(run.sendKeys("0"));
    ASSERT_TRUE(run.waitFor("Size: "));
    // No echoed '0' between the menu and the goal plot.
    EXPECT_NE(run.output.find("0) sine.wav   \n\n+---"), std::string::npos);
    ASSERT_TRUE(run.sendLine("4"));
    ASSERT_TRUE(run.waitFor(kCommandMenu));
    ASSERT_TRUE(run.sendKeys("q"));
    ASSERT_TRUE(run.waitFor(kExitPrompt));
    ASSERT_TRUE(run.sendKeys("k"));
    const Finished done = run.finish();
    ASSERT_FALSE(done.timedOut);
    EXPECT_TRUE(done.exited);
    EXPECT_EQ(done.status, 0);
    EXPECT_TRUE(run.givenBack());
}

// The line being typed is not taken as the end of input after a stop.
TEST(CtrlZ, AStoppedSizePromptStillReadsTheLineTypedAfterContinuing) {
    RunFolder folder;
    folder.addSine("sine.wav");
    PtyRun run(folder, nullptr, Session::UnderAShell);
    ASSERT_GT(run.trainer, 0);
    ASSERT_TRUE(run.waitFor(kMenuHeading));
    ASSERT_TRUE(run.sendKeys("0"));
    ASSERT_TRUE(run.waitFor("Size: "));
    ASSERT_TRUE(run.waitUntilAsleep());
    ASSERT_TRUE(run.type("\x1a"));
    ASSERT_TRUE(run.waitForStop());
    EXPECT_TRUE(run.givenBack());
    kill(-run.trainer, SIGCONT);
    ASSERT_TRUE(run.sendLine("4"));
    ASSERT_TRUE(run.waitFor(kCommandMenu));
    EXPECT_NE(run.output.find("Initialized random 4 model.\n"), std::string::npos);
    ASSERT_TRUE(run.sendKeys("q"));
    ASSERT_TRUE(run.waitFor(kExitPrompt));
    ASSERT_TRUE(run.sendKeys("k"));
    const Finished done = run.finish();
    ASSERT_FALSE(done.timedOut);
    EXPECT_EQ(done.status, 0);
}

// ------------------------------------------------------- nobody listening ----

TEST(OutputToAClosedPipe, TrainingGoesOnAndTheEndOfInputEndsTheRunWithStatusOne) {
    RunFolder folder;
    folder.addSine("sine.wav");
    const Finished run = runThroughPipe(folder, "04\n2", nullptr, Output::NobodyReads);
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
}

// The output is only a view of the run: a save the input asks for is made.
TEST(OutputToAClosedPipe, ASaveIsStillWrittenAndEndsTheRunWithStatusZero) {
    RunFolder folder;
    folder.addSine("sine.wav");
    const Finished run = runThroughPipe(folder, "04\n2slead.net\nk", nullptr, Output::NobodyReads);
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fileBytes(folder.path / "lead.net").size(), 71u);
}

// ---------------------------------------------------------------- full disk ----

TEST(AFullDisk, TheSaveFailsKeepingTheModelAndTheOldFileAndLeavingNoPartialFile) {
    RunFolder folder;
    folder.addSine("sine.wav");
    const std::string previous = "a model saved on another day";
    std::ofstream(folder.path / "lead.net", std::ios::binary) << previous;
    const Finished run = runThroughPipe(folder, "0\n1slead.net\n1q", fillTheDiskAfter200Bytes);
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("Wav is: sine.wav\n" + failedSave(folder.dir() + "lead.net") + kCommandMenu +
                              "Epoch 2 / 2:"),
              std::string::npos);
    EXPECT_TRUE(endsWith(run.output, kLegend + kCommandMenu + kExitPrompt));
    EXPECT_EQ(fileBytes(folder.path / "lead.net"), std::vector<uint8_t>(previous.begin(), previous.end()));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"lead.net", "nettrainer", "sine.wav"}));
}
