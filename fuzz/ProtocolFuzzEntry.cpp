// The host side of the bootloader protocol against whatever a board answers.

#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "FuzzEntries.h"
#include "FuzzSupport.h"
#include "ImageFile.h"
#include "ImageWriter.h"
#include "Serial.h"

#include <array>
#include <memory>

using namespace fuzzing;

namespace {

constexpr size_t kOperations = 8;
constexpr size_t kMostAnswerBytes = 64 * 1024;

// A valid image with every kind of data record the exchange knows: whole
// words, a leading and a trailing word, none at all, one short word at an
// unaligned address; and a type-2 record among them.
const MemoryFile& fixedImage() {
    static const std::unique_ptr<MemoryFile> file = [] {
        const uint8_t words[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
        const uint8_t seven[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
        const uint8_t two[] = {0xA1, 0xA2};
        SimpleCodeImageBuilder image;
        image.addDataRecord(0x1000, words)
            .addType2Record(0x01020304, 5)
            .addDataRecord(0x1002, seven)
            .addDataRecord(0x2000, std::span<const uint8_t>())
            .addDataRecord(0x3001, two)
            .addEndRecord();
        return std::make_unique<MemoryFile>(image.bytes().data(), image.bytes().size());
    }();
    return *file;
}

void runOperation(uint8_t choice) {
    switch (choice % kOperations) {
    case 0:
        (void)getFirmwareVersion();
        break;
    case 1:
        processCommand(kCommandUnseal);
        break;
    case 2:
        processCommand(kCommandExit);
        break;
    case 3:
        sealFlash(0x00030201);
        break;
    case 4:
        jumpToAddress(kRamBootloaderAddress);
        break;
    case 5:
        openImageFile(fixedImage().path().c_str());
        TransferProgram();
        break;
    case 6:
        openImageFile(fixedImage().path().c_str());
        VerifyProgram();
        break;
    default:
        waitForConnection();
        break;
    }
}

} // namespace

void fuzzBoardAnswers(const uint8_t* data, size_t size) {
    ignoreBrokenPipes();
    if (size == 0) {
        return;
    }
    const size_t count = std::min<size_t>(1 + data[0] % kOperations, size - 1);
    const uint8_t* choices = data + 1;
    const uint8_t* answers = choices + count;
    // More than the socket holds would keep the board waiting to send it.
    const size_t answerBytes = std::min(size - 1 - count, kMostAnswerBytes);

    const HostCleanup cleanup;
    SocketLine line;
    if (!writeAll(line.boardFd(), answers, answerBytes)) {
        throw std::runtime_error("the board could not send its answers");
    }
    line.boardHangsUpSending();
    line.attachHost();
    for (size_t i = 0; i < count; ++i) {
        try {
            runOperation(choices[i]);
        } catch (const FirmwareUpdaterException&) {
        }
        // What the host sent is not looked at; it must not fill the line.
        line.discardHostOutput();
    }
}
