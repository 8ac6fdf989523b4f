// qrb-sim-demo: takes a simulated QRB board through a whole firmware update
// with the updater's own protocol code, step by step, and checks the result.
//
//   qrb-sim-demo RESOURCE_DIR
//
// RESOURCE_DIR holds QRB_Image.plist and the two images it names.

#include "BoardSimulator.h"
#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "PropertyList.h"
#include "RecordWalk.h"
#include "Serial.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

struct UpdateConfiguration {
    uint32_t version = 0; // major in bits 0-7, minor 8-15, revision 16-23
    std::string firmwarePath;
    std::string ramBootloaderPath;
};

bool readConfiguration(const std::string& dir, UpdateConfiguration& out) {
    const auto plist = readPropertyListDictionary(dir + "/QRB_Image.plist");
    if (!plist) {
        say("cannot read %s/QRB_Image.plist", dir.c_str());
        return false;
    }
    const auto integer = [&](const char* key) -> int64_t {
        const auto* value = plist->find(key);
        return value && value->integer() ? *value->integer() : -1;
    };
    const auto string = [&](const char* key) -> std::string {
        const auto* value = plist->find(key);
        return value && value->string() ? *value->string() : "";
    };
    const int64_t major = integer("QRB_FW_Image_Version_Major");
    const int64_t minor = integer("QRB_FW_Image_Version_Minor");
    const int64_t revision = integer("QRB_FW_Image_Version_Revision");
    out.firmwarePath = dir + "/" + string("QRB_FW_Image_File_Path");
    out.ramBootloaderPath = dir + "/" + string("RAM_Bootloader_Path");
    if (major < 0 || major > 255 || minor < 0 || minor > 255 || revision < 0 || revision > 255) {
        say("QRB_Image.plist: the version is missing or out of range");
        return false;
    }
    out.version = static_cast<uint32_t>(major | minor << 8 | revision << 16);
    return true;
}

std::string versionText(uint32_t word) {
    if (word == 0xFFFFFFFF) {
        return "none";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u", word & 0xFF, (word >> 8) & 0xFF,
                  (word >> 16) & 0xFF);
    return text;
}

// The data records of an image file, read with the updater's reader.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> dataRecords(const std::string& path) {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
    openImageFile(path.c_str());
    walkImageRecords([&](const ImageRecord& record) {
        if (record.type != 1) {
            return;
        }
        std::vector<uint8_t> data(record.length);
        for (auto& byte : data) {
            byte = static_cast<uint8_t>(ReadUint(1));
        }
        records.emplace_back(record.address, std::move(data));
    });
    closeImageFile();
    return records;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qrb-sim-demo RESOURCE_DIR\n");
        return 2;
    }
    UpdateConfiguration update;
    if (!readConfiguration(argv[1], update)) {
        return 1;
    }

    qrbsim::SimulatorConfig config;
    config.versionWord = 0x00000001; // the factory firmware, 1.0.0
    config.onEvent = [](const std::string& event) {
        std::printf("        board: %s\n", event.c_str());
        std::fflush(stdout);
    };
    qrbsim::BoardSimulator board(config);
    board.start();
    say("Simulated QRB board on %s, running firmware %s.", board.slavePath().c_str(),
        versionText(config.versionWord).c_str());
    say("Image version %s (seal word 0x%06x).", versionText(update.version).c_str(),
        update.version);

    const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
    try {
        say("1. Open the line at 115200 baud and send the reset sequence.");
        serInit(board.slavePath().c_str(), kFirmwareBaudRate);
        pause();
        resetConnectedQRBBoard();
        serClose();
        say("2. Reopen the line at 57600 baud and synchronise with the resident bootloader.");
        serInit(nullptr, kBootloaderBaudRate);
        pause();
        waitForConnection();
        const uint32_t before = getFirmwareVersion();
        say("3. Version query: the board runs firmware %s (0x%08x).", versionText(before).c_str(),
            before);

        say("4. Download the RAM bootloader %s.", update.ramBootloaderPath.c_str());
        openImageFile(update.ramBootloaderPath.c_str());
        TransferProgram();
        resetImageFile();
        say("5. Verify the RAM bootloader and jump to it at 0x%x.", kRamBootloaderAddress);
        VerifyProgram();
        jumpToAddress(kRamBootloaderAddress);
        closeImageFile();
        say("6. Switch the line to 460800 baud and synchronise with the RAM bootloader.");
        serSetBaudRate(kRamBootloaderBaudRate);
        waitForConnection();

        say("7. Open the firmware image %s and unseal the flash.", update.firmwarePath.c_str());
        openImageFile(update.firmwarePath.c_str());
        processCommand(kCommandUnseal);
        say("8. Program the flash.");
        TransferProgram();
        resetImageFile();
        say("9. Verify the flash.");
        VerifyProgram();
        say("10. Seal the flash with version %s.", versionText(update.version).c_str());
        sealFlash(update.version);
        closeImageFile();
        serClose();
    } catch (const FirmwareUpdaterException& e) {
        closeImageFile();
        serClose();
        board.stop();
        say("FAILED: %s", e.what());
        return 1;
    }
    board.stop();

    bool ok = board.sealed() && board.versionWord() == update.version;
    size_t bytes = 0;
    try {
        for (const auto& [address, data] : dataRecords(update.firmwarePath)) {
            bytes += data.size();
            ok = board.memory(address, data.size()) == data && ok;
        }
    } catch (const std::exception& e) {
        say("cannot compare the flash with the image: %s", e.what());
        ok = false;
    }
    say("Board: %s, flash %s, version %s; %llu bytes programmed in RAM, %llu in flash.",
        qrbsim::boardStateName(board.state()), board.sealed() ? "sealed" : "not sealed",
        versionText(board.versionWord()).c_str(),
        static_cast<unsigned long long>(board.bytesProgrammedRam()),
        static_cast<unsigned long long>(board.bytesProgrammedFlash()));
    say("The flash %s the %zu data bytes of the firmware image.", ok ? "holds" : "does NOT hold",
        bytes);
    say("%s", ok ? "Update complete." : "Update FAILED.");
    return ok ? 0 : 1;
}
