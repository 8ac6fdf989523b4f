#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

// The entry functions of the fuzz targets, shared by the fuzzers (clang with
// libFuzzer) and by the test that replays saved inputs in the normal build.
// Each runs one input to its end and leaves the process as it found it: no
// port open, no image file open.
//
// A FirmwareUpdaterException is what bad input is supposed to end in, and
// stays inside. Anything else leaves the entry and is a fault: a crash, a
// foreign exception, or a FuzzFinding when one of the harness's own checks
// fails.

// A check of the harness failed: the code under test did something wrong
// without crashing.
class FuzzFinding : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

// The bytes as an image file: opened, its records walked, then programmed into
// and verified against a board that acknowledges every request and checks
// every word and byte that the host sends against its own reading of the file.
// Word 1 of the header, which the host does not interpret, sets the board's
// block size (low byte; 0: the whole record in one block) and whether it asks
// for an empty block first (bit 8).
void fuzzImageFile(const uint8_t* data, size_t size);

// The bytes as the update configuration file "QRB_Image.plist", read by the
// application controller at start-up.
void fuzzConfiguration(const uint8_t* data, size_t size);

// The bytes as a board's answers to a run of host operations. The first byte
// gives the number of operations (1 + its value mod 8), the next bytes pick
// each operation (mod 8: version query, short command 1, short command 6,
// seal, jump, programming and verification of a fixed valid image,
// synchronisation); the rest is everything the board sends, after which the
// board hangs up its sending side.
void fuzzBoardAnswers(const uint8_t* data, size_t size);

// The bytes as a serial trace file (.qrbtrace), read by the trace reader that
// `trace show` and the simulator's replay use. A trace it accepts must be
// written back the same and be shown; anything else must be refused with the
// line named.
void fuzzTraceFile(const uint8_t* data, size_t size);
