// qrb-sim: a simulated QRB board on a pseudo-terminal, for trying the
// updater (or anything else that talks to the board) without the hardware.

#include "BoardSimulator.h"
#include "ReplayBoard.h"
#include "TraceFormat.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

struct Options {
    qrbsim::SimulatorConfig config;
    std::optional<std::string> link;
    std::optional<std::string> dumpFlash;
    std::optional<std::string> dumpRam;
    std::optional<std::string> replay;
    bool verbose = false;
};

void printHelp() {
    std::cout
        << "Usage: qrb-sim [OPTION]...\n"
           "Simulates a QRB board on a pseudo-terminal. Prints the device path of the\n"
           "terminal as its first line, then serves the board until SIGINT or SIGTERM\n"
           "and prints a summary.\n"
           "\n"
           "  --link PATH            also make PATH a symbolic link to the device\n"
           "  --version-word WORD    the firmware version word the board reports\n"
           "                         (default 0x00000001; 0xFFFFFFFF: no firmware, the\n"
           "                         board starts in its bootloader with an empty flash)\n"
           "  --block-words N        words per programming block (default 256; 0: one\n"
           "                         block per record)\n"
           "  --leading-wait MS      how long to wait for a leading word after accepting\n"
           "                         a programming command (default 20)\n"
           "  --flash-size SIZE      flash size in bytes, K or M suffix allowed (default 1M)\n"
           "  --ram-size SIZE        RAM size at 0x400000 (default 1M)\n"
           "  --factory FILE         the factory firmware in the flash at address 0\n"
           "  --pace                 let every byte take its time on the wire\n"
           "  --adapter MODEL        the USB serial adapter between board and host:\n"
           "                         none (default: bytes reach the host at once), ftdi\n"
           "                         (a converter whose chip holds the board's bytes until\n"
           "                         62 wait or its latency timer runs out), cdc-acm (no\n"
           "                         timer)\n"
           "  --latency-file FILE    with --adapter ftdi: the driver's latency_timer\n"
           "                         attribute, read for each answer (default: 16 ms)\n"
           "  --fault FAULT          inject a fault (repeatable; see below)\n"
           "  --dump-flash FILE      write the flash contents to FILE at the end\n"
           "  --dump-ram FILE        write the RAM contents to FILE at the end\n"
           "  --replay FILE          play the board's side of a serial trace (.qrbtrace)\n"
           "                         instead of simulating a board (see below)\n"
           "  --verbose              print each event of the board on standard error\n"
           "  --help                 print this help\n"
           "\n"
           "Faults:\n"
        << qrbsim::faultHelp()
        << "\n"
           "The board runs its firmware at 115200 baud until it receives the reset\n"
           "sequence, its resident bootloader at 57600 baud, and the RAM bootloader it\n"
           "is given at 460800 baud. Bytes that arrive at another speed are dropped.\n"
           "\n"
           "With --replay the board answers what the host sends with what the board\n"
           "answered in the trace, in the recorded order and timing, silent where it was\n"
           "silent and gone where it went away. Where the host sends a byte that the\n"
           "trace does not hold (another byte, another speed, anything after its end),\n"
           "the replay prints at which byte the exchange departed from the recording,\n"
           "hangs up the line and exits with status 3. A trace cut short or with a\n"
           "garbled line is refused, naming the line (status 2).\n";
}

uint64_t parseNumber(const std::string& option, const std::string& text, bool sizeSuffix) {
    errno = 0;
    char* end = nullptr;
    if (text.empty() || text[0] == '-') {
        throw std::invalid_argument(option + ": expected a number, got \"" + text + "\"");
    }
    uint64_t value = std::strtoull(text.c_str(), &end, 0);
    std::string suffix = end ? end : "";
    if (sizeSuffix && (suffix == "K" || suffix == "k")) {
        value <<= 10;
        suffix.clear();
    } else if (sizeSuffix && (suffix == "M" || suffix == "m")) {
        value <<= 20;
        suffix.clear();
    }
    if (errno != 0 || end == text.c_str() || !suffix.empty()) {
        throw std::invalid_argument(option + ": expected a number, got \"" + text + "\"");
    }
    return value;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::invalid_argument("--factory: cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::invalid_argument(option + " needs a value");
            }
            return argv[++i];
        };
        if (option == "--help" || option == "-h") {
            printHelp();
            std::exit(0);
        } else if (option == "--link") {
            options.link = value();
        } else if (option == "--version-word") {
            const uint64_t word = parseNumber(option, value(), false);
            if (word > UINT32_MAX) {
                throw std::invalid_argument("--version-word: more than 32 bits");
            }
            options.config.versionWord = static_cast<uint32_t>(word);
        } else if (option == "--block-words") {
            const uint64_t words = parseNumber(option, value(), false);
            if (words > UINT32_MAX) {
                throw std::invalid_argument("--block-words: more than 32 bits");
            }
            options.config.blockWords = static_cast<uint32_t>(words);
        } else if (option == "--leading-wait") {
            const uint64_t ms = parseNumber(option, value(), false);
            if (ms > 60000) {
                throw std::invalid_argument("--leading-wait: at most 60000 ms");
            }
            options.config.leadingWordWait = std::chrono::milliseconds(ms);
        } else if (option == "--flash-size") {
            options.config.flashSize = parseNumber(option, value(), true);
        } else if (option == "--ram-size") {
            options.config.ramSize = parseNumber(option, value(), true);
        } else if (option == "--factory") {
            options.config.factoryFirmware = readFile(value());
        } else if (option == "--pace") {
            options.config.pace = true;
        } else if (option == "--adapter") {
            const std::string model = value();
            const auto parsed = qrbsim::parseAdapterModel(model);
            if (!parsed) {
                throw std::invalid_argument("--adapter: expected none, ftdi or cdc-acm, got \"" +
                                            model + "\"");
            }
            options.config.adapter = *parsed;
        } else if (option == "--latency-file") {
            options.config.latencyTimerFile = value();
        } else if (option == "--fault") {
            options.config.faults.push_back(qrbsim::parseFault(value()));
        } else if (option == "--dump-flash") {
            options.dumpFlash = value();
        } else if (option == "--dump-ram") {
            options.dumpRam = value();
        } else if (option == "--replay") {
            options.replay = value();
        } else if (option == "--verbose") {
            options.verbose = true;
        } else {
            throw std::invalid_argument("unknown option " + option + " (see --help)");
        }
    }
    return options;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "qrb-sim: cannot write " << path << "\n";
        return false;
    }
    return true;
}

