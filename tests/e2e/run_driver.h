#pragma once

// Drives the built trainer as a user drives it: from a fresh folder holding
// its executable and generated WAV files, through a pipe (a script of keys and
// lines) and in a pseudo-terminal (single keys without echo). Every run has a
// watchdog, so a hang fails the test instead of blocking it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/wavgen.h"

namespace e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Generous: the sanitizer build trains a hundred epochs many times slower.
constexpr int kWatchdogSeconds = 180;

inline const std::string kBanner =
    "Vellumstorm Synth - Neural Net Model Trainer\n--------------------------------------------\n\n";
inline const std::string kMenuHeading = "Single-cycle waveform to train on?\n\n";
inline const std::string kSizePrompt =
    "Neural net model size? Larger models can learn more complex waveforms, \n"
    "but run / train slower.   Default: 8x8x8   Examples: 8x8x8x8x8  4  4x32x10x8\n\nSize: ";
inline const std::string kCommandMenu =
    "\n1) train 1 epoch   2) 100   3) 1000   4) 5000   n) new model  s) save  q) quit\n";
inline const std::string kLegend = "                 (+) goal     (#) current neural net output\n";
inline const std::string kExitPrompt = "\nPress any key to exit.\n";
inline const std::string kUnsupported = "Error: only 16-bit PCM wav files are supported.\n";

// A fresh folder with a copy of the trainer; removed with everything in it.
struct RunFolder {
    fs::path path;
    std::string exe;
    RunFolder() {
        char pattern[] = "/tmp/nettrainer-e2e-XXXXXX";
        path = fs::canonical(mkdtemp(pattern));
        exe = (path / "nettrainer").string();
        fs::copy_file(NETTRAINER_EXE, exe);
    }
    ~RunFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string dir() const { return path.string() + "/"; }
    void addSine(const std::string& name) {
        ASSERT_TRUE(wavgen::writeFileBytes((path / name).string(),
                                           wavgen::canonicalWav(wavgen::exampleShape("sine"))));
    }
    void addEightBit(const std::string& name) {
        wavgen::WavLayout layout;
        layout.bitsPerSample = 8;
        ASSERT_TRUE(wavgen::writeFileBytes((path / name).string(),
                                           wavgen::wavFileBytes(std::vector<uint8_t>(600, 128), layout)));
    }
};

struct Finished {
    std::string output;
    bool exited = false;
    int status = -1;      // exit status when exited
    int signal = 0;       // terminating signal otherwise
    bool timedOut = false;
};

// Run in the child just before it becomes the trainer: limits, ignored signals.
using ChildSetup = void (*)();

// The trainer starts with the signal handling a shell gives a foreground
// job, whatever this test process inherited, then with the test's changes.
inline void execTrainer(const std::string& exe, ChildSetup setup) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGPIPE, SIGTTIN, SIGTTOU}) {
        signal(signalNumber, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (setup != nullptr) setup();
    execl(exe.c_str(), "nettrainer", static_cast<char*>(nullptr));
    _exit(127);
}

inline void recordStatus(Finished& run, int waitStatus) {
    run.exited = WIFEXITED(waitStatus);
    if (run.exited) run.status = WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) run.signal = WTERMSIG(waitStatus);
}

// Waits for the child, killing it once the deadline has passed.
inline void reap(pid_t pid, Finished& run, Clock::time_point deadline) {
    int waitStatus = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &waitStatus, WNOHANG);
        if (done == pid) break;
        if (Clock::now() > deadline) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &waitStatus, 0);
            break;
        }
        usleep(10000);
    }
    recordStatus(run, waitStatus);
}

// Whether anyone reads what the trainer writes.
enum class Output { Collected, NobodyReads };

// Runs the trainer with `script` as its whole standard input and collects
// standard output and error until it ends (or, with Output::NobodyReads,
// closes their pipe before the trainer starts and just waits for it).
inline Finished runThroughPipe(const RunFolder& folder, const std::string& script, ChildSetup setup = nullptr,
                               Output output = Output::Collected) {
    Finished run;
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return run;
    if (output == Output::NobodyReads) close(fromChild[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        dup2(fromChild[1], STDERR_FILENO);
        close(toChild[0]);
        close(toChild[1]);
        if (output == Output::Collected) close(fromChild[0]);
        close(fromChild[1]);
        execTrainer(folder.exe, setup);
    }
    close(toChild[0]);
    close(fromChild[1]);
    // Scripts are far below the pipe's capacity: this write never waits for the child.
    EXPECT_EQ(write(toChild[1], script.data(), script.size()), static_cast<ssize_t>(script.size()));
    close(toChild[1]);

    const auto deadline = Clock::now() + std::chrono::seconds(kWatchdogSeconds);
    if (output == Output::NobodyReads) {
        reap(pid, run, deadline);
        return run;
    }
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd readable{fromChild[0], POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) continue;
        const ssize_t got = read(fromChild[0], buffer, sizeof buffer);
        if (got <= 0) break;
        run.output.append(buffer, static_cast<size_t>(got));
    }
    close(fromChild[0]);
    reap(pid, run, deadline);
    return run;
}

inline size_t occurrences(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
}

// Who leads the pseudo-terminal's session. With the trainer as the leader its
// process group has no parent in the session, and the kernel drops stop
// signals sent to it; under a shell it can be stopped and continued as a job.
enum class Session { TrainerLeads, UnderAShell };

