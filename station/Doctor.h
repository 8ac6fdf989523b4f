#pragma once

#include "BoardOutcome.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

// `qrb-flash doctor`: what a station builder needs to know of each attached
// adapter, gathered from udev's view of the device tree, the updater's own
// open of the tty, and the processes that hold it.

// The hub an adapter hangs from. Full-speed adapters behind a high-speed hub
// reach the bus through its transaction translators: a single-TT hub has
// one for all its ports, so its full-speed adapters share 12 Mbit/s; a
// multi-TT hub has one per port.
enum class TransactionTranslators {
    Unknown,
    RootHub, // the host controller's own ports: no translator in between
    None,    // a full-speed hub: everything behind it shares its 12 Mbit/s
    Single,
    Multi,
};
const char* transactionTranslatorsName(TransactionTranslators translators);

struct HubCheck {
    std::string name;    // the sysfs name: "1-3", or "usb1" for a root hub
    std::string syspath; // tells hubs apart
    std::string product;
    unsigned speedMbps = 0;
    unsigned ports = 0;
    TransactionTranslators translators = TransactionTranslators::Unknown;
};

// What happened when the updater's own open was tried on the tty.
enum class TtyAccess {
    Granted,   // opened with exclusive use, as an update opens it
    Denied,    // permission denied
    InUse,     // another program has it for its exclusive use
    Unclaimed, // opened, but exclusive use was refused otherwise
    Failed,    // another failure
};

enum class LowLatencyCheck {
    NotAsked,    // the tty could not be opened
    Unsupported, // the device has no serial settings (no latency timer)
    AlreadySet,
    Granted,
    Refused,
    Unreadable,
};
const char* lowLatencyCheckName(LowLatencyCheck check);

struct HolderCheck {
    int pid = 0;
    std::string name;
};

struct AdapterCheck {
    BoardIdentity board;
    bool knownToUdev = false;
    std::string driver;                     // e.g. "ftdi_sio", "cdc_acm"
    unsigned usbSpeedMbps = 0;              // the adapter's own USB speed; 0 when unknown
    std::optional<unsigned> latencyTimerMs; // the driver's timer before the open
    std::optional<unsigned> openLatencyMs;  // the timer while the updater had the tty open
    LowLatencyCheck lowLatency = LowLatencyCheck::NotAsked;
    std::string lowLatencyError; // the system's words for a refusal
    std::optional<HubCheck> hub;
    unsigned fullSpeedOnHub = 0; // full-speed adapters examined behind the same hub
    TtyAccess access = TtyAccess::Failed;
    std::string accessReason;            // why not; empty when granted
    std::optional<std::string> udevRule; // the installed rule file; none when not found
    bool udevRuleApplied = false;        // this adapter's tty carries the rule's marks
    std::optional<HolderCheck> holder;   // a process that has the tty open
};

struct DoctorSettings {
    // Where the udev rule is looked for, in udev's order.
    std::vector<std::string> ruleDirectories;
    std::string ruleName = "70-qrb-updater.rules";
};
DoctorSettings defaultDoctorSettings();

// Examines each board's adapter: udev's view of it and its hub, the
// updater's own open of its tty (which asks for low latency and closes
// again, restoring the driver's flags), and who holds it.
std::vector<AdapterCheck> examineAdapters(const std::vector<BoardIdentity>& boards,
                                          const DoctorSettings& settings);

// For a person: a block of lines per adapter.
std::string doctorText(const AdapterCheck& check);
// One JSON object on one line.
std::string doctorJson(const AdapterCheck& check);

// `qrb-flash doctor [--json] [--port TTY]...`: args are those after "doctor".
// Exit code 0 when an adapter was examined, 2 when none was found, 64 for a
// usage error.
int runDoctorCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
