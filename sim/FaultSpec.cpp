#include "SimulatorConfig.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace qrbsim {

namespace {

constexpr std::array<std::pair<Step, const char*>, 9> kStepNames{{
    {Step::Reset, "reset"},
    {Step::Sync, "sync"},
    {Step::Version, "version"},
    {Step::Program, "program"},
    {Step::Verify, "verify"},
    {Step::Jump, "jump"},
    {Step::Unseal, "unseal"},
    {Step::Seal, "seal"},
    {Step::Exit, "exit"},
}};

std::string stepList() {
    std::string list;
    for (const auto& [step, name] : kStepNames) {
        if (!list.empty()) {
            list += ", ";
        }
        list += name;
    }
    return list;
}

[[noreturn]] void fail(const std::string& text, const std::string& why) {
    throw std::invalid_argument("bad fault \"" + text + "\": " + why);
}

Step parseStep(const std::string& text, const std::string& name) {
    for (const auto& [step, stepText] : kStepNames) {
        if (name == stepText) {
            return step;
        }
    }
    fail(text, "unknown step \"" + name + "\" (steps: " + stepList() + ")");
}

// Decimal or 0x-prefixed hexadecimal, whole string, within max.
uint64_t parseNumber(const std::string& text, const std::string& number, uint64_t max,
                     const char* what) {
    if (number.empty() || number[0] == '-' || number[0] == '+' || number[0] == ' ') {
        fail(text, std::string("expected a number for ") + what + ", got \"" + number + "\"");
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(number.c_str(), &end, 0);
    if (errno != 0 || end == number.c_str() || *end != '\0') {
        fail(text, std::string("expected a number for ") + what + ", got \"" + number + "\"");
    }
    if (value > max) {
        fail(text, std::string(what) + " " + number + " is out of range (at most " +
                       std::to_string(max) + ")");
    }
    return value;
}

} // namespace

const char* stepName(Step step) {
    for (const auto& [s, name] : kStepNames) {
        if (s == step) {
            return name;
        }
    }
    return "?";
}

Fault parseFault(const std::string& text) {
    Fault fault;
    const auto at = text.find('@');
    const auto colon = text.find(':');
    const std::string head = text.substr(0, std::min(at, colon));
    const auto argument = [&](size_t separator) { return text.substr(separator + 1); };

    if (head == "silent") {
        fault.kind = Fault::Kind::Silent;
        if (colon != std::string::npos) {
            fail(text, "\"silent\" takes no value; use silent or silent@STEP");
        }
        if (at != std::string::npos) {
            fault.step = parseStep(text, argument(at));
        }
        return fault;
    }
    if (head == "hangup") {
        fault.kind = Fault::Kind::HangupAt;
        if (at == std::string::npos || colon != std::string::npos) {
            fail(text, "expected hangup@STEP (steps: " + stepList() + ")");
        }
        fault.step = parseStep(text, argument(at));
        return fault;
    }
    if (at != std::string::npos) {
        fail(text, "only silent and hangup take @STEP");
    }
    if (head == "answer") {
        fault.kind = Fault::Kind::Answer;
        const std::string rest = colon == std::string::npos ? "" : argument(colon);
        const auto equals = rest.find('=');
        if (equals == std::string::npos) {
            fail(text, "expected answer:COMMAND=BYTE, e.g. answer:0x01=0x15");
        }
        fault.command =
            static_cast<uint8_t>(parseNumber(text, rest.substr(0, equals), 0xFF, "the command"));
        fault.value =
            static_cast<uint8_t>(parseNumber(text, rest.substr(equals + 1), 0xFF, "the answer"));
        return fault;
    }
    struct Counted {
        const char* name;
        Fault::Kind kind;
        uint64_t min;
        uint64_t max;
        const char* what;
    };
    static constexpr Counted counted[] = {
        {"corrupt-checksum", Fault::Kind::CorruptChecksum, 1, UINT32_MAX, "the block number"},
        {"noise", Fault::Kind::Noise, 1, 4096, "the byte count"},
        {"hangup-after", Fault::Kind::HangupAfter, 0, UINT64_MAX, "the byte count"},
    };
    for (const auto& c : counted) {
        if (head == c.name) {
            if (colon == std::string::npos) {
                fail(text, std::string("expected ") + c.name + ":N");
            }
            fault.kind = c.kind;
            fault.count = parseNumber(text, argument(colon), c.max, c.what);
            if (fault.count < c.min) {
                fail(text, std::string(c.what) + " must be at least " + std::to_string(c.min));
            }
            return fault;
        }
    }
    fail(text, "unknown fault; expected one of silent, silent@STEP, answer:COMMAND=BYTE, "
               "corrupt-checksum:N, noise:N, hangup-after:N, hangup@STEP");
}

std::string describeFault(const Fault& fault) {
    char buffer[64];
    switch (fault.kind) {
    case Fault::Kind::Silent:
        return fault.step ? std::string("silent@") + stepName(*fault.step) : "silent";
    case Fault::Kind::HangupAt:
        return std::string("hangup@") + stepName(fault.step.value_or(Step::Reset));
    case Fault::Kind::Answer:
        std::snprintf(buffer, sizeof buffer, "answer:0x%02x=0x%02x", fault.command, fault.value);
        return buffer;
    case Fault::Kind::CorruptChecksum:
        return "corrupt-checksum:" + std::to_string(fault.count);
    case Fault::Kind::Noise:
        return "noise:" + std::to_string(fault.count);
    case Fault::Kind::HangupAfter:
        return "hangup-after:" + std::to_string(fault.count);
    }
    return "?";
}

std::string faultHelp() {
    return "  silent               answer nothing at all, not even the synchronisation\n"
           "  silent@STEP          answer normally until STEP is received, then nothing\n"
           "  answer:CMD=BYTE      answer command CMD with BYTE instead of its acknowledgement\n"
           "                       (the command is not carried out; for 0x05 the last byte)\n"
           "  corrupt-checksum:N   send a wrong checksum for the N-th programming block (from 1)\n"
           "  noise:N              send N foreign bytes before the first synchronisation echo\n"
           "                       of each bootloader start\n"
           "  hangup-after:N       close the line once N bytes have been received\n"
           "  hangup@STEP          close the line when STEP is received\n"
           "  STEP is one of: " +
           stepList() + "\n";
}

std::vector<uint8_t> SimulatorConfig::defaultFactoryFirmware() {
    // A recognisable 1 KiB stand-in for the firmware the board ships with.
    std::vector<uint8_t> firmware(1024);
    uint32_t x = 0x51524231; // "QRB1"
    for (auto& byte : firmware) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return firmware;
}

} // namespace qrbsim
