#include "Doctor.h"

#include "DeviceHolder.h"
#include "FirmwareUpdaterException.h"
#include "Serial.h"
#include "Station.h"
#include "StationCommand.h"

#include <libudev.h>
#include <nlohmann/json.hpp>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using Udev = std::unique_ptr<udev, UdevDeleter>;
using UdevDevice = std::unique_ptr<udev_device, UdevDeleter>;

std::string text(const char* value) {
    return value != nullptr ? value : "";
}

std::optional<unsigned> number(const char* value, int base = 10) {
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string_view view(value);
    while (!view.empty() && (view.back() == '\n' || view.back() == ' ')) {
        view.remove_suffix(1);
    }
    unsigned result = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), result, base);
    if (error != std::errc() || end != view.data() + view.size() || view.empty()) {
        return std::nullopt;
    }
    return result;
}

// An attribute read afresh: libudev keeps the values a device object has
// read, and the latency timer changes while the tty is open.
std::optional<unsigned> freshAttribute(udev* u, const std::string& syspath, const char* name) {
    const UdevDevice device(udev_device_new_from_syspath(u, syspath.c_str()));
    return device ? number(udev_device_get_sysattr_value(device.get(), name)) : std::nullopt;
}

// The driver bound nearest to the tty: the usb-serial port's for a converter,
// the interface's for a modem, the platform device's for a UART.
std::string driverOf(udev_device* tty) {
    for (udev_device* device = udev_device_get_parent(tty); device != nullptr;
         device = udev_device_get_parent(device)) {
        if (const char* driver = udev_device_get_driver(device)) {
            return driver;
        }
        if (const char* driver = udev_device_get_property_value(device, "DRIVER")) {
            return driver;
        }
    }
    return {};
}

HubCheck hubOf(udev_device* hub) {
    HubCheck check;
    check.name = text(udev_device_get_sysname(hub));
    check.syspath = text(udev_device_get_syspath(hub));
    check.product = text(udev_device_get_sysattr_value(hub, "product"));
    check.speedMbps = number(udev_device_get_sysattr_value(hub, "speed")).value_or(0);
    check.ports = number(udev_device_get_sysattr_value(hub, "maxchild")).value_or(0);
    // A high-speed hub's device protocol tells its translators: 1 one for
    // all ports, 2 one per port.
    const std::optional<unsigned> protocol =
        number(udev_device_get_sysattr_value(hub, "bDeviceProtocol"), 16);
    if (check.name.starts_with("usb")) {
        check.translators = TransactionTranslators::RootHub;
    } else if (check.speedMbps == 12) {
        check.translators = TransactionTranslators::None;
    } else if (check.speedMbps == 480 && protocol == 1u) {
        check.translators = TransactionTranslators::Single;
    } else if (check.speedMbps == 480 && protocol == 2u) {
        check.translators = TransactionTranslators::Multi;
    }
    return check;
}

void examineUdev(udev* u, AdapterCheck& check) {
    const std::string sysname = std::filesystem::path(check.board.tty).filename().string();
    const UdevDevice tty(udev_device_new_from_subsystem_sysname(u, "tty", sysname.c_str()));
    if (!tty) {
        return;
    }
    check.knownToUdev = true;
    check.driver = driverOf(tty.get());
    if (udev_device* port =
            udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb-serial", nullptr)) {
        check.latencyTimerMs = number(udev_device_get_sysattr_value(port, "latency_timer"));
    }
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device")) {
        check.usbSpeedMbps = number(udev_device_get_sysattr_value(usb, "speed")).value_or(0);
        if (udev_device* hub =
                udev_device_get_parent_with_subsystem_devtype(usb, "usb", "usb_device")) {
            check.hub = hubOf(hub);
        }
    }
    // The rule tags the tty for the seat's user and tells ModemManager to
    // leave it alone.
    const char* ignored = udev_device_get_property_value(tty.get(), "ID_MM_DEVICE_IGNORE");
    check.udevRuleApplied = udev_device_has_tag(tty.get(), "uaccess") > 0 ||
                            (ignored != nullptr && std::strcmp(ignored, "1") == 0);
}

