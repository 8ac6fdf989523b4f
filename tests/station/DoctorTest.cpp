// `qrb-flash doctor` on emulated adapters in a umockdev testbed: the program
// itself for udev's view of adapters and hubs and for the driver's answer to
// the request for low latency, and in process, as an unprivileged user, for
// a tty that user may not open. Runs under umockdev-wrapper.

#include "Doctor.h"
#include "EmulatedAdapter.h"
#include "TempDir.h"
#include "Unprivileged.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

namespace {

using nlohmann::json;
using qrbsim::AdapterDescription;
using qrbsim::AdapterKind;
using qrbsim::EmulatedAdapter;
using qrbsim::qrbAdapter;

// The program's standard output and exit status.
std::pair<std::string, int> runProgram(const std::string& arguments) {
    const std::string command = std::string(QRB_FLASH) + " " + arguments;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {"", -1};
    }
    std::string out;
    char buffer[4096];
    while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
        out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::map<std::string, json> linesByTty(const std::string& out) {
    std::map<std::string, json> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        const json line = json::parse(out.substr(start, end - start));
        lines[line.at("tty").get<std::string>()] = line;
    }
    return lines;
}

std::string attribute(const std::string& path) {
    std::ifstream file(path);
    std::string value;
    std::getline(file, value);
    return value;
}

AdapterDescription behindHub(const std::string& serial, const std::string& tty,
                             const std::string& port, const std::string& hubPort,
                             unsigned protocol) {
    AdapterDescription adapter = qrbAdapter(serial, tty, port);
    adapter.hub = AdapterDescription::Hub{};
    adapter.hub->usbPort = hubPort;
    adapter.hub->protocol = protocol;
    return adapter;
}

