#pragma once

#include <cstdint>

// The bytes this process holds through operator new, now and at most so far.
// The bench program replaces the global allocation functions to count them.
namespace bench {

struct HeapFigures {
    uint64_t current = 0;
    uint64_t peak = 0;
    uint64_t allocations = 0;
};

HeapFigures heapFigures();
// Starts a new peak from what is held now.
void resetHeapPeak();

} // namespace bench
