// libFuzzer target: see fuzzImageFile in FuzzEntries.h.

#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzImageFile(data, size);
    return 0;
}
