// libFuzzer target: see fuzzConfiguration in FuzzEntries.h.

#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzConfiguration(data, size);
    return 0;
}
