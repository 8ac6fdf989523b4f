#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

// Reader of image files in the simple-code format: a 14-byte header, then
// records, all fields big-endian, every byte read added to a running 32-bit
// checksum. One file open at a time, in process-wide variables. Failures
// raise BootloaderException.
//
// An open image is always bytes in memory, read from its file in one go:
// what is proved, hashed and sent is the same bytes, whatever happens to
// the file on disk meanwhile. image_file reads them through stdio.

struct SimpleCodeHeader {
    uint32_t magic;
    uint32_t word1;
    uint32_t word2;
    uint16_t halfWord;
};

constexpr uint32_t kSimpleCodeMagic = 0x7F494152;

// The bytes of an image file, as read once from it.
using ImageBytes = std::vector<unsigned char>;

extern FILE* image_file;                              // the open image file, or nullptr
extern std::shared_ptr<const ImageBytes> image_bytes; // behind image_file
extern SimpleCodeHeader hdr;                          // header of the open file, as last read
extern uint32_t checksum;                             // byte sum since the header was last read

// Reads the whole file at path into memory: "FileNotFoundError" when it
// cannot be opened; a read that fails ends the bytes there.
std::shared_ptr<const ImageBytes> readImageBytes(const char* path);
// Opens bytes as the image file and reads its header; a file still open is
// closed first. After a bad header the file stays open. "FileFormatError",
// "UnexpectedEOFError".
void openImageBytes(std::shared_ptr<const ImageBytes> bytes);
// readImageBytes, then openImageBytes. "FileNotFoundError",
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
