#include "BoardSimulator.h"

#include "PtyLine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <stdexcept>

namespace qrbsim {

namespace {

constexpr uint8_t kReset[2] = {0xE5, 0x7F};
constexpr uint8_t kSync[4] = {0xAA, 0x55, 0xA5, 0x5A};

constexpr uint8_t kUnseal = 0x01;
constexpr uint8_t kProgram = 0x02;
constexpr uint8_t kVerify = 0x03;
constexpr uint8_t kSeal = 0x04;
constexpr uint8_t kVersion = 0x05;
constexpr uint8_t kExit = 0x06;
constexpr uint8_t kJump = 0x07;

// What a bootloader prints when it starts, sent by the noise fault.
constexpr char kBanner[] = "QRB boot\r\n";

// How long a fault at a step the host does not wait on (the opening of the
// line, the reset) waits before it strikes: until the host has moved on, so
// that it never falls into the host's opening of the line, and bytes sent
// are not lost to the flush of that opening.
constexpr auto kUnansweredStepDelay = std::chrono::milliseconds(20);

// Keeps the event log bounded against a host that sends endless garbage.
constexpr size_t kMaxEvents = 100000;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

} // namespace

const char* boardStateName(BoardState state) {
    switch (state) {
    case BoardState::Firmware:
        return "firmware";
    case BoardState::ResidentBootloader:
        return "resident bootloader";
    case BoardState::RamBootloader:
        return "RAM bootloader";
    case BoardState::Silent:
        return "silent";
    case BoardState::Gone:
        return "gone";
    }
    return "?";
}

// The board's program: runs on the simulator's thread, reads the memories
// without the lock (no one else writes them) and changes them under it.
class BoardSimulator::Engine {
  public:
    Engine(BoardSimulator& board, PtyLine& line)
        : board_(board), line_(line), config_(board.config_), state_(board.state_) {}

    // The host has opened the line (called on the simulator's thread, from
    // within a receive, once the bytes sent before the opening are taken).
    void lineOpened() {
        if (state_ == BoardState::Silent || state_ == BoardState::Gone) {
            return;
        }
        step(Step::Open);
    }

    void run() {
        fired_.assign(config_.faults.size(), false);
        for (const auto& fault : config_.faults) {
            if (fault.kind == Fault::Kind::Silent && !fault.step) {
                goSilent();
            }
        }
        if (state_ != BoardState::Firmware) {
            enterBootloader(state_);
        }
        for (;;) {
            if (state_ == BoardState::Firmware) {
                runFirmware();
            } else {
                runCommand();
            }
        }
    }

  private:
    enum class Region { Ram, Flash };

    unsigned speed() const {
        switch (state_) {
        case BoardState::Firmware:
            return kFirmwareSpeed;
        case BoardState::ResidentBootloader:
            return kResidentBootloaderSpeed;
        default:
            return kRamBootloaderSpeed;
        }
    }

    uint8_t next() {
        if (pushback_) {
            const uint8_t byte = *pushback_;
            pushback_.reset();
            return byte;
        }
        return *line_.receive(speed());
    }

