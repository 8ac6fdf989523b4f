#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A pseudo-terminal pair for tests: the code under test opens slavePath() as
// its serial device; the test plays the other end on masterFd().
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int masterFd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    // Writes all bytes to the master side.
    void write(const std::vector<uint8_t>& bytes);
    // Reads exactly n bytes from the master side, failing the test after
    // timeoutMs without them; returns what arrived.
    std::vector<uint8_t> read(size_t n, int timeoutMs = 5000);
    // Reads whatever arrives until the line is quiet for quietMs.
    std::vector<uint8_t> drain(int quietMs = 50);
    // The input speed of the line as the slave side last set it.
    unsigned speed() const;
    // Closes the master side: the slave sees a hang-up.
    void closeMaster();

  private:
    int master_ = -1;
    std::string slavePath_;
};

} // namespace testing_support
