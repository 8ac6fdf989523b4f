// Image files that are wrong in every way a simple-code file can be: each is
// refused with its named error before anything of it goes to the board, and
// the board keeps its sealed firmware byte for byte. Only a record the board
// itself refuses (out of its memory) is found out on the board.

#include "ImageWriter.h"
#include "MatrixReport.h"
#include "UpdaterRun.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace reliability {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using qrbsim::BoardSimulator;
using qrbsim::BoardState;

enum class UsedAs { Firmware, RamBootloader };

struct BadImage {
    std::string name;
    UsedAs as = UsedAs::Firmware;
    Bytes bytes;
    bool directory = false; // a directory where the file should be
    std::string logged;     // the exception of the log line, "[Name: reason]"
    bool whenOpened = true; // refused in the opening step, else by the board
};

void PrintTo(const BadImage& image, std::ostream* out) {
    *out << image.name;
}

const std::string kEof = "[UnexpectedEOFError: Found unexpected EOF in input file.]";
const std::string kRefused = "[ProgrammingUnknownError: Programming Error: unknown error (21).]";

const std::vector<DataRecord>& recordsFor(UsedAs as) {
    return as == UsedAs::Firmware ? firmwareRecords() : ramBootloaderRecords();
}

// An image of the right records, its end record left to the caller.
SimpleCodeImageBuilder recordsOf(UsedAs as, uint32_t magic = kSimpleCodeMagic) {
    SimpleCodeImageBuilder builder(magic);
    for (const DataRecord& record : recordsFor(as)) {
        builder.addDataRecord(record.address, record.data);
    }
    return builder;
}

Bytes headerOnly() {
    return SimpleCodeImageBuilder().bytes();
}

std::vector<BadImage> badImages() {
    const Bytes data(16, 0x5A);
    std::vector<BadImage> cases;
    for (const UsedAs as : {UsedAs::Firmware, UsedAs::RamBootloader}) {
        const uint32_t base = as == UsedAs::Firmware ? 0 : qrbsim::kRamBase;
        const auto add = [&](BadImage image) {
            image.as = as;
            cases.push_back(std::move(image));
        };
        const Bytes header = headerOnly();
        add({"bad magic", as, recordsOf(as, 0x12345678).addEndRecord().bytes(), false,
             "[FileFormatError: The input file is not in the simple-code format (0x12345678).]"});
        Bytes truncatedData = recordsOf(as).bytes();
        truncatedData.erase(truncatedData.end() - 5, truncatedData.end());
        add({"truncated record data", as, truncatedData, false, kEof});
        add({"wrong checksum", as,
             recordsOf(as).addEndRecord(endRecordValue(recordsOf(as).byteSum() + 3) + 1).bytes(),
             false, "[ChecksumError: Checksum error in simple-code input file.]"});
        add({"unknown record type", as,
             SimpleCodeImageBuilder()
                 .addDataRecord(base, data)
                 .addBytes(Bytes{0x04})
                 .addEndRecord()
                 .bytes(),
             false, "[UnknownRecordError: Unknown record in simple-code input file (4).]"});
        // The resident bootloader reaches only the RAM, the RAM bootloader only the flash.
        add({"record past the end of the memory", as,
             SimpleCodeImageBuilder()
                 .addDataRecord(as == UsedAs::Firmware ? 0x10000 : 0x1000, data)
                 .addEndRecord()
                 .bytes(),
             false, kRefused, false});
        if (as == UsedAs::RamBootloader) {
            break;
        }
        add({"empty file", as, {}, false, kEof});
        add({"short header", as, Bytes(header.begin(), header.end() - 1), false, kEof});
        add({"zero magic", as, recordsOf(as, 0).addEndRecord().bytes(), false,
             "[FileFormatError: The input file is not in the simple-code format (0).]"});
        add({"a directory", as, {}, true, kEof});
        Bytes truncatedFields = header;
        truncatedFields.insert(truncatedFields.end(), {0x01, 0x00, 0x00, 0x00, 0x00});
        add({"truncated record fields", as, truncatedFields, false, kEof});
        add({"unknown record type first", as,
             SimpleCodeImageBuilder().addBytes(Bytes{0xFF}).addEndRecord().bytes(), false,
             "[UnknownRecordError: Unknown record in simple-code input file (255).]"});
        add({"no end record", as, recordsOf(as).bytes(), false, kEof});
        add({"length past the end of the file", as,
             SimpleCodeImageBuilder().addDataRecord(0, 0x4000, data).addEndRecord().bytes(), false,
             kEof});
        add({"huge length", as,
             SimpleCodeImageBuilder().addDataRecord(3, 0xFFFFFFFF, data).addEndRecord().bytes(),
             false, kEof});
    }
    return cases;
}