    uint32_t next32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | next();
        }
        return value;
    }

    void send(std::initializer_list<uint8_t> bytes) {
        line_.send(std::data(bytes), bytes.size(), speed());
    }
    void send32(uint32_t value) {
        send({static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
    }

    void setState(BoardState state) {
        state_ = state;
        board_.setState(state);
    }

    // The program the board runs, if it runs one.
    std::optional<Software> software() const {
        switch (state_) {
        case BoardState::Firmware:
            return Software::Firmware;
        case BoardState::ResidentBootloader:
            return Software::ResidentBootloader;
        case BoardState::RamBootloader:
            return Software::RamBootloader;
        default:
            return std::nullopt;
        }
    }

    // Whether a fault confined to a program applies now.
    bool appliesNow(const Fault& fault) const { return !fault.in || fault.in == software(); }

    void sendNoise(uint64_t count) {
        std::vector<uint8_t> noise(count);
        for (size_t i = 0; i < noise.size(); ++i) {
            noise[i] = static_cast<uint8_t>(kBanner[i % (sizeof kBanner - 1)]);
        }
        board_.logEvent(format("fault: %zu foreign bytes", noise.size()));
        line_.send(noise, speed());
    }

    [[noreturn]] void goSilent() {
        setState(BoardState::Silent);
        board_.logEvent("fault: silent");
        line_.swallowForever();
    }

    // The fault hooks of a step, called once its whole request is in.
    void step(Step step) {
        if (step == Step::Open || step == Step::Reset) {
            const bool strikes =
                std::any_of(config_.faults.begin(), config_.faults.end(),
                            [&](const Fault& f) { return f.step == step && appliesNow(f); });
            if (strikes) {
                std::this_thread::sleep_for(kUnansweredStepDelay);
            }
        }
        for (size_t i = 0; i < config_.faults.size(); ++i) {
            const Fault& fault = config_.faults[i];
            if (fault.step != step || !appliesNow(fault)) {
                continue;
            }
            if (fault.kind == Fault::Kind::Noise && !fired_[i]) {
                fired_[i] = true;
                sendNoise(fault.count);
            }
            if (fault.kind == Fault::Kind::HangupAt) {
                board_.logEvent(format("fault: hang-up at %s", stepName(step)));
                setState(BoardState::Gone);
                line_.hangUp();
            }
            if (fault.kind == Fault::Kind::Silent) {
                board_.logEvent(format("fault: silent from %s", stepName(step)));
                goSilent();
            }
        }
    }

    // The answer a fault puts in place of a command's acknowledgement.
    std::optional<uint8_t> faultAnswer(uint8_t command) const {
        for (const auto& fault : config_.faults) {
            if (fault.kind == Fault::Kind::Answer && fault.command == command &&
                appliesNow(fault)) {
                return fault.value;
            }
        }
        return std::nullopt;
    }

    // Sends the acknowledgement of a command, or the fault's answer instead
    // (true only when the command may go ahead).
    bool acknowledge(uint8_t command) {
        if (const auto answer = faultAnswer(command)) {
            board_.logEvent(format("fault: answered 0x%02x with 0x%02x", command, *answer));
            send({*answer});
            return false;
        }
        send({command});
        return true;
    }

    void refuse(const std::string& why) {
        board_.logEvent("refused " + why);
        send({kRefused});
    }

    void enterBootloader(BoardState state) {
        setState(state);
        noisePending_ = true;
        board_.logEvent(state == BoardState::RamBootloader ? "RAM bootloader started"
                                                           : "resident bootloader started");
    }

    bool firmwarePresent() const { return board_.sealed_ && board_.versionWord_ != kNoFirmware; }

    void startFirmware() {
        setState(BoardState::Firmware);
        board_.logEvent("firmware started");
    }

    void runFirmware() {
        const uint8_t byte = next();
        if (byte != kReset[0]) {
            return; // the firmware's own traffic: not ours to judge
        }
        const uint8_t second = next();
        if (second != kReset[1]) {
            pushback_ = second;
            return;
        }
        board_.logEvent("reset");
        step(Step::Reset);
        enterBootloader(BoardState::ResidentBootloader);
    }

    void runCommand() {
        const uint8_t command = next();
        switch (command) {
        case kSync[0]:
            synchronise();
            break;
        case kUnseal:
            unseal();
            break;
        case kProgram:
            program();
            break;
        case kVerify:
            verify();
            break;
        case kSeal:
            seal();
            break;
        case kVersion:
            version();
            break;
        case kExit:
            exitToFirmware();
            break;
        case kJump:
            jump();
            break;
        default:
            board_.logEvent(format("ignored byte 0x%02x", command));
            break;
        }
    }

    void synchronise() {
        for (size_t i = 1; i < sizeof kSync; ++i) {
            const uint8_t byte = next();
            if (byte != kSync[i]) {
                pushback_ = byte;
                board_.logEvent(format("ignored byte 0x%02x", kSync[0]));
                return;
            }
        }
        step(Step::Sync);
        if (const auto answer = faultAnswer(kSync[0])) {
            board_.logEvent(format("fault: answered sync with 0x%02x", *answer));
            send({*answer, *answer, *answer, *answer});
            return;
        }
        if (noisePending_) {
            noisePending_ = false;
            for (const auto& fault : config_.faults) {
                if (fault.kind == Fault::Kind::Noise && !fault.step && appliesNow(fault)) {
                    sendNoise(fault.count);
                }
            }
        }
        {
            std::lock_guard<std::mutex> lock(board_.mutex_);
            ++board_.syncs_;
        }
        board_.logEvent("sync");
        send({kSync[0], kSync[1], kSync[2], kSync[3]});
    }

    void version() {
        step(Step::Version);
        const uint32_t word = board_.versionWord_;
        board_.logEvent(format("version 0x%08x", word));
        send({static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
              static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)});
        acknowledge(kVersion);
    }

    void unseal() {
        step(Step::Unseal);
        if (faultAnswer(kUnseal)) {
            acknowledge(kUnseal);
            return;
        }
        if (state_ == BoardState::RamBootloader) {
            {
                std::lock_guard<std::mutex> lock(board_.mutex_);
                std::fill(board_.flash_.begin(), board_.flash_.end(), 0xFF);
                board_.sealed_ = false;
                board_.versionWord_ = kNoFirmware;
            }
            board_.logEvent("unseal: flash erased");
        } else {
            board_.logEvent("short command 0x01");
        }
        send({kUnseal});
    }

    void exitToFirmware() {
        step(Step::Exit);
        if (!acknowledge(kExit)) {
            return;
        }
        if (firmwarePresent()) {
            startFirmware();
        } else {
            board_.logEvent("exit: no firmware to start");
        }
    }

    void seal() {
        const uint8_t b0 = next();
        const uint8_t b1 = next();
        const uint8_t b2 = next();
        {
            std::lock_guard<std::mutex> lock(board_.mutex_);
            ++board_.sealCommands_;
        }
        step(Step::Seal);
        const uint32_t word = b0 | (uint32_t{b1} << 8) | (uint32_t{b2} << 16);
        if (faultAnswer(kSeal)) {
            acknowledge(kSeal);
            return;
        }
        if (state_ != BoardState::RamBootloader) {
            refuse("seal: only the RAM bootloader seals");
            return;
        }
        {
            std::lock_guard<std::mutex> lock(board_.mutex_);
            board_.sealed_ = true;
            board_.versionWord_ = word;
        }
        board_.logEvent(format("seal 0x%06x", word));
        send({kSeal});
    }

    void jump() {
        const uint32_t address = next32();
        step(Step::Jump);
        if (faultAnswer(kJump)) {
            acknowledge(kJump);
            return;
        }
        const bool toRam =
            address == kRamBase && (state_ == BoardState::RamBootloader || ramBootloaderLoaded_);
        const bool toFirmware = address < config_.flashSize && firmwarePresent();
        if (!toRam && !toFirmware) {
            refuse(format("jump 0x%08x: nothing to run there", address));
            return;
        }
        board_.logEvent(format("jump 0x%08x", address));
        send({kJump});
        if (toRam) {
            enterBootloader(BoardState::RamBootloader);
        } else {
            startFirmware();
        }
    }

    // The memory a bootloader reaches for [address, address + length), as an
    // offset into it, or why not.
    std::optional<std::string> locate(uint32_t address, uint64_t length, Region& region,
                                      size_t& offset) const {
        const bool resident = state_ == BoardState::ResidentBootloader;
        region = resident ? Region::Ram : Region::Flash;
        const uint64_t base = resident ? kRamBase : 0;
        const uint64_t size = resident ? config_.ramSize : config_.flashSize;
        if (address < base || uint64_t{address} - base + length > size) {
            return format("0x%08x+%llu: outside the %s", address,
                          static_cast<unsigned long long>(length), resident ? "RAM" : "flash");
        }
        offset = static_cast<size_t>(address - base);
        return std::nullopt;
    }

    void writeWord(Region region, size_t offset, uint32_t word) {
        std::lock_guard<std::mutex> lock(board_.mutex_);
        for (int i = 0; i < 4; ++i) {
            const auto byte = static_cast<uint8_t>(word >> (24 - 8 * i));
            if (region == Region::Flash) {
                board_.flash_[offset + static_cast<size_t>(i)] &= byte;
            } else {
                board_.ram_[offset + static_cast<size_t>(i)] = byte;
            }
        }
        if (region == Region::Flash) {
            board_.programmedFlash_ += 4;
        } else {
            board_.programmedRam_ += 4;
            if (offset == 0) {
                ramBootloaderLoaded_ = true;
            }
        }
    }

    uint8_t byteAt(Region region, size_t offset) const {
        return region == Region::Flash ? board_.flash_[offset] : board_.ram_[offset];
    }

    void program() {
        const uint32_t address = next32();
        const uint32_t words = next32();
        step(Step::Program);
        if (faultAnswer(kProgram)) {
            acknowledge(kProgram);
            return;
        }
        Region region;
        size_t offset = 0;
        if (const auto why = locate(address, uint64_t{words} * 4, region, offset)) {
            refuse("program " + *why);
            return;
        }
        if (address % 4 != 0) {
            refuse(format("program 0x%08x: not a word address", address));
            return;
        }
        if (region == Region::Flash && board_.sealed_) {
            refuse(format("program 0x%08x: the flash is sealed", address));
            return;
        }
        send({kProgram});
        board_.logEvent(format("program %s 0x%08x %u words",
                               region == Region::Flash ? "flash" : "ram", address, words));

        // The request does not tell whether a leading word follows at once;
        // a word that comes within the wait is one.
        uint64_t received = 0;
        bool leading = false;
        if (words > 0) {
            if (const auto first = line_.receive(speed(), config_.leadingWordWait)) {
                uint32_t word = *first;
                for (int i = 0; i < 3; ++i) {
                    word = (word << 8) | next();
                }
                writeWord(region, offset, word);
                leading = true;
                received = 1;
            }
        }
        const uint64_t blockWords = config_.blockWords == 0 ? words : config_.blockWords;
        uint64_t blockStart = 0;
        while (received < words) {
            const uint64_t count = std::min<uint64_t>(blockWords, words - blockStart);
            send32(static_cast<uint32_t>(count));
            uint32_t checksum = 0;
            for (uint64_t i = blockStart; i < blockStart + count; ++i) {
                if (i == 0 && leading) {
                    continue;
                }
                const uint32_t word = next32();
                writeWord(region, offset + static_cast<size_t>(i) * 4, word);
                checksum ^= word;
                ++received;
            }
            step(Step::Block);
            ++blocks_;
            const uint64_t blocksHere = ++blocksIn_[state_ == BoardState::RamBootloader ? 1 : 0];
            for (const auto& fault : config_.faults) {
                const uint64_t counted = fault.in ? blocksHere : blocks_;
                if (fault.kind == Fault::Kind::CorruptChecksum && fault.count == counted &&
                    appliesNow(fault)) {
                    board_.logEvent(format("fault: wrong checksum for block %llu",
                                           static_cast<unsigned long long>(counted)));
                    checksum ^= 0xA5A5A5A5;
                }
            }
            send32(checksum);
            blockStart += count;
        }
    }

    void verify() {
        const uint32_t address = next32();
        const uint32_t length = next32();
        step(Step::Verify);
        if (faultAnswer(kVerify)) {
            acknowledge(kVerify);
            return;
        }
        Region region;
        size_t offset = 0;
        if (const auto why = locate(address, length, region, offset)) {
            refuse("verify " + *why);
            return;
        }
        send({kVerify});
        bool same = true;
        for (uint32_t i = 0; i < length; ++i) {
            same = (next() == byteAt(region, offset + i)) && same;
        }
        step(Step::Verdict);
        board_.logEvent(format("verify %s 0x%08x %u bytes: %s",
                               region == Region::Flash ? "flash" : "ram", address, length,
                               same ? "match" : "MISMATCH"));
        send({same ? kVerify : kMismatch});
    }

    BoardSimulator& board_;
    PtyLine& line_;
    const SimulatorConfig& config_;
    BoardState state_;
    std::optional<uint8_t> pushback_;
    bool noisePending_ = false;
    bool ramBootloaderLoaded_ = false;
    uint64_t blocks_ = 0;
    // Blocks programmed by the resident and by the RAM bootloader.
    uint64_t blocksIn_[2] = {0, 0};
    // Faults that fire once and have.
    std::vector<bool> fired_;
};

