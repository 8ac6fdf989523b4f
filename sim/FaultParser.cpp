#include "SimulatorConfig.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace qrbsim {

namespace {

constexpr std::array<std::pair<Step, const char*>, 12> kStepNames{{
    {Step::Open, "open"},
    {Step::Reset, "reset"},
    {Step::Sync, "sync"},
    {Step::Version, "version"},
    {Step::Program, "program"},
    {Step::Verify, "verify"},
    {Step::Jump, "jump"},
    {Step::Unseal, "unseal"},
    {Step::Seal, "seal"},
    {Step::Exit, "exit"},
    {Step::Block, "block"},
    {Step::Verdict, "verdict"},
}};

constexpr std::array<std::pair<Software, const char*>, 3> kSoftwareNames{{
    {Software::Firmware, "firmware"},
    {Software::ResidentBootloader, "resident"},
    {Software::RamBootloader, "ram"},
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

const char* softwareName(Software software) {
    for (const auto& [s, name] : kSoftwareNames) {
        if (s == software) {
            return name;
        }
    }
    return "?";
}

const char* stepName(Step step) {
    for (const auto& [s, name] : kStepNames) {
        if (s == step) {
            return name;
        }
    }
    return "?";
}

namespace {

// A fault without its "/PROGRAM" suffix; `whole` is the text for messages.
Fault parseUnconfined(const std::string& whole, const std::string& text) {
    Fault fault;
    const auto at = text.find('@');
    const auto colon = text.find(':');
    const std::string head = text.substr(0, std::min(at, colon));
    const auto argument = [&](size_t separator) { return text.substr(separator + 1); };

    if (head == "silent") {
        fault.kind = Fault::Kind::Silent;
        if (colon != std::string::npos) {
            fail(whole, "\"silent\" takes no value; use silent or silent@STEP");
        }
        if (at != std::string::npos) {
            fault.step = parseStep(whole, argument(at));
        }
        return fault;
    }
    if (head == "hangup") {
        fault.kind = Fault::Kind::HangupAt;
        if (at == std::string::npos || colon != std::string::npos) {
            fail(whole, "expected hangup@STEP (steps: " + stepList() + ")");
        }
        fault.step = parseStep(whole, argument(at));
        return fault;
    }
    if (head == "noise" && colon != std::string::npos && at != std::string::npos && colon < at) {
        // noise:N@STEP
        fault.kind = Fault::Kind::Noise;
        fault.count =
            parseNumber(whole, text.substr(colon + 1, at - colon - 1), 4096, "the byte count");
        if (fault.count < 1) {
            fail(whole, "the byte count must be at least 1");
        }
        fault.step = parseStep(whole, argument(at));
        return fault;
    }
    if (at != std::string::npos) {
        fail(whole, "only silent and hangup take @STEP, and noise as noise:N@STEP");
    }
    if (head == "answer") {
        fault.kind = Fault::Kind::Answer;
        const std::string rest = colon == std::string::npos ? "" : argument(colon);
        const auto equals = rest.find('=');
        if (equals == std::string::npos) {
            fail(whole, "expected answer:COMMAND=BYTE, e.g. answer:0x01=0x15");
        }
        fault.command =
            static_cast<uint8_t>(parseNumber(whole, rest.substr(0, equals), 0xFF, "the command"));
        fault.value =
            static_cast<uint8_t>(parseNumber(whole, rest.substr(equals + 1), 0xFF, "the answer"));
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
                fail(whole, std::string("expected ") + c.name + ":N");
            }
            fault.kind = c.kind;
            fault.count = parseNumber(whole, argument(colon), c.max, c.what);
            if (fault.count < c.min) {
                fail(whole, std::string(c.what) + " must be at least " + std::to_string(c.min));
            }
            return fault;
        }
    }
    fail(whole, "unknown fault; expected one of silent, silent@STEP, answer:COMMAND=BYTE, "
                "corrupt-checksum:N, noise:N, noise:N@STEP, hangup-after:N, hangup@STEP");
}

} // namespace

Fault parseFault(const std::string& text) {
    const auto slash = text.rfind('/');
    if (slash == std::string::npos) {
        return parseUnconfined(text, text);
    }
    Fault fault = parseUnconfined(text, text.substr(0, slash));
    const std::string where = text.substr(slash + 1);
    for (const auto& [software, name] : kSoftwareNames) {
        if (where == name) {
            fault.in = software;
        }
    }
    if (!fault.in) {
        fail(text, "unknown program \"" + where + "\" (programs: firmware, resident, ram)");
    }
    const bool fromTheStart = fault.kind == Fault::Kind::Silent && !fault.step;
    if (fromTheStart || fault.kind == Fault::Kind::HangupAfter) {
        fail(text, "only faults at a step, answers, checksums and noise take /PROGRAM");
    }
    return fault;
}

std::string describeFault(const Fault& fault) {
    char buffer[64];
    std::string text = "?";
    switch (fault.kind) {
    case Fault::Kind::Silent:
        text = fault.step ? std::string("silent@") + stepName(*fault.step) : "silent";
        break;
    case Fault::Kind::HangupAt:
        text = std::string("hangup@") + stepName(fault.step.value_or(Step::Reset));
        break;
    case Fault::Kind::Answer:
        std::snprintf(buffer, sizeof buffer, "answer:0x%02x=0x%02x", fault.command, fault.value);
        text = buffer;
        break;
    case Fault::Kind::CorruptChecksum:
        text = "corrupt-checksum:" + std::to_string(fault.count);
        break;
    case Fault::Kind::Noise:
        text = "noise:" + std::to_string(fault.count) +
               (fault.step ? std::string("@") + stepName(*fault.step) : "");
        break;
    case Fault::Kind::HangupAfter:
        text = "hangup-after:" + std::to_string(fault.count);
        break;
    }
    if (fault.in) {
        text += std::string("/") + softwareName(*fault.in);
    }
    return text;
}

std::string faultHelp() {
    return "  silent               answer nothing at all, not even the synchronisation\n"
           "  silent@STEP          answer normally until STEP is received, then nothing\n"
           "  answer:CMD=BYTE      answer command CMD with BYTE instead of its acknowledgement\n"
           "                       (the command is not carried out; for 0x05 the last byte)\n"
           "  corrupt-checksum:N   send a wrong checksum for the N-th programming block (from 1)\n"
           "  noise:N              send N foreign bytes before the first synchronisation echo\n"
           "                       of each bootloader start\n"
           "  noise:N@STEP         send N foreign bytes before the answer to STEP, once\n"
           "  hangup-after:N       close the line once N bytes have been received\n"
           "  hangup@STEP          close the line when STEP is received\n"
           "  STEP is one of: " +
           stepList() +
           "\n"
           "                       (open: the host opens the line; block: a programming\n"
           "                       block's words are in, before its checksum; verdict: a\n"
           "                       verification's data are in, before its verdict)\n"
           "  A suffix /firmware, /resident or /ram confines a fault (not silent alone nor\n"
           "  hangup-after) to that program, e.g. silent@sync/ram, corrupt-checksum:1/ram\n"
           "  (blocks counted in that program). answer:0xAA=BYTE answers the synchronisation\n"
           "  with BYTE four times.\n";
}

} // namespace qrbsim
