// Heap allocations of the whole process, counted by standing in for the C allocator's entry
// points (malloc, calloc, realloc, the aligned ones; operator new goes through malloc). Link
// alloc_count.cpp into an executable, or load it with LD_PRELOAD, and read the count around the
// code under watch.
#pragma once

#include <cstdint>

uint64_t alloc_count();  // allocations since the process started
