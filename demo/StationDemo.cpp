// qrb-station-demo: the station qrb-flash on three emulated QRB boards at
// once, as a terminal session shows it. Run under umockdev-wrapper
// (`make demo-station`): it makes a umockdev testbed, plugs in three USB
// serial adapters (QRB00101 to QRB00103) whose ttys lead to board
// simulators paced at the line rates (one with older firmware, one up to
// date, one that refuses the seal), then runs qrb-flash with the arguments
// given after the program's path and passes on its output and exit code.
//
//   qrb-station-demo QRB_FLASH [ARG]...

#include "BoardSimulator.h"
#include "EmulatedAdapter.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: qrb-station-demo QRB_FLASH [ARG]...\n");
        return 64;
    }
    if (!qrbsim::underUmockdev()) {
        std::fprintf(stderr, "qrb-station-demo: run it under umockdev-wrapper\n");
        return 64;
    }
    qrbsim::UmockdevTestbed testbed;
    struct Board {
        const char* serial;
        uint32_t version;
        const char* fault;
    };
    const Board boards[] = {
        {"QRB00101", 0x00020201, nullptr},            // 1.2.2: older
        {"QRB00102", 0x00030201, nullptr},            // 1.2.3: current
        {"QRB00103", 0x00020201, "answer:0x04=0x15"}, // refuses the seal
    };
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
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
