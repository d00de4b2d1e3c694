#include "app/menu.h"

#include <cctype>

std::string renderWaveMenu(const InlineVector<std::string>& names, uint64_t longestName) {
    const uint64_t cellWidth = longestName + 6;
    const uint64_t fillTarget = longestName + 3;
    const uint64_t n = names.size;
    // A name longer than 74 characters makes a cell wider than the screen;
    // it still gets one column rather than none.
    uint64_t columns = 80 / cellWidth;
    if (columns == 0) columns = 1;
    // One row more than the quotient, also for an exact multiple.
    const uint64_t rows = n / columns + 1;

    std::string text;
    for (uint64_t r = 0; r < rows; ++r) {
        for (uint64_t c = 0; c < columns; ++c) {
            const uint64_t i = c * rows + r;
            if (i >= n) continue;
            text += i < static_cast<uint64_t>(kMenuKeyCount) ? kMenuKeys[i] : ' ';
            text += ") ";
            text += names[i];
            const uint64_t length = names[i].size();
            if (length < fillTarget) text.append(fillTarget - length, ' ');
        }
        text += '\n';
    }
    text += '\n';
    return text;
}

int menuIndexForKey(int key, uint64_t entryCount) {
    const int folded = std::tolower(static_cast<unsigned char>(key)) & 0xFF;
    int index = -1;
    if (folded >= '0' && folded <= '9') index = folded - '0';
    if (folded >= 'a' && folded <= 'z') index = folded - 'a' + 10;
    if (index < 0 || static_cast<uint64_t>(index) >= entryCount) return -1;
    return index;
}