// What the stand-in shell does: puts the trainer in a process group of its
// own in the foreground, tells the test its pid and each time it stops, and
// ends as the trainer ended.
[[noreturn]] inline void runShell(const std::string& exe, ChildSetup setup, int reports) {
    const pid_t trainer = fork();
    if (trainer == 0) {
        close(reports);
        setpgid(0, 0);
        signal(SIGTTOU, SIG_IGN);  // taking the foreground from the background
        tcsetpgrp(STDIN_FILENO, getpid());
        execTrainer(exe, setup);
    }
    setpgid(trainer, trainer);
    if (write(reports, &trainer, sizeof trainer) != static_cast<ssize_t>(sizeof trainer)) _exit(126);
    for (;;) {
        int waitStatus = 0;
        if (waitpid(trainer, &waitStatus, WUNTRACED) < 0) {
            if (errno == EINTR) continue;
            _exit(126);
        }
        if (WIFSTOPPED(waitStatus)) {
            const char stopped = 'S';
            if (write(reports, &stopped, 1) != 1) _exit(126);
        } else if (WIFEXITED(waitStatus)) {
            _exit(WEXITSTATUS(waitStatus));
        } else if (WIFSIGNALED(waitStatus)) {
            signal(WTERMSIG(waitStatus), SIG_DFL);
            raise(WTERMSIG(waitStatus));
            _exit(125);
        }
    }
}

// The trainer in a pseudo-terminal. Output is kept with the terminal's
// carriage returns removed.
struct PtyRun {
    int master = -1;
    pid_t pid = -1;      // the child forkpty started: the trainer, or the shell above it
    pid_t trainer = -1;
    int shellReports = -1;
    std::string output;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(kWatchdogSeconds);

    explicit PtyRun(const RunFolder& folder, ChildSetup setup = nullptr, Session session = Session::TrainerLeads) {
        int reports[2] = {-1, -1};
        if (session == Session::UnderAShell && pipe(reports) != 0) return;
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (session == Session::TrainerLeads) execTrainer(folder.exe, setup);
            close(reports[0]);
            runShell(folder.exe, setup, reports[1]);
        }
        trainer = pid;
        if (session == Session::UnderAShell) {
            close(reports[1]);
            shellReports = reports[0];
            trainer = -1;
            pid_t reported = -1;
            if (readReport(&reported, sizeof reported)) trainer = reported;
        }
    }
    ~PtyRun() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            if (trainer > 0 && trainer != pid) kill(trainer, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0) close(master);
        if (shellReports >= 0) close(shellReports);
    }

    // Reads what is there within `waitMs`; false once the terminal is closed.
    bool pump(int waitMs) {
        pollfd readable{master, POLLIN, 0};
        if (poll(&readable, 1, waitMs) <= 0) return true;
        char buffer[4096];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) return false;
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] != '\r') output += buffer[i];
        }
        return true;
    }

    // Reads until `text` has been printed `times` times.
    bool waitFor(const std::string& text, size_t times = 1) {
        while (occurrences(output, text) < times) {
            if (Clock::now() > deadline || !pump(50)) return false;
        }
        return true;
    }

    // The stand-in shell's next report, reading the terminal meanwhile.
    bool readReport(void* into, size_t size) {
        size_t got = 0;
        while (got < size && Clock::now() < deadline) {
            pollfd readable{shellReports, POLLIN, 0};
            if (poll(&readable, 1, 10) > 0) {
                const ssize_t part = read(shellReports, static_cast<char*>(into) + got, size - got);
                if (part <= 0) return false;
                got += static_cast<size_t>(part);
            } else if (master >= 0) {
                pump(0);
            }
        }
        return got == size;
    }
    // Waits until the trainer sleeps, which after a prompt means it is inside
    // its read, where a signal interrupts a system call. Where the process
    // table can't be read, there is nothing to wait for.
    bool waitUntilAsleep() {
        const std::string statPath = "/proc/" + std::to_string(trainer) + "/stat";
        for (;;) {
            std::ifstream stat(statPath);
            if (!stat) return true;
            std::string pidField, nameField, state;
            stat >> pidField >> nameField >> state;
            if (state == "S") return true;
            if (Clock::now() > deadline || !pump(5)) return false;
        }
    }
    // True once the shell has seen the trainer stop.
    bool waitForStop() {
        char report = 0;
        return readReport(&report, 1) && report == 'S';
    }

    termios settings() const {
        termios now{};
        tcgetattr(master, &now);
        return now;
    }
    bool inKeyMode() const { return (settings().c_lflag & (ICANON | ECHO)) == 0; }
    bool givenBack() const { return (settings().c_lflag & (ICANON | ECHO)) == (ICANON | ECHO); }

    // Keys go out only while the trainer waits in single-key mode, so the
    // terminal never echoes them.
    bool sendKeys(const std::string& keys) {
        while (!inKeyMode()) {
            if (Clock::now() > deadline || !pump(10)) return false;
        }
        return write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }
    // Typed as it is, whatever mode the terminal is in.
    bool type(const std::string& typed) {
        return write(master, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
    }
    bool sendLine(const std::string& line) { return type(line + "\n"); }

    Finished finish() {
        while (Clock::now() < deadline && pump(50)) {
        }
        Finished run;
        reap(pid, run, deadline);
        run.output = output;
        pid = -1;
        return run;
    }

    // Closes the terminal as a closed window or a dropped connection does.
    Finished hangUp() {
        close(master);
        master = -1;
        Finished run;
        reap(pid, run, deadline);
        run.output = output;
        pid = -1;
        return run;
    }
};

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

inline std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string failedSave(const std::string& path) {
    return "Couldn't save to:\n  " + path + "\nMake sure the folder has write permissions.\n";
}

inline std::string savedModel(const std::string& path) {
    return "\nModel successfully saved:\n  " + path +
           "\n\nSelect it via the Osc Model knob after reloading the VST plugin.\n";
}

}  // namespace e2e
