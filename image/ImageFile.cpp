#include "ImageFile.h"

#include "FirmwareUpdaterException.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

FILE* image_file = nullptr;
std::shared_ptr<const ImageBytes> image_bytes;
SimpleCodeHeader hdr{};
uint32_t checksum = 0;

std::shared_ptr<const ImageBytes> readImageBytes(const char* path) {
    if (path == nullptr) {
        BootloaderException::raise("FileNotFoundError", "Cannot open %s.", "(null)");
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        BootloaderException::raise("FileNotFoundError", "Cannot open %s.", path);
    }
    auto bytes = std::make_shared<ImageBytes>();
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            bytes->insert(bytes->end(), buffer, buffer + got);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // A read that fails ends the bytes, as stdio's end of file would: the
        // image is then short, and its header or records say so (a
        // directory, say, is "UnexpectedEOFError").
        ::close(fd);
        return bytes;
    }
}

void openImageBytes(std::shared_ptr<const ImageBytes> bytes) {
    // Only one image is ever open: a handle left open by a caller is closed
    // here rather than leaked.
    closeImageFile();
    if (!bytes) {
        BootloaderException::raise("FileNotFoundError", "Cannot open %s.", "(null)");
    }
    // fmemopen only reads in "r" mode; the buffer is never written.
    image_file = ::fmemopen(const_cast<unsigned char*>(bytes->data()), bytes->size(), "r");
    if (image_file == nullptr) {
        BootloaderException::raise("FileNotFoundError", "Cannot open %s.", "the image in memory");
    }
    image_bytes = std::move(bytes);
    // A bad header leaves the file open; closeImageFile closes it.
    PreprocessFile();
}

void openImageFile(const char* path) {
    closeImageFile();
    openImageBytes(readImageBytes(path));
}

void PreprocessFile() {
    checksum = 0;
    // The whole header is read before the magic is looked at, so a file
    // shorter than a header is reported as such.
    hdr.magic = ReadUint(4);
    hdr.word1 = ReadUint(4);
    hdr.word2 = ReadUint(4);
    hdr.halfWord = static_cast<uint16_t>(ReadUint(2));
    if (hdr.magic != kSimpleCodeMagic) {
        BootloaderException::raise(
            "FileFormatError", "The input file is not in the simple-code format (%#x).", hdr.magic);
    }
}

uint32_t ReadUint(int n) {
    if (n < 1 || n > 4) {
        BootloaderException::raise("ReadOutOfBounds",
                                   "Trying to read %d bytes (reading bounds are 1 to 4 bytes)", n);
    }
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
        // With no file open there is nothing to read: the same as its end.
        // One thread at a time reads the image, so stdio's lock is not taken
        // for every byte.
        const int byte = image_file != nullptr ? ::getc_unlocked(image_file) : EOF;
        if (byte == EOF) {
            BootloaderException::raise("UnexpectedEOFError", "Found unexpected EOF in input file.");
        }
        const auto unsignedByte = static_cast<uint32_t>(byte);
        checksum += unsignedByte; // wraps modulo 2^32
        value = (value << 8) | unsignedByte;
    }
    return value;
}

void resetImageFile() {
    if (image_file == nullptr) {
        return;
    }
    std::fseek(image_file, 0, SEEK_SET);
    std::clearerr(image_file);
    PreprocessFile();
}

void closeImageFile() {
    if (image_file == nullptr) {
        return;
    }
    std::fclose(image_file);
    image_file = nullptr;
    image_bytes.reset();
}