TEST(Doctor, TellsDriversTimersHubsAndHoldersOfEveryAdapterAndLeavesTheDriversAsFound) {
    ASSERT_TRUE(qrbsim::underUmockdev()) << "run this test under umockdev-wrapper";
    qrbsim::UmockdevTestbed testbed;
    // Two converters behind one single-TT hub, the first refusing low
    // latency; one behind a multi-TT hub; a modem on a root port.
    EmulatedAdapter refusing(testbed, behindHub("QRB00201", "ttyUSB0", "1-3.1", "1-3", 1));
    EmulatedAdapter granting(testbed, behindHub("QRB00202", "ttyUSB1", "1-3.2", "1-3", 1));
    EmulatedAdapter multi(testbed, behindHub("QRB00203", "ttyUSB2", "1-4.1", "1-4", 2));
    AdapterDescription modemDescription = qrbAdapter("QRB00204", "ttyACM0", "1-5");
    modemDescription.kind = AdapterKind::CdcAcmModem;
    EmulatedAdapter modem(testbed, modemDescription);
    for (EmulatedAdapter* adapter : {&refusing, &granting, &multi, &modem}) {
        adapter->allowExclusiveOpen();
        adapter->plugIn();
    }
    refusing.refuseSerialSettings(EPERM);

    // Another program has the modem's tty open.
    const int held = ::open("/dev/ttyACM0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    int release[2] = {-1, -1};
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    int named[2] = {-1, -1};
    ASSERT_EQ(::pipe2(named, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        char byte = 0;
        ::syscall(SYS_close, release[1]);
        ::syscall(SYS_prctl, PR_SET_NAME, "qrb-test-holder", 0, 0, 0);
        ::syscall(SYS_write, named[1], &byte, 1);
        ::syscall(SYS_read, release[0], &byte, 1);
        ::syscall(SYS_exit_group, 0);
    }
    ::close(release[0]);
    ::close(named[1]);
    ::close(held);
    // The holder has its name before the doctor looks for it.
    char named_byte = 0;
    ASSERT_EQ(::read(named[0], &named_byte, 1), 1);
    ::close(named[0]);

    const auto [out, code] = runProgram("doctor --json");
    ::close(release[1]);
    ::waitpid(holder, nullptr, 0);
    ASSERT_EQ(code, 0) << out;
    std::map<std::string, json> lines = linesByTty(out);
    ASSERT_EQ(lines.size(), 4u) << out;

    const json& first = lines["/dev/ttyUSB0"];
    EXPECT_EQ(first["serial"], "QRB00201");
    EXPECT_EQ(first["driver"], "ftdi_sio");
    EXPECT_EQ(first["usb_speed_mbps"], 12);
    EXPECT_EQ(first["latency_timer_ms"], 16);
    EXPECT_EQ(first["low_latency"], "refused");
    EXPECT_EQ(first["low_latency_error"], std::strerror(EPERM));
    EXPECT_EQ(first["open_latency_timer_ms"], 16) << "a refusal leaves the timer as it was";
    EXPECT_EQ(first["hub"]["name"], "1-3");
    EXPECT_EQ(first["hub"]["transaction_translators"], "single");
    EXPECT_EQ(first["hub"]["full_speed_adapters"], 2) << "the two converters behind it";
    EXPECT_EQ(first["access"], "yes");
    EXPECT_TRUE(first["holder"].is_null());

    const json& second = lines["/dev/ttyUSB1"];
    EXPECT_EQ(second["low_latency"], "granted");
    EXPECT_EQ(second["open_latency_timer_ms"], 1);
    EXPECT_EQ(second["hub"]["name"], "1-3");
    EXPECT_EQ(granting.latencyTimer(), 16u) << "the driver's flags are restored on close";
    EXPECT_EQ(attribute(granting.latencyTimerPath()), "16");

    EXPECT_EQ(lines["/dev/ttyUSB2"]["hub"]["transaction_translators"], "multi");
    EXPECT_EQ(lines["/dev/ttyUSB2"]["hub"]["full_speed_adapters"], 1);

    const json& acm = lines["/dev/ttyACM0"];
    EXPECT_EQ(acm["driver"], "cdc_acm");
    EXPECT_FALSE(acm.contains("latency_timer_ms"));
    EXPECT_EQ(acm["low_latency"], "unsupported");
    EXPECT_EQ(acm["hub"]["name"], "usb1");
    EXPECT_EQ(acm["hub"]["transaction_translators"], "root hub");
    ASSERT_TRUE(acm["holder"].is_object()) << acm.dump();
    EXPECT_EQ(acm["holder"]["name"], "qrb-test-holder");
    EXPECT_EQ(acm["holder"]["pid"], holder);

    // The same for a person, the refusal spelled out.
    const auto [text, textCode] = runProgram("doctor --port /dev/ttyUSB0");
    EXPECT_EQ(textCode, 0);
    EXPECT_NE(text.find("low latency REFUSED by the driver"), std::string::npos) << text;
    EXPECT_NE(text.find("single-TT"), std::string::npos) << text;
    EXPECT_EQ(text.find("/dev/ttyUSB1"), std::string::npos) << "only the port asked for";
}

TEST(Doctor, WithoutAdaptersOrWithAWrongOptionSaysSoByItsExitCode) {
    ASSERT_TRUE(qrbsim::underUmockdev()) << "run this test under umockdev-wrapper";
    qrbsim::UmockdevTestbed testbed;
    EXPECT_EQ(runProgram("doctor --json 2>/dev/null").second, 2);
    EXPECT_EQ(runProgram("doctor --jsn 2>/dev/null").second, 64);
}

// Permissions bind only an unprivileged process: the body runs again through
// setpriv as nobody when the tests run as root.
TEST(DoctorUnprivileged, ATtyTheUserMayNotOpenIsExplainedAndItsDriverLeftAlone) {
    if (!testing_support::inUnprivilegedRun()) {
        const std::optional<int> status = testing_support::runCurrentTestUnprivileged();
        if (!status) {
            GTEST_SKIP() << "setpriv is needed to run as an unprivileged user";
        }
        EXPECT_EQ(*status, 0) << "the child run failed";
        return;
    }
    ASSERT_TRUE(qrbsim::underUmockdev()) << "run this test under umockdev-wrapper";
    qrbsim::UmockdevTestbed testbed;
    EmulatedAdapter adapter(testbed, qrbAdapter("QRB00301", "ttyUSB0", "1-2"));
    adapter.allowExclusiveOpen();
    adapter.plugIn();
    ASSERT_EQ(::chmod(adapter.deviceNode().c_str(), 0), 0);
    testing_support::TempDir rules;
    std::ofstream(rules.path() / "70-qrb-updater.rules") << "# the rule\n";
    DoctorSettings settings;
    settings.ruleDirectories = {"/nonexistent", rules.path().string()};

    const std::vector<AdapterCheck> checks =
        examineAdapters({{"/dev/ttyUSB0", "pci-0000:00:14.0-usb-0:2:1.0", "QRB00301"}}, settings);
    ASSERT_EQ(checks.size(), 1u);
    const AdapterCheck& check = checks[0];
    EXPECT_EQ(check.access, TtyAccess::Denied);
    EXPECT_NE(check.accessReason.find("permission denied: /dev/ttyUSB0 is c---------"),
              std::string::npos)
        << check.accessReason;
    EXPECT_NE(check.accessReason.find("has no read and write on it"), std::string::npos)
        << check.accessReason;
    EXPECT_EQ(check.lowLatency, LowLatencyCheck::NotAsked);
    EXPECT_EQ(check.latencyTimerMs, 16u) << "udev's view needs no open";
    EXPECT_EQ(adapter.serialSettingsRequests(), 0u);
    ASSERT_TRUE(check.udevRule);
    EXPECT_EQ(*check.udevRule, (rules.path() / "70-qrb-updater.rules").string());
    EXPECT_FALSE(check.udevRuleApplied);

    const std::string text = doctorText(check);
    EXPECT_NE(text.find("  may open:      no, permission denied"), std::string::npos) << text;
    EXPECT_NE(text.find("low latency not asked for: the tty did not open"), std::string::npos)
        << text;
    EXPECT_NE(text.find("NOT applied to this adapter"), std::string::npos) << text;
    const json line = json::parse(doctorJson(check));
    EXPECT_EQ(line["access"], "permission denied");
    EXPECT_EQ(line["low_latency"], "not asked");
}

} // namespace