std::string modeText(mode_t mode) {
    std::string shown = S_ISCHR(mode) ? "c" : "-";
    const char* letters = "rwxrwxrwx";
    for (int bit = 8; bit >= 0; --bit) {
        shown.push_back((mode & (1u << bit)) != 0 ? letters[8 - bit] : '-');
    }
    return shown;
}

std::string userName(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
    const group* entry = ::getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

bool inGroup(gid_t gid) {
    if (::getegid() == gid) {
        return true;
    }
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
    if (count > 0 && ::getgroups(count, groups.data()) == count) {
        return std::find(groups.begin(), groups.end(), gid) != groups.end();
    }
    return false;
}

// Why this user may not read and write the tty, from its owner, group and
// mode, and what to do about it.
std::string permissionReason(const std::string& tty) {
    struct stat node {};
    if (::stat(tty.c_str(), &node) != 0) {
        return "permission denied";
    }
    const uid_t uid = ::geteuid();
    const std::string user = userName(uid);
    const std::string group = groupName(node.st_gid);
    std::string reason = "permission denied: " + tty + " is " + modeText(node.st_mode) + " " +
                         userName(node.st_uid) + ":" + group + "; ";
    if (node.st_uid == uid) {
        reason += "its owner " + user + " has no read and write on it";
    } else if (inGroup(node.st_gid)) {
        reason += user + " is in " + group + ", which has no read and write on it";
    } else {
        reason += user + " is neither its owner nor in " + group;
    }
    return reason + ". Install the udev rule (it gives the user at the seat access) or add " +
           user + " to the tty's group (sudo adduser " + user + " " + group +
           "), log in again and plug the adapter in again";
}

// The updater's own open: exclusive use, the raw line at the firmware's
// speed, the request for low latency; then closed, which restores the
// driver's flags.
void tryOpen(AdapterCheck& check, const std::string& timerSyspath, udev* u) {
    try {
        serInit(check.board.tty.c_str(), kFirmwareBaudRate);
    } catch (const SerialException& failure) {
        const int error = failure.errorNumber();
        if (failure.kind() == SerialFailure::ExclusiveUse) {
            check.access = error == EBUSY ? TtyAccess::InUse : TtyAccess::Unclaimed;
            check.accessReason =
                error == EBUSY ? "in use by another program for its exclusive use"
                               : std::string("exclusive use refused: ") + std::strerror(error);
        } else if (error == EACCES || error == EPERM) {
            check.access = TtyAccess::Denied;
            check.accessReason = permissionReason(check.board.tty);
        } else if (error == EBUSY) {
            check.access = TtyAccess::InUse;
            check.accessReason = "in use by another program for its exclusive use";
        } else {
            check.access = TtyAccess::Failed;
            check.accessReason = failure.reason();
        }
        return;
    }
    check.access = TtyAccess::Granted;
    switch (ser_low_latency.result) {
    case LowLatency::NotAsked:
        check.lowLatency = LowLatencyCheck::NotAsked;
        break;
    case LowLatency::Unsupported:
        check.lowLatency = LowLatencyCheck::Unsupported;
        break;
    case LowLatency::AlreadySet:
        check.lowLatency = LowLatencyCheck::AlreadySet;
        break;
    case LowLatency::Granted:
        check.lowLatency = LowLatencyCheck::Granted;
        break;
    case LowLatency::Unreadable:
        check.lowLatency = LowLatencyCheck::Unreadable;
        check.lowLatencyError = std::strerror(ser_low_latency.error);
        break;
    case LowLatency::Refused:
        check.lowLatency = LowLatencyCheck::Refused;
        check.lowLatencyError = std::strerror(ser_low_latency.error);
        break;
    }
    if (!timerSyspath.empty()) {
        check.openLatencyMs = freshAttribute(u, timerSyspath, "latency_timer");
    }
    serClose();
}

std::string usbSerialSyspath(udev* u, const std::string& tty) {
    const std::string sysname = std::filesystem::path(tty).filename().string();
    const UdevDevice device(udev_device_new_from_subsystem_sysname(u, "tty", sysname.c_str()));
    if (!device) {
        return {};
    }
    udev_device* port =
        udev_device_get_parent_with_subsystem_devtype(device.get(), "usb-serial", nullptr);
    return port != nullptr ? text(udev_device_get_syspath(port)) : std::string();
}

std::string speedText(unsigned mbps) {
    switch (mbps) {
    case 1:
    case 2:
        return "low speed (1.5 Mbit/s)";
    case 12:
        return "full speed (12 Mbit/s)";
    case 480:
        return "high speed (480 Mbit/s)";
    case 0:
        return "speed unknown";
    default:
        return std::to_string(mbps) + " Mbit/s";
    }
}

std::string hubText(const AdapterCheck& check) {
    if (!check.hub) {
        return "unknown";
    }
    const HubCheck& hub = *check.hub;
    std::string shown = hub.name;
    if (!hub.product.empty()) {
        shown += " \"" + hub.product + "\"";
    }
    shown += ", " + speedText(hub.speedMbps);
    if (hub.ports > 0) {
        shown += ", " + std::to_string(hub.ports) + " ports";
    }
    const std::string sharing = std::to_string(check.fullSpeedOnHub) + " full-speed adapter" +
                                (check.fullSpeedOnHub == 1 ? "" : "s") + " found behind it";
    switch (hub.translators) {
    case TransactionTranslators::RootHub:
        return shown + ": a root hub of the host controller, no transaction translator in between";
    case TransactionTranslators::None:
        return shown + ": a full-speed hub, everything behind it shares 12 Mbit/s (" + sharing +
               ")";
    case TransactionTranslators::Single:
        return shown +
               ": single-TT, one transaction translator for all its ports: its "
               "full-speed adapters share 12 Mbit/s (" +
               sharing + ")";
    case TransactionTranslators::Multi:
        return shown + ": multi-TT, a transaction translator per port: each full-speed adapter "
                       "has 12 Mbit/s of its own";
    case TransactionTranslators::Unknown:
        break;
    }
    return shown + ": its transaction translators are unknown";
}

std::string latencyText(const AdapterCheck& check) {
    std::string shown = check.latencyTimerMs
                            ? std::to_string(*check.latencyTimerMs) + " ms"
                            : std::string("none (the driver has no latency timer)");
    switch (check.lowLatency) {
    case LowLatencyCheck::NotAsked:
        return shown + "; low latency not asked for: the tty did not open";
    case LowLatencyCheck::Unsupported:
        return shown + "; low latency: the device has no serial settings to ask";
    case LowLatencyCheck::AlreadySet:
        return shown + "; low latency already set";
    case LowLatencyCheck::Granted:
        return shown + "; low latency granted" +
               (check.openLatencyMs
                    ? " (" + std::to_string(*check.openLatencyMs) + " ms while the tty is open)"
                    : std::string());
    case LowLatencyCheck::Refused:
        return shown + "; low latency REFUSED by the driver (" + check.lowLatencyError +
               "): every answer of the board may wait up to " +
               (check.openLatencyMs    ? std::to_string(*check.openLatencyMs)
                : check.latencyTimerMs ? std::to_string(*check.latencyTimerMs)
                                       : std::string("16")) +
               " ms; the udev rule sets the timer to 1 ms";
    case LowLatencyCheck::Unreadable:
        return shown + "; low latency: the serial settings could not be read (" +
               check.lowLatencyError + ")";
    }
    return shown;
}

const char* accessName(TtyAccess access) {
    switch (access) {
    case TtyAccess::Granted:
        return "yes";
    case TtyAccess::Denied:
        return "permission denied";
    case TtyAccess::InUse:
        return "in use";
    case TtyAccess::Unclaimed:
        return "exclusive use refused";
    case TtyAccess::Failed:
        break;
    }
    return "failed";
}

} // namespace

