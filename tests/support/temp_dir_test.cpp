#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "support/temp_dir.h"

TEST(ScopedTempDir, MakesAWritableFolderAndRemovesItWithItsFiles) {
    std::string kept;
    {
        ScopedTempDir dir("nettrainer_temp_dir_test_");
        ASSERT_FALSE(dir.path.empty());
        EXPECT_TRUE(std::filesystem::is_directory(dir.path));
        std::FILE* file = std::fopen(dir.file("a.bin").c_str(), "wb");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::fputc(1, file), 1);
        EXPECT_EQ(std::fclose(file), 0);
        kept = dir.path;
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST(ScopedTempDir, TwoFoldersDiffer) {
    ScopedTempDir a("nettrainer_temp_dir_test_");
    ScopedTempDir b("nettrainer_temp_dir_test_");
    ASSERT_FALSE(a.path.empty());
    EXPECT_NE(a.path, b.path);
}