BoardSimulator::BoardSimulator(SimulatorConfig config) : config_(std::move(config)) {
    if (config_.flashSize == 0 || config_.ramSize == 0 ||
        config_.ramSize > uint64_t{UINT32_MAX} - kRamBase || config_.flashSize > UINT32_MAX) {
        throw std::invalid_argument("flash and RAM sizes must be non-zero and addressable");
    }
    if (config_.factoryFirmware.size() > config_.flashSize) {
        throw std::invalid_argument("the factory firmware does not fit in the flash");
    }
    line_ = std::make_unique<PtyLine>();
    slavePath_ = line_->slavePath();
    line_->setPacing(config_.pace);
    line_->setAdapter(config_.adapter, [file = config_.latencyTimerFile] {
        return file.empty() ? kDefaultLatencyTimer : readLatencyTimer(file);
    });
    for (const auto& fault : config_.faults) {
        if (fault.kind == Fault::Kind::HangupAfter) {
            line_->setHangupAfter(fault.count);
        }
    }
    line_->setNoiseHandler([this](size_t count, unsigned came, unsigned expected) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            noiseBytes_ += count;
        }
        logEvent(
            format("noise: %zu bytes at %u baud dropped (listening at %u)", count, came, expected));
    });
    line_->setSessionHandler([this](const char* what) { logEvent(std::string("line ") + what); });
    line_->setOpenedHandler([this] { engine_->lineOpened(); });

    flash_.assign(config_.flashSize, 0xFF);
    ram_.assign(config_.ramSize, 0x00);
    versionWord_ = config_.versionWord;
    if (versionWord_ == kNoFirmware) {
        sealed_ = false;
        state_ = BoardState::ResidentBootloader;
    } else {
        sealed_ = true;
        std::copy(config_.factoryFirmware.begin(), config_.factoryFirmware.end(), flash_.begin());
    }
    engine_ = std::make_unique<Engine>(*this, *line_);
}

