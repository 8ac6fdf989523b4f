#pragma once

#include "AdapterModel.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qrbsim {

// Thrown out of PtyLine's waits when the line is stopped or hung up; it
// unwinds the simulator's protocol code back to its thread's top.
struct LineClosed {};

// The board's end of the serial line: the master side of a pseudo-terminal
// whose slave the host opens as its serial device.
//
// The host sets the line speed on the slave; the master shows the same
// settings. A byte belongs to the speed that the host's side of the line had
// when the host wrote it. A pseudo-terminal does not record that, so the
// line reconstructs it: it watches the slave device for opens and closes,
// and samples the speed right after taking in bytes (and at least every 2 ms
// while the slave is open). Bytes still unread when the host closes the slave
// belong to the session that wrote them and get that session's speed, even
// if the host reopens the line at another speed before the simulator runs.
// Where a later session has opened before the line could look (the
// simulator's thread was held up while the host closed and reopened), the
// line cannot tell which session wrote the bytes nor at what speed, and
// whatever the board listens at takes them: a board held up loses its ear
// for wrong speeds, never a byte sent at the right one. A host that changes
// the speed in the middle of a session right after writing, before the
// simulator has taken the bytes in, may have them judged at the new speed.
//
// All members except requestStop, observedSpeed and slavePath are for the
// simulator's own thread.
class PtyLine {
  public:
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& slavePath() const { return slavePath_; }

    // Each byte received or sent takes its wire time: 10 bits at the speed.
    void setPacing(bool pace) { pace_ = pace; }
    // Once this many bytes have been received, the next receive hangs up.
    void setHangupAfter(std::optional<uint64_t> count) { hangupAfter_ = count; }
    // Called for every run of bytes that arrived at a speed other than the
    // one expected: (count, speed they came at, speed expected).
    void setNoiseHandler(std::function<void(size_t, unsigned, unsigned)> handler) {
        onNoise_ = std::move(handler);
    }
    // Called with "opened" or "closed" as the host opens and closes the slave.
    void setSessionHandler(std::function<void(const char*)> handler) {
        onSession_ = std::move(handler);
    }
    // The adapter between the board and the host (default: none). With a USB
    // serial converter (Ftdi) the bytes sent wait in its chip (AdapterHold);
    // latencyTimer tells the timer in force and is asked once per send.
    void setAdapter(AdapterModel model, std::function<std::chrono::milliseconds()> latencyTimer) {
        adapter_ = model;
        latencyTimer_ = std::move(latencyTimer);
    }
    // Called from receive when the host's opening of the line comes up in
    // order with the bytes: after everything sent before it has been taken.
    void setOpenedHandler(std::function<void()> handler) { onOpened_ = std::move(handler); }

    // The next byte that came at `speed`; bytes that came at another speed are
    // dropped as line noise. With a time-out, returns nothing when no such
    // byte arrived in time. Throws LineClosed when stopped or hung up.
    std::optional<uint8_t> receive(unsigned speed,
                                   std::optional<std::chrono::milliseconds> timeout = {});
    // Receives and drops everything until stopped (throws LineClosed then).
    [[noreturn]] void swallowForever();
    // Sends the bytes (waiting while the host's input is full).
    void send(const uint8_t* bytes, size_t n, unsigned speed);
    void send(const std::vector<uint8_t>& bytes, unsigned speed) {
        send(bytes.data(), bytes.size(), speed);
    }

    // Closes the master side: to the host the board is gone. Throws LineClosed.
    [[noreturn]] void hangUp();
    bool hungUp() const { return master_ < 0; }
    // Closes the master side, once the line's thread has ended.
    void close();

    // Any thread: makes every wait of the line throw LineClosed from now on.
    void requestStop();
    // Any thread: the line's own thread hangs up at its next wait.
    void requestHangUp();
    // Any thread: the speed the host's side of the line had when last looked at.
    unsigned observedSpeed() const { return observedSpeed_.load(); }
    // Any thread: bytes taken from the host so far, dropped ones included.
    uint64_t bytesReceived() const { return received_.load(); }

  private:
    // The speed of bytes taken in while an open or close notice waited:
    // handling the notice tells which session they belong to.
    static constexpr unsigned kUndecidedSpeed = 0xFFFFFFFEu;
    struct Chunk {
        std::vector<uint8_t> bytes;
        size_t next = 0;
        unsigned speed = kUndecidedSpeed;
        std::chrono::steady_clock::time_point arrival;
        bool opened = false; // no bytes: marks where the host opened the line
    };

    // One round of waiting (at most timeout) and taking in what arrived.
    void pump(std::chrono::steady_clock::duration timeout);
    // Writes the bytes to the host (waiting while the host's input is full).
    void writeToHost(const uint8_t* bytes, size_t n);
    // Puts bytes sent through a USB serial converter into its chip.
    void sendThroughHold(const uint8_t* bytes, size_t n, unsigned speed);
    // Writes to the host what the adapter's chip has let go by now.
    void passHeldBytes();
    // Handles pending open/close notices of the slave; true if there were any.
    bool drainSessionEvents();
    // Whether open/close notices wait to be handled.
    bool eventsPending() const;
    // Takes in what has arrived and samples the speed after it; the bytes
    // get the speed sampled if the line can vouch for it. laterOpen: a later
    // session's open is known to have come. True if no open or close came
    // before the sample; otherwise the bytes may stay undecided until the
    // notices are handled.
    bool takeIn(bool laterOpen);
    // Gives the chunks taken in whose speed is undecided this speed.
    void decide(unsigned speed);
    unsigned readSpeed() const;
    // Queues what has arrived, its speed not yet set.
    void readAvailable();
    void checkStop();
    // Sleeps until `until`, waking early only to throw when stopped.
    void sleepUntil(std::chrono::steady_clock::time_point until);

    int master_ = -1;
    int reserve_ = -1; // the slave, held open by the line itself
    int inotify_ = -1;
    int wake_ = -1;
    std::string slavePath_;
    bool slaveClosed_ = false; // the master reports a hang-up of the slave
    std::atomic<unsigned> observedSpeed_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangupRequested_{false};
    std::deque<Chunk> input_;
    std::atomic<uint64_t> received_{0};
    std::optional<uint64_t> hangupAfter_;
    bool pace_ = false;
    std::chrono::steady_clock::time_point rxClock_{};
    std::chrono::steady_clock::time_point txClock_{};
    std::function<void(size_t, unsigned, unsigned)> onNoise_;
    std::function<void(const char*)> onSession_;
    std::function<void()> onOpened_;
    AdapterModel adapter_ = AdapterModel::None;
    std::function<std::chrono::milliseconds()> latencyTimer_;
    AdapterHold hold_;
};

} // namespace qrbsim
