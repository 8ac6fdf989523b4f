// libFuzzer target: see fuzzBoardAnswers in FuzzEntries.h.

#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzBoardAnswers(data, size);
    return 0;
}
