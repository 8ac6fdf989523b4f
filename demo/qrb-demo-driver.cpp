// qrb-demo-driver: runs the real qrb-updater against an emulated QRB board.
//
// It makes a umockdev testbed (an emulated /sys and /dev for the programs it
// starts), starts the board simulator on a pseudo-terminal, and starts
// qrb-updater under umockdev's preload library with the testbed
// ($UMOCKDEV_DIR) and the demo probe (demo/DemoProbe.cpp), a Qt plugin
// that reports every screen the program shows. Once the welcome screen is up
// it plugs in a USB serial adapter with the serial number QRB00042, whose
// /dev/ttyUSB0 is the simulator's pseudo-terminal, so the simulator sees the
// line speeds the program sets. With --press-default it presses Return on
// every alert (a real key press through the X server, with xdotool; --key
// Escape presses that key instead, the way out of an alert); without
// it a person clicks through. It prints the screens and alerts as they come,
// and at the end the board's state; a watchdog ends everything after
// --timeout seconds.
//
// Exit status: 0 when the program ended with status 0 (and, with
// --expect-update, after the "Firmware Update" alert with the board sealed
// with the image version); 1 when not; 2 for a usage error; 3 on time-out.

#include "BoardSimulator.h"
#include "EmulatedAdapter.h"
#include "PropertyList.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kProbeFd = 3; // the probe's report channel in the program

struct Options {
    std::string updater;
    std::string plugins;   // holds generic/libqrbdemoprobe.so
    std::string resources; // the update configuration, to know the image version
    std::string shots;     // screenshots; empty: none
    bool pressDefault = false;
    std::string key = "Return"; // the key pressed on every alert
    bool expectUpdate = false;
    std::chrono::seconds timeout{120};
    std::chrono::milliseconds plugInDelay{1000};
    // The board behind a USB serial converter's chip unless told otherwise.
    qrbsim::SimulatorConfig board = [] {
        qrbsim::SimulatorConfig config;
        config.adapter = qrbsim::AdapterModel::Ftdi;
        return config;
    }();
};

std::mutex outputMutex;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::cout << line << std::endl;
}

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "qrb-demo-driver: " << problem << "\n"
              << "usage: qrb-demo-driver --updater PATH --plugins DIR --resources DIR\n"
                 "         [--shots DIR] [--press-default] [--key KEY] [--expect-update] "
                 "[--timeout SEC]\n"
                 "         [--plug-in-delay MS] [--version-word WORD] [--block-words N]\n"
                 "         [--pace] [--adapter none|ftdi|cdc-acm] [--fault FAULT]...\n";
    std::exit(2);
}

uint64_t number(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0') {
        usage(option + ": expected a number, got \"" + text + "\"");
    }
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(option + " needs a value");
            }
            return argv[++i];
        };
        if (option == "--updater") {
            options.updater = value();
        } else if (option == "--plugins") {
            options.plugins = value();
        } else if (option == "--resources") {
            options.resources = value();
        } else if (option == "--shots") {
            options.shots = value();
        } else if (option == "--press-default") {
            options.pressDefault = true;
        } else if (option == "--key") {
            options.key = value();
        } else if (option == "--expect-update") {
            options.expectUpdate = true;
        } else if (option == "--timeout") {
            options.timeout = std::chrono::seconds(number(option, value()));
        } else if (option == "--plug-in-delay") {
            options.plugInDelay = std::chrono::milliseconds(number(option, value()));
        } else if (option == "--version-word") {
            const uint64_t word = number(option, value());
            if (word > 0xFFFFFFFFu) {
                usage("--version-word: more than 32 bits");
            }
            options.board.versionWord = static_cast<uint32_t>(word);
        } else if (option == "--block-words") {
            options.board.blockWords = static_cast<uint32_t>(number(option, value()));
        } else if (option == "--pace") {
            options.board.pace = true;
        } else if (option == "--adapter") {
            const std::string model = value();
            const auto parsed = qrbsim::parseAdapterModel(model);
            if (!parsed) {
                usage("--adapter: expected none, ftdi or cdc-acm, got \"" + model + "\"");
            }
            options.board.adapter = *parsed;
        } else if (option == "--fault") {
            try {
                options.board.faults.push_back(qrbsim::parseFault(value()));
            } catch (const std::invalid_argument& e) {
                usage(e.what());
            }
        } else {
            usage("unknown option " + option);
        }
    }
    if (options.updater.empty() || options.plugins.empty() || options.resources.empty()) {
        usage("--updater, --plugins and --resources are required");
    }
    return options;
}

