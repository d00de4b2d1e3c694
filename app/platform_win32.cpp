#include "app/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <conio.h>

#include <cstdio>
#include <vector>

namespace platform {

const char kPathSeparator = '\\';

namespace {

// Longest path the wide-character API can hand back; a module path is never longer.
constexpr DWORD kLongestModulePath = 32768;

// Whether the standard streams are attached to a console. _getch and _putch
// talk to the console itself, so with input or output redirected they would
// read keys nobody sends or write past the redirection; the standard streams
// are used instead, keeping scripted runs working.
bool stdinIsConsole = true;
bool stdoutIsConsole = true;

bool handleIsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

LocateResult executableDirectory(std::string& dir) {
    LocateResult result;
    HMODULE module = nullptr;
    // The module that holds this very code: the .exe, since everything is linked statically.
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&executableDirectory), &module)) {
        result.status = LocateStatus::ModuleHandleFailed;
        result.error = static_cast<int>(GetLastError());
        return result;
    }

    char modulePath[MAX_PATH];
    DWORD length = GetModuleFileNameA(module, modulePath, MAX_PATH);
    if (length == 0) {
        result.status = LocateStatus::ModuleFileNameFailed;
        result.error = static_cast<int>(GetLastError());
        return result;
    }
    std::string path(modulePath, length);
    if (length >= MAX_PATH) {
        // Cut short: a directory taken from half a path would list the wrong
        // folder, so ask again with room for any path Windows allows.
        std::vector<char> longPath(kLongestModulePath, '\0');
        const DWORD longLength = GetModuleFileNameA(module, longPath.data(), kLongestModulePath);
        if (longLength > 0 && longLength < kLongestModulePath) path.assign(longPath.data(), longLength);
    }

    const size_t cut = path.find_last_of(kPathSeparator);
    dir = cut == std::string::npos ? std::string(".\\") : path.substr(0, cut + 1);
    return result;
}

void listWavFiles(const std::string& dir, InlineVector<std::string>& names, uint64_t& longestName) {
    const std::string pattern = dir + "*.wav";
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    // Listing order as Windows returns it (alphabetical on NTFS), not re-sorted.
    do {
        const std::string name = entry.cFileName;
        if (name.size() > longestName) longestName = name.size();
        names.pushBack(name);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

void initConsole() {
    // No console code page change: names and messages reach the console as
    // the very bytes the program has, and the console's state is left as
    // the user's shell had it.
    stdinIsConsole = handleIsConsole(STD_INPUT_HANDLE);
    stdoutIsConsole = handleIsConsole(STD_OUTPUT_HANDLE);
}

int readKey() {
    std::fflush(stdout);
    if (!stdinIsConsole) {
        const int c = std::getchar();
        return c == EOF ? -1 : c;
    }
    const int c = _getch();
    if (c == EOF) return -1;
    // Arrows, function keys and the like come as a prefix and a second code;
    // the second code alone would pass for a letter ('H' for the up arrow),
    // so it is swallowed and the prefix, which no menu uses, stands for the key.
    if (c == 0x00 || c == 0xE0) _getch();
    return c;
}

bool readLine(char* buf, int size) {
    std::fflush(stdout);
    return std::fgets(buf, size, stdin) != nullptr;
}

bool replaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void putChar(char c) {
    std::fflush(stdout);
    if (stdoutIsConsole) {
        _putch(static_cast<unsigned char>(c));
    } else {
        std::putchar(c);
    }
}

}  // namespace platform
