#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Runs command (its first word looked up in PATH) with the environment of this
// process plus extraEnvironment ("NAME=value" entries). Returns its exit
// status, or -1 when it could not be started, died of a signal or had to be
// killed after limit.
int runCommand(const std::vector<std::string>& command,
               const std::vector<std::string>& extraEnvironment,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// Device permissions and exclusive use do not bind a privileged process, so
// tests of them run their body in a child run of the current test as an
// unprivileged user: as root through setpriv as nobody (65534, no groups),
// otherwise as the user that runs the tests.
//
// In the parent: whether this is the child run.
bool inUnprivilegedRun();
// In the parent: runs the current test again in the child run, with the
// extra environment entries; its exit status (0 when its checks passed), or
// none when setpriv is needed and cannot be run (the caller skips).
std::optional<int>
runCurrentTestUnprivileged(const std::vector<std::string>& extraEnvironment = {},
                           std::chrono::milliseconds limit = std::chrono::seconds(40));

} // namespace testing_support