// The image version word (major | minor << 8 | rev << 16) of the update
// configuration.
std::optional<uint32_t> imageVersion(const std::string& resources) {
    const auto plist = readPropertyListDictionary(resources + "/QRB_Image.plist");
    if (!plist) {
        return std::nullopt;
    }
    uint32_t word = 0;
    int shift = 0;
    for (const char* key : {"QRB_FW_Image_Version_Major", "QRB_FW_Image_Version_Minor",
                            "QRB_FW_Image_Version_Revision"}) {
        const PropertyListValue* value = plist->find(key);
        if (value == nullptr || value->integer() == nullptr) {
            return std::nullopt;
        }
        word |= static_cast<uint32_t>(*value->integer() & 0xFF) << shift;
        shift += 8;
    }
    return word;
}

std::string versionText(uint32_t word) {
    if (word == qrbsim::kNoFirmware) {
        return "none (0xFFFFFFFF)";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%u.%u.%u (0x%08x)", word & 0xFF, (word >> 8) & 0xFF,
                  (word >> 16) & 0xFF, word);
    return text;
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            fields.push_back(field);
            field.clear();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char next = line[++i];
            field += next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

std::string indented(const std::string& text) {
    std::string result = "      \"";
    for (char c : text) {
        result += c;
        if (c == '\n') {
            result += "       ";
        }
    }
    return result + "\"";
}

// Environment of the program: the testbed and the probe.
std::vector<std::string> childEnvironment(const Options& options) {
    std::vector<std::string> env;
    std::string preload;
    std::string pluginPath = options.plugins;
    std::string asan = "verify_asan_link_order=0";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        const std::string value = variable.substr(name.size() + 1);
        if (name == "LD_PRELOAD") {
            preload = value;
        } else if (name == "QT_PLUGIN_PATH") {
            pluginPath += value.empty() ? "" : ":" + value;
        } else if (name == "ASAN_OPTIONS") {
            asan = value.empty() ? asan : value + ":" + asan;
        } else if (name != "QT_QPA_GENERIC_PLUGINS" && name != "QRB_DEMO_PROBE_FD" &&
                   name != "QRB_DEMO_SHOTS") {
            env.push_back(variable);
        }
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back("QT_PLUGIN_PATH=" + pluginPath);
    env.push_back("QT_QPA_GENERIC_PLUGINS=qrbdemoprobe");
    env.push_back("QRB_DEMO_PROBE_FD=" + std::to_string(kProbeFd));
    if (!options.shots.empty()) {
        env.push_back("QRB_DEMO_SHOTS=" + options.shots);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// Starts argv[0] (searched on PATH) in a process group of its own; with
// reportFd >= 0 that descriptor becomes kProbeFd in the child. Every other
// descriptor above standard error is closed in the child.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int reportFd) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    if (reportFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, reportFd, kProbeFd);
        posix_spawn_file_actions_addclosefrom_np(&actions, kProbeFd + 1);
    } else {
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    std::vector<char*> args = pointers(argv);
    std::vector<char*> vars = pointers(env);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), vars.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
    return pid;
}

// The environment for helper commands: without umockdev's preload library.
std::vector<std::string> toolEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0) {
            env.emplace_back(*entry);
        }
    }
    return env;
}

