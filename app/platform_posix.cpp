#include "app/platform.h"

#include <dirent.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace platform {

const char kPathSeparator = '/';

namespace {

// The terminal settings found at start-up, whether the terminal is at this
// moment switched to single-key mode, and whether a key read is under way
// (so a job stopped and continued during it gets its key mode back). All are
// read by signal handlers.
struct termios savedTerminal;
struct termios keyModeTerminal;
volatile sig_atomic_t haveSavedTerminal = 0;
volatile sig_atomic_t terminalInKeyMode = 0;
volatile sig_atomic_t keyReadActive = 0;

void restoreTerminal() {
    if (haveSavedTerminal && terminalInKeyMode) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        terminalInKeyMode = 0;
    }
}

// Only from the foreground: a background job that touches the settings is
// stopped by SIGTTOU, and its read will stop it anyway until it is brought back.
void resumeKeyMode() {
    if (!haveSavedTerminal || !keyReadActive) return;
    if (tcgetpgrp(STDIN_FILENO) != getpgrp()) return;
    terminalInKeyMode = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &keyModeTerminal);
}

void onFatalSignal(int signalNumber) {
    restoreTerminal();
    // Die of the same signal, so the parent sees what happened.
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Ctrl+Z: the shell gets the terminal back as it gave it to us, and the job
// stops as it would have without us.
void onStopSignal(int signalNumber) {
    const int savedErrno = errno;
    restoreTerminal();
    struct sigaction stopNow;
    struct sigaction ours;
    std::memset(&stopNow, 0, sizeof stopNow);
    stopNow.sa_handler = SIG_DFL;
    sigemptyset(&stopNow.sa_mask);
    sigaction(signalNumber, &stopNow, &ours);
    sigset_t justThis;
    sigemptyset(&justThis);
    sigaddset(&justThis, signalNumber);
    sigprocmask(SIG_UNBLOCK, &justThis, nullptr);
    raise(signalNumber);  // returns once continued
    sigaction(signalNumber, &ours, nullptr);
    // A job whose process group has no parent in its session is not stopped
    // at all: the key read goes on and needs its mode now, not at a SIGCONT.
    resumeKeyMode();
    errno = savedErrno;
}

void onContinue(int) {
    const int savedErrno = errno;
    resumeKeyMode();
    errno = savedErrno;
}

// A signal ignored when we were started (nohup, a background job of a shell
// without job control) stays ignored, as the one who started us asked.
void handleUnlessIgnored(int signalNumber, void (*handler)(int)) {
    struct sigaction inherited;
    if (sigaction(signalNumber, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // A stop and continue must not turn a waiting line read into an error.
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

// getchar, retried when a signal handler interrupted the read (getchar then
// reports EOF and sets the stream's error flag).
int getKeyByte() {
    for (;;) {
        errno = 0;
        const int c = std::getchar();
        if (c != EOF || !std::ferror(stdin) || errno != EINTR) return c;
        std::clearerr(stdin);
    }
}

int compareIgnoringCase(const std::string& a, const std::string& b) {
    const size_t length = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < length; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);  // names that differ only in case: a fixed order all the same
}

bool endsWithWavExtension(const char* name) {
    const size_t length = std::strlen(name);
    if (length < 4) return false;
    const char* ext = name + length - 4;
    return ext[0] == '.' && std::tolower(static_cast<unsigned char>(ext[1])) == 'w' &&
           std::tolower(static_cast<unsigned char>(ext[2])) == 'a' &&
           std::tolower(static_cast<unsigned char>(ext[3])) == 'v';
}

}  // namespace

LocateResult executableDirectory(std::string& dir) {
    LocateResult result;
    std::string path;
#if defined(__APPLE__)
    uint32_t bufferSize = 0;
    _NSGetExecutablePath(nullptr, &bufferSize);
    std::vector<char> buffer(bufferSize + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &bufferSize) != 0) {
        result.status = LocateStatus::ModuleFileNameFailed;
        result.error = ENAMETOOLONG;
        return result;
    }
    char resolved[PATH_MAX];
    path = realpath(buffer.data(), resolved) != nullptr ? resolved : buffer.data();
#else
    std::vector<char> buffer(PATH_MAX + 1, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), PATH_MAX);
    if (length <= 0) {
        result.status = LocateStatus::ModuleFileNameFailed;
        result.error = errno;
        return result;
    }
    path.assign(buffer.data(), static_cast<size_t>(length));
#endif
    const size_t cut = path.find_last_of('/');
    dir = cut == std::string::npos ? std::string("./") : path.substr(0, cut + 1);
    return result;
}

void listWavFiles(const std::string& dir, InlineVector<std::string>& names, uint64_t& longestName) {
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return;
    std::vector<std::string> found;
    while (const dirent* entry = readdir(folder)) {
        if (endsWithWavExtension(entry->d_name)) found.emplace_back(entry->d_name);
    }
    closedir(folder);
    // Directory order differs between file systems and runs; the menu must not.
    for (size_t i = 1; i < found.size(); ++i) {
        for (size_t j = i; j > 0 && compareIgnoringCase(found[j], found[j - 1]) < 0; --j) {
            std::swap(found[j], found[j - 1]);
        }
    }
    for (const std::string& name : found) {
        if (name.size() > longestName) longestName = name.size();
        names.pushBack(name);
    }
}

void initConsole() {
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
        keyModeTerminal = savedTerminal;
        keyModeTerminal.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keyModeTerminal.c_cc[VMIN] = 1;
        keyModeTerminal.c_cc[VTIME] = 0;
        haveSavedTerminal = 1;
    }
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) handleUnlessIgnored(signalNumber, onFatalSignal);
    handleUnlessIgnored(SIGTSTP, onStopSignal);
    handleUnlessIgnored(SIGCONT, onContinue);
    // A closed pipe on the output ends writes with an error instead of killing us
    // before the terminal is given back.
    signal(SIGPIPE, SIG_IGN);
    std::atexit(restoreTerminal);
}

int readKey() {
    std::fflush(stdout);
    if (!haveSavedTerminal) {
        const int c = getKeyByte();
        return c == EOF ? -1 : c;
    }
    keyReadActive = 1;
    terminalInKeyMode = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &keyModeTerminal);
    // The same stdio stream as line reads: keys typed ahead of a line stay in order.
    const int c = getKeyByte();
    keyReadActive = 0;
    restoreTerminal();
    return c == EOF ? -1 : c;
}

bool readLine(char* buf, int size) {
    std::fflush(stdout);
    return std::fgets(buf, size, stdin) != nullptr;
}

bool replaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

void putChar(char c) { std::putchar(c); }

}  // namespace platform
