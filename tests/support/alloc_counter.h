#pragma once

#include <cstdint>

// Counts the calls of every form of global operator new and new[] made
// between start and stop. This file's .cpp replaces the global allocation
// operators for the whole unit_tests binary; no other test file may replace
// them too (the link would fail), so every test that counts uses this.
//
// The C heap (malloc, calloc) is not counted: replacing it would fight the
// sanitizers. Tests of code that uses calloc check its pointers instead.

void startCountingAllocations();
// The count since the matching start, without stopping.
uint64_t countedAllocationsSoFar();
// Stops counting and returns the count since the matching start.
uint64_t stopCountingAllocations();
