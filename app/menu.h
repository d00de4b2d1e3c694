#pragma once

#include <cstdint>
#include <string>

#include "nn/inline_vector.h"

constexpr const char* kMenuKeys = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr int kMenuKeyCount = 36;

// The waveform menu below its heading: entries column by column, every cell
// longestName + 6 characters wide, one newline after each row and one more
// at the end. Entries from the 37th on get a blank key label.
std::string renderWaveMenu(const InlineVector<std::string>& names, uint64_t longestName);

// The entry a key selects (after tolower), or -1 if it selects none.
int menuIndexForKey(int key, uint64_t entryCount);
