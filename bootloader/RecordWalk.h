#pragma once

#include "ImageFile.h"

#include <cstdint>
#include <functional>
#include <optional>

// One record of a simple-code image, as the record walk meets it.
struct ImageRecord {
    uint8_t type = 0;     // 1 data, 2 type-2, 3 end
    uint32_t address = 0; // data records: board address of the first data byte
    uint32_t length = 0;  // data records: number of data bytes that follow
};

// Walks the records of the open image file from the current position up to
// and including the end record, reading everything through ReadUint, then
// tests the file's checksum. onRecord sees each record once its fixed fields
// have been read; for a data record it must itself read exactly the record's
// length data bytes through ReadUint. Raises "UnknownRecordError" and
// "ChecksumError"; failures of the reader and of onRecord pass through.
void walkImageRecords(const std::function<void(const ImageRecord&)>& onRecord);

// Proves the open image file before the board is touched: reads it from the
// current position to the end record exactly as TransferProgram and
// VerifyProgram will (the record walk, every byte through ReadUint, the
// checksum tested at the end), raising exactly what they would raise for the
// file ("UnexpectedEOFError", "UnknownRecordError", "ChecksumError", ...),
// then rewinds it with resetImageFile. Returns the sum of the lengths of its
// data records. Nothing goes to the board.
uint64_t proveOpenImageFile();
// Opens the image file at path, proves it and closes it again: what an
// update does with the file before it changes a board. Raises what
// openImageFile and proveOpenImageFile raise; the file is closed either way.
void proveImageFile(const char* path);
// Proves the image in bytes the same way, on a handle of its own (the open
// image file stays as it is); returns the sum of its data records' lengths.
uint64_t proveImageBytes(std::shared_ptr<const ImageBytes> bytes);

// The sum of the lengths of the data records of the image file at path, read
// with the record walk on a handle of its own: the open image file, its
// position and its checksum stay as they are. None when the file cannot be
// read, its header is not a simple-code header, or its records cannot be
// followed to the end record (a record type that is not known, a record cut
// short). The checksum is not tested.
std::optional<uint64_t> imageDataBytes(const char* path);
