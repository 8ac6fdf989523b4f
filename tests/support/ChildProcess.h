#pragma once

// A program run by a test in a child process: its standard output (and its
// standard error, unless told otherwise) read as they come, signals sent to
// it, and its end waited for with a deadline.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ChildOptions {
    // Standard error is read as errors(); when false it is the test's own,
    // or errorsFile when that names a file (truncated first).
    bool readErrors = true;
    std::string errorsFile{};
    // Set in the child's environment.
    std::vector<std::pair<std::string, std::string>> environment{};
    // Standard output is a terminal that many columns wide, in raw mode.
    std::optional<unsigned short> terminalColumns{};
    // The program leads a process group of its own, as a shell's job does.
    bool ownProcessGroup = false;
    // Runs in the child just before the program starts; false ends the
    // child with status 126.
    std::function<bool()> beforeExec{};
};

class ChildProcess {
  public:
    ChildProcess(std::string program, std::vector<std::string> args, ChildOptions options = {});
    // A child still running is killed (SIGKILL) and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output, or none at its end or after limit.
    std::optional<std::string> nextLine(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Reads until standard output holds text: whether it came within limit.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
    // Waits at most limit for the end, reading what the program writes: its
    // exit status (128 + the signal that ended it), none when it runs on.
    std::optional<int> finish(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // SIGTERM, then finish() within 10 s.
    std::optional<int> stop();

    void signal(int number) const;
    // A signal to the whole process group (with ownProcessGroup), as a
    // terminal sends it.
    void signalGroup(int number) const;
    pid_t pid() const { return pid_; }

    // Everything read so far, lines taken by nextLine() included.
    const std::string& output() const { return output_; }
    const std::string& errors() const { return errors_; }

  private:
    // Reads what the open pipes hold, waiting at most limit for something:
    // whether anything was read or came to its end.
    bool pump(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string output_;
    std::size_t lineStart_ = 0;
    std::string errors_;
    std::optional<int> status_;
};

} // namespace testing_support