const char* transactionTranslatorsName(TransactionTranslators translators) {
    switch (translators) {
    case TransactionTranslators::RootHub:
        return "root hub";
    case TransactionTranslators::None:
        return "none";
    case TransactionTranslators::Single:
        return "single";
    case TransactionTranslators::Multi:
        return "multi";
    case TransactionTranslators::Unknown:
        break;
    }
    return "unknown";
}

const char* lowLatencyCheckName(LowLatencyCheck check) {
    switch (check) {
    case LowLatencyCheck::NotAsked:
        return "not asked";
    case LowLatencyCheck::Unsupported:
        return "unsupported";
    case LowLatencyCheck::AlreadySet:
        return "already set";
    case LowLatencyCheck::Granted:
        return "granted";
    case LowLatencyCheck::Refused:
        return "refused";
    case LowLatencyCheck::Unreadable:
        break;
    }
    return "unreadable";
}

DoctorSettings defaultDoctorSettings() {
    // The directories udev reads rules from.
    DoctorSettings settings;
    settings.ruleDirectories = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                "/lib/udev/rules.d"};
    return settings;
}

std::vector<AdapterCheck> examineAdapters(const std::vector<BoardIdentity>& boards,
                                          const DoctorSettings& settings) {
    std::optional<std::string> rule;
    for (const std::string& directory : settings.ruleDirectories) {
        const std::filesystem::path path = std::filesystem::path(directory) / settings.ruleName;
        std::error_code error;
        if (std::filesystem::is_regular_file(path, error)) {
            rule = path.string();
            break;
        }
    }
    const Udev u(udev_new());
    std::vector<AdapterCheck> checks;
    for (const BoardIdentity& board : boards) {
        AdapterCheck check;
        check.board = board;
        check.udevRule = rule;
        if (u) {
            examineUdev(u.get(), check);
        }
        tryOpen(check, u ? usbSerialSyspath(u.get(), board.tty) : std::string(), u.get());
        if (const std::optional<DeviceHolder> holder = findDeviceHolder(board.tty)) {
            check.holder = HolderCheck{holder->pid, holder->name};
        }
        if (check.access == TtyAccess::InUse && check.holder) {
            check.accessReason = "in use by " + check.holder->name + " (process " +
                                 std::to_string(check.holder->pid) + ") for its exclusive use";
        }
        checks.push_back(std::move(check));
    }
    // Full-speed adapters behind one hub share its translator (or all of it).
    std::map<std::string, unsigned> fullSpeed;
    for (const AdapterCheck& check : checks) {
        if (check.hub && check.usbSpeedMbps == 12) {
            ++fullSpeed[check.hub->syspath];
        }
    }
    for (AdapterCheck& check : checks) {
        if (check.hub) {
            check.fullSpeedOnHub = fullSpeed[check.hub->syspath];
        }
    }
    return checks;
}