BoardSimulator::~BoardSimulator() {
    stop();
}

void BoardSimulator::start() {
    std::lock_guard<std::mutex> lock(startMutex_);
    if (started_) {
        return;
    }
    started_ = true;
    thread_ = std::thread([this] {
        try {
            engine_->run();
        } catch (const LineClosed&) {
        } catch (const std::exception& e) {
            logEvent(std::string("simulator error: ") + e.what());
        }
        if (line_->hungUp()) {
            setState(BoardState::Gone);
            logEvent("line hung up");
        }
    });
}

void BoardSimulator::stop() {
    line_->requestStop();
    join();
    // Switched off: to the host the board is gone.
    std::lock_guard<std::mutex> lock(startMutex_);
    line_->close();
}

void BoardSimulator::join() {
    std::lock_guard<std::mutex> lock(startMutex_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void BoardSimulator::unplug() {
    line_->requestHangUp();
    std::lock_guard<std::mutex> lock(startMutex_);
    if (!thread_.joinable()) {
        // No thread to do it: hang up here.
        line_->close();
        setState(BoardState::Gone);
    }
}

void BoardSimulator::logEvent(std::string event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (events_.size() < kMaxEvents) {
            events_.push_back(event);
        } else {
            ++eventsDropped_;
        }
    }
    changed_.notify_all();
    if (config_.onEvent) {
        config_.onEvent(event);
    }
}

void BoardSimulator::setState(BoardState state) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = state;
    }
    changed_.notify_all();
}

