// qrb-station-demo: the station qrb-flash on three emulated QRB boards at
// once, as a terminal session shows it. Run under umockdev-wrapper
// (`make demo-station`): it makes a umockdev testbed, plugs in three USB
// serial adapters (QRB00101 to QRB00103) whose ttys lead to board
// simulators paced at the line rates (one with older firmware, one up to
// date, one that refuses the seal), then runs qrb-flash with the arguments
// given after the program's path and passes on its output.
//
// The boards are recorded in the demo's own update history and traces,
// beside this program (<build>/demo/history.db, <build>/demo/state/), never
// in the user's. The third board fails on purpose: the demo reads its
// history afterwards and ends with status 0 when each board ended as
// intended (qrb-flash itself exits 1, a board failed), else with qrb-flash's
// status (1 when that was 0).
//
//   qrb-station-demo QRB_FLASH [ARG]...

#include "BoardSimulator.h"
#include "EmulatedAdapter.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Board {
    const char* serial;
    uint32_t version;
    const char* fault;
    const char* result; // the result the demo intends
};

const Board kBoards[] = {
    {"QRB00101", 0x00020201, nullptr, "updated"},           // 1.2.2: older
    {"QRB00102", 0x00030201, nullptr, "current"},           // 1.2.3: current
    {"QRB00103", 0x00020201, "answer:0x04=0x15", "failed"}, // refuses the seal
};

// Runs a program; its standard output and exit status (-1: it did not run
// to its end).
std::pair<std::string, int> capture(std::vector<std::string> argv) {
    int out[2];
    if (::pipe(out) != 0) {
        return {"", -1};
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> pointers;
        for (std::string& arg : argv) {
            pointers.push_back(arg.data());
        }
        pointers.push_back(nullptr);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {text, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// What differs from the session the demo intends, judged by the rows the run
// left in the demo's history (those since `since`); empty when nothing does.
std::vector<std::string> departures(const std::string& program, const std::string& history,
                                    const std::string& since, std::string& trace) {
    const auto [text, status] =
        capture({program, "history", "--json", "--since", since, "--history", history});
    if (status != 0) {
        return {"its history could not be read"};
    }
    std::map<std::string, nlohmann::json> rows;
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        const nlohmann::json row = nlohmann::json::parse(text.substr(at, end - at), nullptr, false);
        // The updater's demo may record in the same history meanwhile.
        if (row.is_object() && row.value("front", "") == "station") {
            rows[row.value("serial", "")] = row;
            ++count;
        }
        at = end + 1;
    }
    std::vector<std::string> found;
    if (count != std::size(kBoards)) {
        found.push_back(std::to_string(count) + " rows in the history instead of " +
                        std::to_string(std::size(kBoards)));
    }
    for (const Board& board : kBoards) {
        const auto row = rows.find(board.serial);
        const std::string result = row == rows.end() ? "no row" : row->second.value("result", "");
        if (result != board.result) {
            found.push_back(std::string(board.serial) + " " + result + " instead of " +
                            board.result);
        } else if (board.fault != nullptr) {
            trace = row->second.value("trace", "");
            if (row->second.value("error", "") != "SealingError") {
                found.push_back(std::string(board.serial) + " failed with " +
                                row->second.value("error", "no error") +
                                " instead of SealingError");
            } else if (trace.empty() || !std::filesystem::exists(trace)) {
                found.push_back(std::string(board.serial) + " left no trace");
            }
        }
    }
    return found;
}

std::string utcSecond(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: qrb-station-demo QRB_FLASH [ARG]...\n");
        return 64;
    }
    if (!qrbsim::underUmockdev()) {
        std::fprintf(stderr, "qrb-station-demo: run it under umockdev-wrapper\n");
        return 64;
    }
    // The demo's own records, beside this program: never the user's.
    const std::filesystem::path here =
        std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string history = (here / "history.db").string();
    ::setenv("QRB_HISTORY", history.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (here / "state").c_str(), 1);
    const std::string since = utcSecond(std::chrono::system_clock::now() - std::chrono::seconds(1));

    qrbsim::UmockdevTestbed testbed;
    const auto& boards = kBoards;
    std::vector<std::unique_ptr<qrbsim::BoardSimulator>> simulators;
    std::vector<std::unique_ptr<qrbsim::EmulatedAdapter>> adapters;
    for (std::size_t i = 0; i < std::size(boards); ++i) {
        qrbsim::SimulatorConfig config;
        config.versionWord = boards[i].version;
        config.pace = true;
        if (boards[i].fault != nullptr) {
            config.faults.push_back(qrbsim::parseFault(boards[i].fault));
        }
        simulators.push_back(std::make_unique<qrbsim::BoardSimulator>(config));
        simulators.back()->start();
        adapters.push_back(std::make_unique<qrbsim::EmulatedAdapter>(
            testbed, qrbsim::qrbAdapter(boards[i].serial, "ttyUSB" + std::to_string(i),
                                        "1-" + std::to_string(i + 2))));
        adapters.back()->allowExclusiveOpen();
        adapters.back()->plugIn();
        // The node leads to the board's own pseudo-terminal.
        const std::filesystem::path node = testbed.rootDir() + adapters.back()->deviceNode();
        std::filesystem::remove(node);
        std::filesystem::create_symlink(simulators.back()->slavePath(), node);
    }

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[1], argv + 1);
        std::perror("qrb-station-demo: exec");
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    for (auto& simulator : simulators) {
        simulator->stop();
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::string trace;
    std::vector<std::string> differs = departures(argv[1], history, since, trace);
    if (code != 1) {
        differs.insert(differs.begin(), "qrb-flash exited with " + std::to_string(code) +
                                            " instead of 1 (a board failed)");
    }
    if (!differs.empty()) {
        std::fprintf(stderr, "qrb-station-demo: the session did not go as intended:\n");
        for (const std::string& line : differs) {
            std::fprintf(stderr, "  %s\n", line.c_str());
        }
        return code != 0 ? code : 1;
    }
    std::fprintf(stderr,
                 "\nThe demo went as intended: QRB00103 failed on purpose (its simulator refuses "
                 "the seal), so qrb-flash exited with 1.\n"
                 "Its serial trace: %s\n"
                 "The demo's update history: %s history --history %s\n",
                 trace.c_str(), argv[1], history.c_str());
    return 0;
}
