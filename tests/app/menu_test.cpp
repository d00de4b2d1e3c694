#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/menu.h"

namespace {

InlineVector<std::string> namesOf(const std::vector<std::string>& list) {
    InlineVector<std::string> names;
    for (const std::string& name : list) names.pushBack(name);
    return names;
}

// One menu row: every cell padded to the full cell width, the last included.
std::string row(const std::vector<std::string>& cells, size_t cellWidth) {
    std::string text;
    for (const std::string& cell : cells) text += cell + std::string(cellWidth - cell.size(), ' ');
    return text + "\n";
}

std::vector<std::string> numberedNames(int count, const char* prefix) {
    std::vector<std::string> list;
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%s%02d", prefix, i);
        list.push_back(name);
    }
    return list;
}

}  // namespace

TEST(WaveMenuLayout, FourFilesInTwoColumnsFillThreeRowsColumnByColumn) {
    // Longest name 23 characters: cells of 29, two to a line, 4 / 2 + 1 rows.
    const auto names = namesOf({"one.wav", "two.wav", "three.wav", "four-is-the-longest.wav"});
    const std::string expected = row({"0) one.wav", "3) four-is-the-longest.wav"}, 29) +
                                 row({"1) two.wav"}, 29) + row({"2) three.wav"}, 29) + "\n";
    EXPECT_EQ(renderWaveMenu(names, 23), expected);
}

TEST(WaveMenuLayout, LongestNamesOf21And34CharactersStillGiveTwoColumns) {
    for (size_t longest : {21u, 34u}) {
        const auto names = namesOf({"a", "b", "c", std::string(longest, 'd')});
        const std::string text = renderWaveMenu(names, longest);
        const size_t width = longest + 6;
        EXPECT_EQ(text, row({"0) a", "3) " + std::string(longest, 'd')}, width) + row({"1) b"}, width) +
                            row({"2) c"}, width) + "\n")
            << "longest " << longest;
    }
}

TEST(WaveMenuLayout, ThirteenFourCharacterNamesGiveRowsOfSevenAndSix) {
    const auto list = numberedNames(13, "w_");
    const std::string expected =
        row({"0) w_00", "2) w_02", "4) w_04", "6) w_06", "8) w_08", "a) w_10", "c) w_12"}, 10) +
        row({"1) w_01", "3) w_03", "5) w_05", "7) w_07", "9) w_09", "b) w_11"}, 10) + "\n";
    EXPECT_EQ(renderWaveMenu(namesOf(list), 4), expected);
}

TEST(WaveMenuLayout, EntriesFromTheThirtySeventhOnHaveABlankLabel) {
    // 3-character names: cells of 9, eight columns, 40 / 8 + 1 = 6 rows.
    const auto list = numberedNames(40, "w");
    const std::string text = renderWaveMenu(namesOf(list), 3);
    const std::string expectedFirstRow =
        row({"0) w00", "6) w06", "c) w12", "i) w18", "o) w24", "u) w30", " ) w36"}, 9);
    EXPECT_EQ(text.substr(0, expectedFirstRow.size()), expectedFirstRow);
    EXPECT_NE(text.find("z) w35"), std::string::npos);
    for (const char* blank : {" ) w36", " ) w37", " ) w38", " ) w39"}) {
        EXPECT_NE(text.find(blank), std::string::npos) << blank;
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7);
}

TEST(WaveMenuLayout, AnExactMultipleOfTheColumnsGetsOneRowMoreThanTheQuotient) {
    // Eight entries for eight columns: 8 / 8 + 1 = 2 rows, so only four
    // columns are used.
    const auto list = numberedNames(8, "w");
    const std::string expected = row({"0) w00", "2) w02", "4) w04", "6) w06"}, 9) +
                                 row({"1) w01", "3) w03", "5) w05", "7) w07"}, 9) + "\n";
    EXPECT_EQ(renderWaveMenu(namesOf(list), 3), expected);
}

TEST(WaveMenuLayout, WithOneColumnAnExactMultipleEndsWithAnEmptyRow) {
    // Cells of 41: one column, 2 / 1 + 1 = 3 rows.
    const auto names = namesOf({std::string(35, 'a'), "b"});
    const std::string expected = row({"0) " + std::string(35, 'a')}, 41) + row({"1) b"}, 41) + "\n" + "\n";
    EXPECT_EQ(renderWaveMenu(names, 35), expected);
}

TEST(WaveMenuLayout, ANameOverSeventyFourCharactersStillGetsOneColumn) {
    const std::string longName(75, 'n');
    const auto names = namesOf({longName, "short.wav"});
    const std::string expected = row({"0) " + longName}, 81) + row({"1) short.wav"}, 81) + "\n" + "\n";
    EXPECT_EQ(renderWaveMenu(names, 75), expected);
}

TEST(WaveMenuLayout, AnEmptyListIsOneEmptyRowAndTheClosingNewline) {
    EXPECT_EQ(renderWaveMenu(InlineVector<std::string>(), 0), "\n\n");
}

TEST(WaveMenuKeys, DigitsSelectTheFirstTenEntries) {
    EXPECT_EQ(menuIndexForKey('0', 10), 0);
    EXPECT_EQ(menuIndexForKey('9', 10), 9);
    EXPECT_EQ(menuIndexForKey('9', 9), -1);
}

TEST(WaveMenuKeys, UpperAndLowerCaseLettersSelectTheSameEntry) {
    EXPECT_EQ(menuIndexForKey('b', 12), 11);
    EXPECT_EQ(menuIndexForKey('B', 12), 11);
    EXPECT_EQ(menuIndexForKey('a', 11), 10);
}

TEST(WaveMenuKeys, AKeyBeyondTheListIsIgnored) {
    EXPECT_EQ(menuIndexForKey('b', 11), -1);
    EXPECT_EQ(menuIndexForKey('B', 11), -1);
    EXPECT_EQ(menuIndexForKey('0', 0), -1);
}

TEST(WaveMenuKeys, ZSelectsTheLastSelectableEntry) {
    EXPECT_EQ(menuIndexForKey('z', 40), 35);
    EXPECT_EQ(menuIndexForKey('Z', 40), 35);
}

TEST(WaveMenuKeys, EnterEscapeSpaceAndPunctuationSelectNothing) {
    for (int key : std::vector<int>{'\n', '\r', 27, ' ', '.', ')', '/', ':', '@', '[', '`', '{', 0x7F, 0xE4, -1}) {
        EXPECT_EQ(menuIndexForKey(key, 40), -1) << "key " << key;
    }
}