// Serves the replay until SIGINT or SIGTERM, or until the host departs.
int runReplay(const Options& options, const sigset_t& signals) {
    qrbtrace::Trace trace;
    try {
        trace = qrbtrace::readTraceFile(*options.replay);
    } catch (const qrbtrace::TraceFormatError& e) {
        std::cerr << "qrb-sim: " << (e.line() == 0 ? std::string() : *options.replay + ": ")
                  << e.what() << "\n";
        return 2;
    }
    std::optional<qrbsim::ReplayBoard> board;
    try {
        board.emplace(std::move(trace));
    } catch (const std::exception& e) {
        std::cerr << "qrb-sim: " << e.what() << "\n";
        return 2;
    }
    if (options.verbose) {
        board->setEventHandler(
            [](const std::string& event) { std::fprintf(stderr, "qrb-sim: %s\n", event.c_str()); });
    }
    std::cout << board->slavePath() << std::endl;
    if (options.link) {
        ::unlink(options.link->c_str());
        if (::symlink(board->slavePath().c_str(), options.link->c_str()) != 0) {
            std::cerr << "qrb-sim: cannot link " << *options.link << ": " << std::strerror(errno)
                      << "\n";
            return 1;
        }
    }
    board->start();
    const timespec tick{0, 50 * 1000 * 1000};
    while (board->state() != qrbsim::ReplayBoard::State::Departed) {
        if (sigtimedwait(&signals, nullptr, &tick) > 0) {
            break;
        }
    }
    const bool departed = board->state() == qrbsim::ReplayBoard::State::Departed;
    if (departed) {
        std::cerr << "qrb-sim: the exchange departed from the recording " << board->departure()
                  << "\n";
    }
    board->stop();
    if (options.link) {
        ::unlink(options.link->c_str());
    }
    std::printf("replay: %zu of %zu events played; %s\n", board->eventsPlayed(),
                board->eventCount(), departed ? "departed" : "no departure");
    std::fflush(stdout);
    return departed ? 3 : 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parseOptions(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "qrb-sim: " << e.what() << "\n";
        return 2;
    }
    if (options.verbose) {
        options.config.onEvent = [](const std::string& event) {
            std::fprintf(stderr, "qrb-sim: %s\n", event.c_str());
        };
    }

    // The signals are taken by sigwait below, on this thread only.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    if (options.replay) {
        return runReplay(options, signals);
    }

    std::optional<qrbsim::BoardSimulator> board;
    try {
        board.emplace(options.config);
    } catch (const std::exception& e) {
        std::cerr << "qrb-sim: " << e.what() << "\n";
        return 2;
    }
    std::cout << board->slavePath() << std::endl;
    if (options.link) {
        ::unlink(options.link->c_str());
        if (::symlink(board->slavePath().c_str(), options.link->c_str()) != 0) {
            std::cerr << "qrb-sim: cannot link " << *options.link << ": " << std::strerror(errno)
                      << "\n";
            return 1;
        }
    }
    board->start();

    int signal = 0;
    sigwait(&signals, &signal);
    board->stop();

    if (options.link) {
        ::unlink(options.link->c_str());
    }
    std::printf("version word: 0x%08x\n", board->versionWord());
    std::printf("sealed: %s\n", board->sealed() ? "yes" : "no");
    std::printf("state: %s\n", qrbsim::boardStateName(board->state()));
    std::printf("bytes programmed in RAM: %llu\n",
                static_cast<unsigned long long>(board->bytesProgrammedRam()));
    std::printf("bytes programmed in flash: %llu\n",
                static_cast<unsigned long long>(board->bytesProgrammedFlash()));
    std::fflush(stdout);

    bool written = true;
    if (options.dumpFlash) {
        written = writeFile(*options.dumpFlash, board->flash()) && written;
    }
    if (options.dumpRam) {
        written = writeFile(*options.dumpRam, board->ram()) && written;
    }
    return written ? 0 : 1;
}