// Runs a short helper command; false when it fails or takes over 10 s.
bool runTool(const std::vector<std::string>& argv) {
    pid_t pid = -1;
    try {
        pid = spawn(argv, toolEnvironment(), -1);
    } catch (const std::runtime_error& e) {
        say(std::string("demo: ") + e.what());
        return false;
    }
    const auto deadline = Clock::now() + 10s;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Ends everything if the demo overruns its time by far (a wedged helper or
// simulator); the main loop keeps the ordinary time limit itself.
class Watchdog {
  public:
    Watchdog(std::chrono::seconds limit, std::atomic<pid_t>& child)
        : thread_([this, limit, &child] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, limit + 15s, [this] { return finished_; })) {
                  std::fprintf(stderr, "qrb-demo-driver: watchdog: still running after %llds\n",
                               static_cast<long long>(limit.count() + 15));
                  const pid_t pid = child.load();
                  if (pid > 0) {
                      kill(-pid, SIGKILL);
                  }
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

struct Outcome {
    std::optional<int> exitStatus;
    bool timedOut = false;
    std::string lastAlert;
    int screens = 0;
};

class Demo {
  public:
    explicit Demo(const Options& options) : options_(options) {}

    Outcome run() {
        qrbsim::UmockdevTestbed testbed;
        const char* dir = std::getenv("UMOCKDEV_DIR");
        if (dir == nullptr || testbed.rootDir() != dir) {
            throw std::runtime_error("the testbed did not set UMOCKDEV_DIR");
        }

        qrbsim::SimulatorConfig config = options_.board;
        if (config.adapter == qrbsim::AdapterModel::Ftdi) {
            // The simulated chip holds the board's answers for the timer that
            // the emulated driver shows.
            config.latencyTimerFile =
                testbed.rootDir() +
                qrbsim::EmulatedAdapter::usbSerialSyspath(qrbsim::qrbAdapter()) + "/latency_timer";
        }
        config.onEvent = [](const std::string& event) { say("    board: " + event); };
        board_ = std::make_unique<qrbsim::BoardSimulator>(config);
        board_->start();
        say("demo: board simulator on " + board_->slavePath() + ", firmware version " +
            versionText(options_.board.versionWord) + ", adapter model " +
            qrbsim::adapterModelName(options_.board.adapter) +
            (options_.board.pace ? ", paced" : ""));

        int report[2];
        if (pipe2(report, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        }
        say("demo: starting " + options_.updater + " under umockdev");
        child_ = spawn({options_.updater}, childEnvironment(options_), report[1]);
        ::close(report[1]);

        Outcome outcome;
        try {
            outcome = loop(testbed, report[0]);
        } catch (...) {
            kill(-child_, SIGKILL);
            waitpid(child_, nullptr, 0);
            throw;
        }
        ::close(report[0]);
        exclusiveUse_.reset();
        board_->stop();
        if (serialSettings_) {
            say("demo: the updater asked the adapter's driver " +
                std::to_string(serialSettings_->requests()) +
                " times to change its serial settings; latency timer now " +
                std::to_string(serialSettings_->latencyTimer()) + " ms");
        }
        return outcome;
    }

    const qrbsim::BoardSimulator& board() const { return *board_; }
    std::atomic<pid_t>& child() { return child_; }

  private:
    void plugIn(qrbsim::UmockdevTestbed& testbed) {
        const qrbsim::AdapterDescription adapter = qrbsim::qrbAdapter();
        // The node is the simulator's own pseudo-terminal rather than one of
        // umockdev's, so the simulator sees the line settings the program makes.
        const fs::path node = fs::path(testbed.rootDir()) / "dev" / adapter.ttyName;
        fs::create_directories(node.parent_path());
        fs::create_symlink(board_->slavePath(), node);
        if (options_.board.adapter == qrbsim::AdapterModel::Ftdi) {
            serialSettings_ = std::make_unique<qrbsim::ConverterSerialSettings>(
                testbed, qrbsim::EmulatedAdapter::usbSerialSyspath(adapter));
        }
        exclusiveUse_ = std::make_unique<qrbsim::ExclusiveUseHandler>(
            testbed, "/dev/" + adapter.ttyName, serialSettings_.get());
        testbed.addFromString(qrbsim::EmulatedAdapter::describe(adapter, false));
        say("demo: plugged in a USB serial adapter, serial number " +
            adapter.usbSerialNumber.value_or("") + ", as /dev/" + adapter.ttyName);
    }

    void pressKey(const std::string& window) {
        if (!runTool({"xdotool", "windowfocus", window})) {
            say("demo: xdotool could not focus window " + window);
        }
        std::this_thread::sleep_for(100ms);
        if (!runTool({"xdotool", "key", "--clearmodifiers", options_.key})) {
            say("demo: xdotool could not press " + options_.key);
        }
    }

    void onScreen(const std::vector<std::string>& fields, Outcome& outcome) {
        // screen <n> <png> <kind> ...
        if (fields.size() < 4 || fields[0] != "screen") {
            say("demo: probe: " + fields[0]);
            return;
        }
        ++outcome.screens;
        const std::string& kind = fields[3];
        std::ostringstream text;
        text << "[" << fields[1] << "] ";
        if (kind == "main" && fields.size() >= 6) {
            text << "main window\n" << indented(fields[4]) << "\n" << indented(fields[5]);
            if (!welcomeSeen_) {
                welcomeSeen_ = true;
                plugInAt_ = Clock::now() + options_.plugInDelay;
            }
        } else if (kind == "busy" && fields.size() >= 5) {
            text << "busy panel\n" << indented(fields[4]);
            if (fields.size() >= 6 && !fields[5].empty()) {
                text << "\n" << indented(fields[5]);
            }
        } else if (kind == "alert" && fields.size() >= 10) {
            const std::string& window = fields[4];
            text << "alert (" << fields[5] << ")\n" << indented(fields[6]);
            if (!fields[7].empty()) {
                text << "\n" << indented(fields[7]);
            }
            text << "\n      buttons:";
            for (size_t i = 9; i < fields.size(); ++i) {
                text << " [" << fields[i] << "]";
            }
            outcome.lastAlert = fields[6];
            alertWindow_ = window;
            alertDefault_ = fields[8];
            presses_ = 0;
            nextPressAt_ = Clock::now();
        } else {
            text << kind;
        }
        if (fields[2] != "-") {
            text << "\n      screenshot: " << fields[2];
        }
        say(text.str());
        if (kind != "alert") {
            alertWindow_.clear();
        }
    }

    Outcome loop(qrbsim::UmockdevTestbed& testbed, int reportFd) {
        Outcome outcome;
        const auto deadline = Clock::now() + options_.timeout;
        const auto firstScreenDeadline = Clock::now() + 30s;
        std::string pending;
        bool reportOpen = true;
        for (;;) {
            if (!outcome.exitStatus) {
                int status = 0;
                if (waitpid(child_, &status, WNOHANG) == child_) {
                    outcome.exitStatus =
                        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                    say("demo: qrb-updater ended with status " +
                        std::to_string(*outcome.exitStatus));
                }
            }
            if (outcome.exitStatus && !reportOpen) {
                break;
            }
            if (outcome.screens == 0 && !outcome.exitStatus && Clock::now() > firstScreenDeadline) {
                say("demo: no screen reported within 30 s; is the probe plugin in " +
                    options_.plugins + "/generic?");
                kill(-child_, SIGKILL);
                waitpid(child_, nullptr, 0);
                outcome.exitStatus = 128 + SIGKILL;
                break;
            }
            if (Clock::now() > deadline) {
                say("demo: time limit of " + std::to_string(options_.timeout.count()) +
                    " s passed");
                outcome.timedOut = true;
                if (!outcome.exitStatus) {
                    kill(-child_, SIGKILL);
                    waitpid(child_, nullptr, 0);
                }
                break;
            }
            if (plugInAt_ && Clock::now() >= *plugInAt_) {
                plugInAt_.reset();
                plugIn(testbed);
            }
            if (!alertWindow_.empty() && options_.pressDefault && Clock::now() >= nextPressAt_) {
                if (presses_ == 3) {
                    say("demo: the alert does not go away; giving up");
                    kill(-child_, SIGTERM);
                    alertWindow_.clear();
                } else {
                    ++presses_;
                    say("      pressing " + options_.key +
                        (options_.key == "Return" ? ": \"" + alertDefault_ + "\"" : ""));
                    pressKey(alertWindow_);
                    nextPressAt_ = Clock::now() + 3s;
                }
            }
            if (!reportOpen) {
                std::this_thread::sleep_for(50ms);
                continue;
            }
            pollfd fd{reportFd, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(reportFd, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                reportOpen = false;
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                onScreen(splitFields(pending.substr(0, end)), outcome);
                pending.erase(0, end + 1);
            }
        }
        return outcome;
    }

    const Options& options_;
    std::unique_ptr<qrbsim::BoardSimulator> board_;
    std::unique_ptr<qrbsim::ConverterSerialSettings> serialSettings_;
    std::unique_ptr<qrbsim::ExclusiveUseHandler> exclusiveUse_;
    std::atomic<pid_t> child_{-1};
    bool welcomeSeen_ = false;
    std::optional<Clock::time_point> plugInAt_;
    std::string alertWindow_;
    std::string alertDefault_;
    int presses_ = 0;
    Clock::time_point nextPressAt_{};
};

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    // The testbed sends its uevents through umockdev's preload library, so
    // this process runs under it too (as umockdev-wrapper would run it).
    if (!qrbsim::underUmockdev()) {
        const char* preload = std::getenv("LD_PRELOAD");
        const std::string value = std::string("libumockdev-preload.so.0") +
                                  (preload != nullptr && *preload != '\0' ? ":" : "") +
                                  (preload != nullptr ? preload : "");
        setenv("LD_PRELOAD", value.c_str(), 1);
        // AddressSanitizer wants to be the first library loaded, which the
        // preload library now is.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string asanOptions = std::string(asan != nullptr && *asan != '\0' ? asan : "") +
                                        (asan != nullptr && *asan != '\0' ? ":" : "") +
                                        "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::cerr << "qrb-demo-driver: cannot run itself under umockdev: " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    const std::optional<uint32_t> image = imageVersion(options.resources);
    if (!image) {
        std::cerr << "qrb-demo-driver: cannot read the image version from " << options.resources
                  << "/QRB_Image.plist\n";
        return 2;
    }
    if (!options.pressDefault) {
        say("demo: click through the updater's windows; the demo ends when it does");
    }

    Demo demo(options);
    Outcome outcome;
    try {
        Watchdog watchdog(options.timeout, demo.child());
        outcome = demo.run();
    } catch (const std::exception& e) {
        std::cerr << "qrb-demo-driver: " << e.what() << "\n";
        return 1;
    }

    const qrbsim::BoardSimulator& board = demo.board();
    say("demo: board " + std::string(qrbsim::boardStateName(board.state())) +
        ", firmware version " + versionText(board.versionWord()) +
        (board.sealed() ? ", sealed" : ", not sealed") + "; programmed " +
        std::to_string(board.bytesProgrammedRam()) + " bytes of RAM, " +
        std::to_string(board.bytesProgrammedFlash()) + " bytes of flash");
    say("demo: image version " + versionText(*image) + "; " + std::to_string(outcome.screens) +
        " screens");

    if (outcome.timedOut) {
        return 3;
    }
    bool ok = outcome.exitStatus == 0;
    if (options.expectUpdate) {
        const bool updated = outcome.lastAlert == "Firmware Update" && board.sealed() &&
                             (board.versionWord() & 0xFFFFFF) == *image;
        if (!updated) {
            say("demo: expected the \"Firmware Update\" alert and the board sealed with the "
                "image version");
        }
        ok = ok && updated;
    }
    say(ok ? "demo: done" : "demo: FAILED");
    return ok ? 0 : 1;
}