BoardState BoardSimulator::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::vector<uint8_t> BoardSimulator::flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

std::vector<uint8_t> BoardSimulator::ram() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ram_;
}

namespace {

std::vector<uint8_t> slice(const std::vector<uint8_t>& memory, size_t offset, size_t n) {
    if (offset > memory.size() || n > memory.size() - offset) {
        throw std::out_of_range("address range outside the board's memory");
    }
    return {memory.begin() + static_cast<std::ptrdiff_t>(offset),
            memory.begin() + static_cast<std::ptrdiff_t>(offset + n)};
}

} // namespace

std::vector<uint8_t> BoardSimulator::memory(uint32_t address, size_t n) const {
    return address >= kRamBase ? ramBytes(address, n) : flashBytes(address, n);
}

std::vector<uint8_t> BoardSimulator::flashBytes(uint32_t address, size_t n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slice(flash_, address, n);
}

std::vector<uint8_t> BoardSimulator::ramBytes(uint32_t address, size_t n) const {
    if (address < kRamBase) {
        throw std::out_of_range("address below the RAM");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return slice(ram_, address - kRamBase, n);
}

bool BoardSimulator::sealed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sealed_;
}

uint32_t BoardSimulator::versionWord() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return versionWord_;
}

uint64_t BoardSimulator::bytesProgrammedRam() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return programmedRam_;
}

uint64_t BoardSimulator::bytesProgrammedFlash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return programmedFlash_;
}

unsigned BoardSimulator::sealCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sealCommands_;
}

uint64_t BoardSimulator::noiseBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return noiseBytes_;
}

unsigned BoardSimulator::syncCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return syncs_;
}

uint64_t BoardSimulator::bytesReceived() const {
    return line_->bytesReceived();
}

unsigned BoardSimulator::observedLineSpeed() const {
    return line_->observedSpeed();
}

std::vector<std::string> BoardSimulator::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

bool BoardSimulator::waitForEvent(const std::string& prefix,
                                  std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::any_of(events_.begin(), events_.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    });
}

bool BoardSimulator::waitForState(BoardState wanted, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return state_ == wanted; });
}

} // namespace qrbsim
