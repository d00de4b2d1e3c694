#pragma once

// A fresh empty folder for a test's files, on every platform the tests run
// on (mkdtemp and friends are POSIX-only). Removed with all it holds when the
// object goes out of scope.

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

struct ScopedTempDir {
    std::string path;  // no trailing separator; empty if no folder could be made

    explicit ScopedTempDir(const char* prefix) {
        namespace fs = std::filesystem;
        std::error_code error;
        const fs::path base = fs::temp_directory_path(error);
        if (error) return;
        std::random_device entropy;
        std::mt19937_64 names((static_cast<uint64_t>(entropy()) << 32) ^ entropy());
        for (int attempt = 0; attempt < 100; ++attempt) {
            const fs::path candidate = base / (std::string(prefix) + std::to_string(names() % 1000000000u));
            if (fs::create_directory(candidate, error) && !error) {
                path = candidate.string();
                return;
            }
        }
    }
    ~ScopedTempDir() {
        if (path.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    // path + the platform's separator + name
    std::string file(const std::string& name) const {
        return (std::filesystem::path(path) / name).string();
    }
};
