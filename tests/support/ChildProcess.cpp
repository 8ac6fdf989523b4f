#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds until(Clock::time_point end) {
    return std::chrono::duration_cast<milliseconds>(end - Clock::now());
}

// Standard output's two ends: a pipe, or a raw terminal columns wide.
void openOutput(int (&out)[2], std::optional<unsigned short> columns) {
    if (!columns) {
        if (::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        return;
    }
    winsize window{};
    window.ws_row = 40;
    window.ws_col = *columns;
    if (::openpty(&out[0], &out[1], nullptr, nullptr, &window) != 0) {
        throw std::runtime_error("openpty");
    }
    termios raw{};
    ::tcgetattr(out[1], &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(out[1], TCSANOW, &raw);
    ::fcntl(out[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(out[1], F_SETFD, FD_CLOEXEC);
}

} // namespace

ChildProcess::ChildProcess(std::string program, std::vector<std::string> args,
                           ChildOptions options) {
    int out[2];
    int err[2] = {-1, -1};
    openOutput(out, options.terminalColumns);
    if (options.readErrors && ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    args.insert(args.begin(), std::move(program));
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork");
    }
    if (pid_ == 0) {
        if (options.ownProcessGroup) {
            ::setpgid(0, 0);
        }
        ::dup2(out[1], 1);
        if (options.readErrors) {
            ::dup2(err[1], 2);
        } else if (!options.errorsFile.empty()) {
            const int file = ::open(options.errorsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (file < 0 || ::dup2(file, 2) < 0) {
                ::_exit(126);
            }
        }
        for (const auto& [name, value] : options.environment) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        if (options.beforeExec && !options.beforeExec()) {
            ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
    if (options.readErrors) {
        ::close(err[1]);
        err_ = err[0];
    }
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    for (const int fd : {out_, err_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::optional<std::string> ChildProcess::nextLine(milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        const std::size_t newline = output_.find('\n', lineStart_);
        if (newline != std::string::npos) {
            std::string line = output_.substr(lineStart_, newline - lineStart_);
            lineStart_ = newline + 1;
            return line;
        }
        const milliseconds left = until(end);
        if (out_ < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pump(left);
    }
}

bool ChildProcess::waitForOutput(const std::string& text, milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (output_.find(text) == std::string::npos && out_ >= 0 && until(end).count() > 0) {
        pump(until(end));
    }
    return output_.find(text) != std::string::npos;
}

std::optional<int> ChildProcess::finish(milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!status_) {
        int status = 0;
        const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
        if (reaped == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            while (pump(milliseconds(0))) {
            }
        } else if ((reaped < 0 && errno != EINTR) || Clock::now() >= end) {
            break;
        } else {
            pump(milliseconds(20));
        }
    }
    return status_;
}

std::optional<int> ChildProcess::stop() {
    signal(SIGTERM);
    return finish(std::chrono::seconds(10));
}

void ChildProcess::signal(int number) const {
    if (!status_) {
        ::kill(pid_, number);
    }
}

void ChildProcess::signalGroup(int number) const {
    if (!status_) {
        ::kill(-pid_, number);
    }
}

bool ChildProcess::pump(milliseconds limit) {
    if (out_ < 0 && err_ < 0) {
        std::this_thread::sleep_for(limit);
        return false;
    }
    // poll() passes over the closed end (-1).
    pollfd ready[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(ready, 2, static_cast<int>(limit.count())) <= 0) {
        return false;
    }
    int* const ends[2] = {&out_, &err_};
    std::string* const texts[2] = {&output_, &errors_};
    for (std::size_t i = 0; i < 2; ++i) {
        if (ready[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(*ends[i], chunk, sizeof chunk);
        if (n > 0) {
            texts[i]->append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            // The end (a terminal's end is EIO).
            ::close(*ends[i]);
            *ends[i] = -1;
        }
    }
    return true;
}

} // namespace testing_support
