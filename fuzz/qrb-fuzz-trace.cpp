// libFuzzer target: see fuzzTraceFile in FuzzEntries.h.

#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzTraceFile(data, size);
    return 0;
}