std::string doctorText(const AdapterCheck& check) {
    std::ostringstream out;
    out << boardName(check.board) << "\n";
    if (!check.knownToUdev) {
        out << "  udev:          not a device udev lists; only the tty itself was examined\n";
    } else {
        out << "  driver:        " << (check.driver.empty() ? "unknown" : check.driver);
        if (check.usbSpeedMbps != 0) {
            out << ", " << speedText(check.usbSpeedMbps);
        }
        out << "\n";
        out << "  latency timer: " << latencyText(check) << "\n";
        out << "  hub:           " << hubText(check) << "\n";
    }
    out << "  may open:      "
        << (check.access == TtyAccess::Granted ? std::string("yes") : "no, " + check.accessReason)
        << "\n";
    out << "  udev rule:     "
        << (check.udevRule ? "installed (" + *check.udevRule + ")" : std::string("NOT installed"))
        << (check.knownToUdev
                ? (check.udevRuleApplied ? "; applied to this adapter"
                                         : "; NOT applied to this adapter (plug it in again after "
                                           "installing the rule)")
                : "")
        << "\n";
    out << "  held by:       "
        << (check.holder
                ? check.holder->name + " (process " + std::to_string(check.holder->pid) + ")"
            : check.access == TtyAccess::InUse
                ? std::string("another program, not among the processes this user may see "
                              "(sudo fuser -v " +
                              check.board.tty + ")")
                : std::string("nobody"))
        << "\n";
    return out.str();
}