std::string usedAsText(UsedAs as) {
    return as == UsedAs::Firmware ? "as firmware image" : "as RAM bootloader";
}

std::string identifier(const BadImage& image) {
    std::string id = image.as == UsedAs::Firmware ? "Firmware_" : "RamBootloader_";
    bool capital = true;
    for (const char c : image.name) {
        if (c == ' ') {
            capital = true;
            continue;
        }
        id += capital ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        capital = false;
    }
    return id;
}

bool hasUnseal(const BoardSimulator& simulated) {
    const auto events = simulated.events();
    return std::any_of(events.begin(), events.end(),
                       [](const std::string& event) { return event.starts_with("unseal"); });
}

class BadImageTest : public UpdaterRun, public ::testing::WithParamInterface<BadImage> {
  protected:
    void TearDown() override {
        const BadImage& image = GetParam();
        appendResult({"images", image.name, usedAsText(image.as), "", !HasFailure(), outcome});
        UpdaterRun::TearDown();
    }
    std::string outcome = "did not end";
};

TEST_P(BadImageTest, IsRefusedBeforeTheSeal) {
    const BadImage& image = GetParam();
    const bool firmware = image.as == UsedAs::Firmware;
    const std::string fileName = firmware ? "QRB_Firmware.sc" : "QRB_RAM_Bootloader.sc";
    if (image.directory) {
        std::filesystem::remove(resources.path() / fileName);
        std::filesystem::create_directory(resources.path() / fileName);
    } else {
        resources.writeFile(fileName, image.bytes);
    }
    BoardSimulator& simulated = board();
    const std::size_t flashSize = simulated.config().flashSize;
    const std::vector<uint8_t> flashBefore = simulated.memory(0, flashSize);
    plugIn(simulated);
    platform->runUntilExit(20s, [this] { controller->awakeFromNib(); });

    const auto log = platform->logLinesWithoutTraces();
    outcome =
        logSummary(log) + " + " +
        (finalAlerts().empty() ? "no final alert" : *finalAlerts()[0].title) +
        (image.whenOpened ? ", refused before the board was touched" : ", refused by the board") +
        ", seal commands: " + std::to_string(simulated.sealCommands());
    EXPECT_THAT(log, ::testing::ElementsAre("Exception(7): " + image.logged));
    expectCleanExit(simulated);
    expectFinalAlert(false);
    EXPECT_EQ(simulated.sealCommands(), 0u);

    // Refused in its opening step, or by the board in the first pass.
    const std::size_t captions = image.whenOpened ? (firmware ? 4 : 1) : (firmware ? 6 : 2);
    EXPECT_EQ(platform->captionsOf("progressCaption").size(), captions);

    if (firmware && !image.whenOpened) {
        EXPECT_FALSE(simulated.sealed()) << "the board refused a record of a sound file";
        return;
    }
    // Nothing of the file reached the board: it never received the unseal
    // command, and its flash holds the firmware it had, sealed, byte for byte.
    EXPECT_FALSE(hasUnseal(simulated));
    EXPECT_TRUE(simulated.sealed());
    EXPECT_EQ(simulated.versionWord(), kBoardVersion);
    EXPECT_TRUE(simulated.memory(0, flashSize) == flashBefore) << "the flash changed";
    EXPECT_EQ(simulated.state(),
              firmware ? BoardState::RamBootloader : BoardState::ResidentBootloader);
    if (!firmware) {
        EXPECT_EQ(simulated.syncCount(), 1u) << "the RAM bootloader was started";
    }
}

INSTANTIATE_TEST_SUITE_P(Images, BadImageTest, ::testing::ValuesIn(badImages()),
                         [](const auto& imageInfo) { return identifier(imageInfo.param); });

} // namespace

TableLayout badImageLayout() {
    TableLayout layout;
    layout.table = "images";
    layout.heading = "Bad image files";
    layout.intro = "Each file is installed in place of the firmware image or of the RAM "
                   "bootloader, and a board is updated with it: the named error is logged, the "
                   "failure alert shown, and the board never receives the seal command.";
    layout.corner = "image file";
    layout.columns = {usedAsText(UsedAs::Firmware), usedAsText(UsedAs::RamBootloader)};
    std::set<std::pair<std::string, std::string>> tested;
    for (const BadImage& image : badImages()) {
        if (std::find(layout.rows.begin(), layout.rows.end(), image.name) == layout.rows.end()) {
            layout.rows.push_back(image.name);
        }
        tested.insert({image.name, usedAsText(image.as)});
    }
    for (const std::string& row : layout.rows) {
        for (const std::string& column : layout.columns) {
            if (!tested.contains({row, column})) {
                layout.notApplicable.insert({row, column});
            }
        }
    }
    layout.notApplicableText = "not tried";
    return layout;
}

} // namespace reliability
