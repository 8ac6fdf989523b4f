#pragma once

#include <cstdint>
#include <cstdio>

// Reader of image files in the simple-code format: a 14-byte header, then
// records, all fields big-endian, every byte read added to a running 32-bit
// checksum. One file open at a time, in process-wide variables. Failures
// raise BootloaderException.

struct SimpleCodeHeader {
    uint32_t magic;
    uint32_t word1;
    uint32_t word2;
    uint16_t halfWord;
};

constexpr uint32_t kSimpleCodeMagic = 0x7F494152;

extern FILE* image_file;     // the open image file, or nullptr
extern SimpleCodeHeader hdr; // header of the open file, as last read
extern uint32_t checksum;    // byte sum since the header was last read

// Opens path for reading and reads its header; a file still open is closed
// first. After a bad header the file stays open. "FileNotFoundError",
// "FileFormatError", "UnexpectedEOFError".
void openImageFile(const char* path);
// Reads and checks the header at the current position; restarts checksum.
void PreprocessFile();
// Reads an n-byte (1..4) big-endian unsigned value, adding each byte to
// checksum. "ReadOutOfBounds", "UnexpectedEOFError".
uint32_t ReadUint(int n);
// Back to the first record with the checksum restarted; nothing if closed.
void resetImageFile();
// Closes the file if one is open.
void closeImageFile();
