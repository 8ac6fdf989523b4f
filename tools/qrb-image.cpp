// qrb-image: makes and inspects image files in the simple-code format.
//
//   qrb-image create -o OUT ADDRESS:FILE [ADDRESS:FILE ...]
//   qrb-image info FILE

#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "ImageWriter.h"
#include "RecordWalk.h"

#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kCreateUsage =
    "Usage: qrb-image create -o OUT ADDRESS:FILE [ADDRESS:FILE ...]\n"
    "\n"
    "Writes OUT, an image file in the simple-code format with one data record\n"
    "per FILE, in the order given, holding the bytes of FILE at board address\n"
    "ADDRESS (hexadecimal with 0x, or decimal). The header fields and the\n"
    "uninterpreted record bytes are 0; the end record carries the checksum.\n";

constexpr const char* kInfoUsage =
    "Usage: qrb-image info FILE\n"
    "\n"
    "Reads FILE as the updater does and prints one line per record, then\n"
    "\"checksum OK\", or the reader's failure as \"Name: reason\". The exit\n"
    "status is 0 only for a valid file.\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int usageError(const std::string& message) {
    std::fprintf(stderr, "qrb-image: %s\n(qrb-image --help for usage)\n", message.c_str());
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "qrb-image: %s\n", message.c_str());
    return kExitFailure;
}

bool isHelp(std::string_view arg) {
    return arg == "--help" || arg == "-h";
}

// "0x" followed by 1 to 8 hexadecimal digits, or decimal digits, up to 2^32 - 1.
std::optional<uint32_t> parseAddress(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * static_cast<unsigned>(base) + digit;
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

std::optional<std::vector<uint8_t>> readWholeFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        if (bytes.size() + static_cast<size_t>(n) > UINT32_MAX) {
            error = path + ": more than 4294967295 bytes, too many for one record";
            ::close(fd);
            return std::nullopt;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(fd);
    return bytes;
}

// Writes the image next to out and renames it into place, so that a failed
// write never leaves a partial image under the final name.
bool writeImage(const std::string& out, const std::vector<uint8_t>& bytes, std::string& error) {
    std::string temporary = out + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot write " + out + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = "cannot write " + out + ": " + std::strerror(n < 0 ? errno : EIO);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // Image files are data, readable by everyone like any other build output.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0 || ::close(fd) != 0 ||
        std::rename(temporary.c_str(), out.c_str()) != 0) {
        error = "cannot write " + out + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

int create(int argc, char** argv) {
    std::optional<std::string> out;
    std::vector<std::pair<uint32_t, std::string>> inputs;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (isHelp(arg)) {
            std::fputs(kCreateUsage, stdout);
            return 0;
        }
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc) {
                return usageError("create: " + std::string(arg) + " needs a file name");
            }
            if (out) {
                return usageError("create: more than one output file");
            }
            out = argv[++i];
            continue;
        }
        if (arg.starts_with("-")) {
            return usageError("create: unknown option " + std::string(arg));
        }
        const size_t colon = arg.find(':');
        if (colon == std::string_view::npos || colon + 1 == arg.size()) {
            return usageError("create: expected ADDRESS:FILE, got \"" + std::string(arg) + "\"");
        }
        const auto address = parseAddress(arg.substr(0, colon));
        if (!address) {
            return usageError("create: bad address \"" + std::string(arg.substr(0, colon)) +
                              "\" (hexadecimal with 0x, or decimal, below 2^32)");
        }
        inputs.emplace_back(*address, std::string(arg.substr(colon + 1)));
    }
    if (!out) {
        return usageError("create: no output file (-o OUT)");
    }
    if (inputs.empty()) {
        return usageError("create: no ADDRESS:FILE given");
    }

    SimpleCodeImageBuilder image;
    for (const auto& [address, path] : inputs) {
        std::string error;
        const auto data = readWholeFile(path, error);
        if (!data) {
            return failure(error);
        }
        if (data->size() > UINT32_MAX - uint64_t{address} + 1) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "%s: %zu bytes at 0x%08x pass the end of the 32-bit address space",
                          path.c_str(), data->size(), address);
            return failure(text);
        }
        image.addDataRecord(address, *data);
    }
    image.addEndRecord();

    std::string error;
    if (!writeImage(*out, image.bytes(), error)) {
        return failure(error);
    }
    return 0;
}

int info(int argc, char** argv) {
    if (argc == 1 && isHelp(argv[0])) {
        std::fputs(kInfoUsage, stdout);
        return 0;
    }
    if (argc != 1) {
        return usageError("info: expected exactly one FILE");
    }
    int status = 0;
    try {
        openImageFile(argv[0]);
        walkImageRecords([](const ImageRecord& record) {
            switch (record.type) {
            case 1:
                std::printf("data record: address 0x%08x, length %u\n", record.address,
                            record.length);
                for (uint32_t i = 0; i < record.length; ++i) {
                    ReadUint(1);
                }
                break;
            case 2:
                std::printf("type-2 record\n");
                break;
            default:
                std::printf("end record\n");
                break;
            }
        });
        std::printf("checksum OK\n");
    } catch (const FirmwareUpdaterException& e) {
        std::printf("%s: %s\n", e.name().c_str(), e.reason().c_str());
        status = kExitFailure;
    }
    closeImageFile();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usageError("expected a command: create or info");
    }
    const std::string_view command = argv[1];
    if (isHelp(command)) {
        std::printf("%s\n%s", kCreateUsage, kInfoUsage);
        return 0;
    }
    if (command == "create") {
        return create(argc - 2, argv + 2);
    }
    if (command == "info") {
        return info(argc - 2, argv + 2);
    }
    return usageError("unknown command \"" + std::string(command) + "\"");
}
