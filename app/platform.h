#pragma once

// Everything that differs between Windows and POSIX terminals lives behind
// this header: locating the executable, listing "*.wav", single keys without
// echo, and the direct console write.

#include <cstdint>
#include <string>

#include "nn/inline_vector.h"

namespace platform {

// The path separator that names are appended to.
extern const char kPathSeparator;

enum class LocateStatus { Ok, ModuleHandleFailed, ModuleFileNameFailed };

struct LocateResult {
    LocateStatus status = LocateStatus::Ok;
    int error = 0;  // GetLastError / errno of the failed call
};

// The directory of the running executable, ending in the separator.
LocateResult executableDirectory(std::string& dir);

// Names (no directory) of the files in dir whose name ends in ".wav", in any
// letter case; longestName is the length of the longest. Windows lists them
// in its own order (alphabetical on NTFS), which is kept; POSIX directory
// order is arbitrary, so there they are sorted case-insensitively to give the
// same menu on every run.
void listWavFiles(const std::string& dir, InlineVector<std::string>& names, uint64_t& longestName);

// Prepares the console: installs the handlers that give the terminal back on
// every way out (normal end, Ctrl+C, SIGTERM, SIGHUP) and while the job is
// stopped with Ctrl+Z, taking single-key mode up again when it continues.
void initConsole();

// One key, without echo and without Enter; -1 at the end of input. Reads
// from the same stream as line reads, so typed-ahead keys and lines keep
// their order.
int readKey();

// One line into buf as fgets(buf, size, stdin) would. Returns false at the end
// of input with nothing read.
bool readLine(char* buf, int size);

// Moves a completely written file over `to`, replacing any file of that name.
bool replaceFile(const char* from, const char* to);

// Writes one character straight to the console, after any formatted output
// that came before it.
void putChar(char c);

}  // namespace platform