std::string doctorJson(const AdapterCheck& check) {
    nlohmann::json line{{"tty", check.board.tty}, {"port", check.board.port}};
    if (!check.board.serial.empty()) {
        line["serial"] = check.board.serial;
    }
    line["udev_known"] = check.knownToUdev;
    if (!check.driver.empty()) {
        line["driver"] = check.driver;
    }
    if (check.usbSpeedMbps != 0) {
        line["usb_speed_mbps"] = check.usbSpeedMbps;
    }
    if (check.latencyTimerMs) {
        line["latency_timer_ms"] = *check.latencyTimerMs;
    }
    if (check.openLatencyMs) {
        line["open_latency_timer_ms"] = *check.openLatencyMs;
    }
    line["low_latency"] = lowLatencyCheckName(check.lowLatency);
    if (!check.lowLatencyError.empty()) {
        line["low_latency_error"] = check.lowLatencyError;
    }
    if (check.hub) {
        nlohmann::json hub{
            {"name", check.hub->name},
            {"transaction_translators", transactionTranslatorsName(check.hub->translators)},
            {"full_speed_adapters", check.fullSpeedOnHub}};
        if (!check.hub->product.empty()) {
            hub["product"] = check.hub->product;
        }
        if (check.hub->speedMbps != 0) {
            hub["speed_mbps"] = check.hub->speedMbps;
        }
        if (check.hub->ports != 0) {
            hub["ports"] = check.hub->ports;
        }
        line["hub"] = hub;
    }
    line["access"] = accessName(check.access);
    if (!check.accessReason.empty()) {
        line["access_reason"] = check.accessReason;
    }
    line["udev_rule"] = check.udevRule ? nlohmann::json(*check.udevRule) : nlohmann::json(nullptr);
    line["udev_rule_applied"] = check.udevRuleApplied;
    line["holder"] = check.holder
                         ? nlohmann::json{{"pid", check.holder->pid}, {"name", check.holder->name}}
                         : nlohmann::json(nullptr);
    return line.dump();
}

int runDoctorCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool json = false;
    std::vector<std::string> ports;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--port" && i + 1 < args.size() && !args[i + 1].empty()) {
            ports.push_back(args[++i]);
        } else if (args[i].starts_with("--port=") && args[i].size() > 7) {
            ports.push_back(args[i].substr(7));
        } else {
            err << "qrb-flash: doctor: "
                << (args[i] == "--port" ? "--port needs a tty" : "unknown option " + args[i])
                << "\nTry 'qrb-flash --help' for more.\n";
            return kExitUsage;
        }
    }
    const std::vector<AdapterCheck> checks =
        examineAdapters(Station::attachedBoards(ports), defaultDoctorSettings());
    if (checks.empty()) {
        if (!json) {
            err << "qrb-flash: no QRB Box found\n";
        }
        return kExitNoBoard;
    }
    bool first = true;
    for (const AdapterCheck& check : checks) {
        if (json) {
            out << doctorJson(check) << '\n';
        } else {
            out << (first ? "" : "\n") << doctorText(check);
        }
        first = false;
    }
    return kExitOk;
}
