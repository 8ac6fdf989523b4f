#include "FirmwareUpdaterException.h"
#include "Pty.h"
#include "Serial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// The device that a parent run of this test holds; set only in the child run.
constexpr const char* kHeldDeviceVariable = "QRB_TEST_HELD_DEVICE";

// Runs a command with one more environment variable; returns its exit status,
// or -1 when it could not be started or had to be killed after 20 seconds.
int run(const std::vector<std::string>& command, const std::string& extraEnvironment) {
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    envp.push_back(const_cast<char*>(extraEnvironment.c_str()));
    envp.push_back(nullptr);

    pid_t child = -1;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return -1;
    }
    int status = 0;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
        if (waited == 2000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SerialExclusiveUse, SecondOpenOfAHeldDeviceIsBusy) {
    if (const char* held = std::getenv(kHeldDeviceVariable)) {
        // Child run: another process holds the device.
        try {
            serInit(held, kBootloaderBaudRate);
            ADD_FAILURE() << "a held device was opened";
        } catch (const SerialException& e) {
            EXPECT_EQ(e.name(), "SerialOpenError");
            EXPECT_EQ(e.reason(), "Connection to QRB board failed: open(" + std::string(held) +
                                      ") failed. errno 16 Device or resource busy. Make sure "
                                      "that other applications are not connected to QRB board.");
        }
        return;
    }

    testing_support::Pty pty;
    serInit(pty.slavePath().c_str(), kBootloaderBaudRate);

    // Exclusive use does not bind a privileged process, so the second open
    // runs in a child without privileges.
    std::vector<std::string> command;
    if (geteuid() == 0) {
        command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        std::vector<std::string> probe = command;
        probe.push_back("true");
        if (run(probe, "QRB_PROBE=1") != 0) {
            serClose();
            GTEST_SKIP() << "setpriv is needed to open the device as an unprivileged user";
        }
        ASSERT_EQ(chmod(pty.slavePath().c_str(), 0666), 0);
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    command.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
    command.push_back(std::string("--gtest_filter=") + test->test_suite_name() + "." +
                      test->name());
    EXPECT_EQ(run(command, std::string(kHeldDeviceVariable) + "=" + pty.slavePath()), 0);
    serClose();
}

} // namespace
