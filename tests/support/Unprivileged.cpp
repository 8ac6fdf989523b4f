#include "Unprivileged.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testing_support {

namespace {

constexpr const char* kChildRunVariable = "QRB_TEST_UNPRIVILEGED_RUN";

const std::vector<std::string> kSetpriv = {"setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups"};

} // namespace

int runCommand(const std::vector<std::string>& command,
               const std::vector<std::string>& extraEnvironment, std::chrono::milliseconds limit) {
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    // An extra entry replaces the process's own of the same name.
    auto replaced = [&extraEnvironment](const char* entry) {
        const std::string_view name(entry, std::strcspn(entry, "="));
        for (const std::string& extra : extraEnvironment) {
            if (extra.size() > name.size() && extra.compare(0, name.size(), name) == 0 &&
                extra[name.size()] == '=') {
                return true;
            }
        }
        return false;
    };
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!replaced(*entry)) {
            envp.push_back(*entry);
        }
    }
    for (const std::string& entry : extraEnvironment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    pid_t child = -1;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool inUnprivilegedRun() {
    return std::getenv(kChildRunVariable) != nullptr;
}

std::optional<int> runCurrentTestUnprivileged(const std::vector<std::string>& extraEnvironment,
                                              std::chrono::milliseconds limit) {
    std::vector<std::string> command;
    if (geteuid() == 0) {
        std::vector<std::string> probe = kSetpriv;
        probe.push_back("true");
        if (runCommand(probe, {}) != 0) {
            return std::nullopt;
        }
        command = kSetpriv;
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    command.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
    command.push_back(std::string("--gtest_filter=") + test->test_suite_name() + "." +
                      test->name());
    std::vector<std::string> environment = extraEnvironment;
    environment.push_back(std::string(kChildRunVariable) + "=1");
    // A state directory the child may write (its update history).
    TempDir state;
    if (geteuid() == 0 && ::chown(state.path().c_str(), 65534, 65534) != 0) {
        return std::nullopt;
    }
    environment.push_back("XDG_STATE_HOME=" + state.path().string());
    return runCommand(command, environment, limit);
}

} // namespace testing_support
