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

// The terminal settings found at start-up, and whether the terminal is at
// this moment switched to single-key mode. Both are read by signal handlers.
struct termios savedTerminal;
volatile sig_atomic_t haveSavedTerminal = 0;
volatile sig_atomic_t terminalInKeyMode = 0;

void restoreTerminal() {
    if (haveSavedTerminal && terminalInKeyMode) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        terminalInKeyMode = 0;
    }
}

void onFatalSignal(int signalNumber) {
    restoreTerminal();
    // Die of the same signal, so the parent sees what happened.
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
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
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) haveSavedTerminal = 1;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signalNumber, &action, nullptr);
    // A closed pipe on the output ends writes with an error instead of killing us
    // before the terminal is given back.
    signal(SIGPIPE, SIG_IGN);
    std::atexit(restoreTerminal);
}

int readKey() {
    std::fflush(stdout);
    if (!haveSavedTerminal) {
        const int c = std::getchar();
        return c == EOF ? -1 : c;
    }
    struct termios keyMode = savedTerminal;
    keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;
    terminalInKeyMode = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &keyMode);
    // The same stdio stream as line reads: keys typed ahead of a line stay in order.
    const int c = std::getchar();
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
