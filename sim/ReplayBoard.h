#pragma once

#include "TraceFormat.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qrbsim {

class PtyLine;

// A board that plays the board's side of a serial trace on the master side of
// a pseudo-terminal: it takes what the host sends and compares it, byte by
// byte and at the recorded line speed, with what the host sent in the
// recording; it answers with what the board answered there, each burst as
// long after the host's request as in the recording; it stays silent where
// the board was, and hangs up where the board went away. Where the host sends
// a byte the recording does not hold (another byte, another speed, or
// anything after its end), the replay departs: it says at which byte, and
// hangs up.
class ReplayBoard {
  public:
    enum class State {
        Playing,  // the recording is being played
        Played,   // played to its end (and hung up, if the board went away there)
        Departed, // the host departed from the recording
        Stopped,  // stop() before the end
    };

    explicit ReplayBoard(qrbtrace::Trace trace);
    ~ReplayBoard();
    ReplayBoard(const ReplayBoard&) = delete;
    ReplayBoard& operator=(const ReplayBoard&) = delete;

    const std::string& slavePath() const { return slavePath_; }

    // Called on the replay's thread with each thing it does (for --verbose).
    void setEventHandler(std::function<void(const std::string&)> handler) {
        onEvent_ = std::move(handler);
    }
    void start();
    void stop();

    State state() const;
    // Where and how the host departed (State::Departed), one line.
    std::string departure() const;
    // Events of the trace played so far.
    size_t eventsPlayed() const;
    size_t eventCount() const { return trace_.events.size(); }
    // Waits until the state is no longer Playing.
    bool waitUntilDone(std::chrono::milliseconds timeout) const;
    // Waits until the recording has been played to its end, or the host departed.
    bool waitForEnd(std::chrono::milliseconds timeout) const;

  private:
    void run();
    void play();
    void depart(const std::string& why);
    void log(const std::string& event);
    std::string where(size_t event) const;

    qrbtrace::Trace trace_;
    std::unique_ptr<PtyLine> line_;
    std::string slavePath_;
    std::thread thread_;
    std::function<void(const std::string&)> onEvent_;
    // Set by the line's noise handler: bytes came at another speed.
    std::string wrongSpeed_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    State state_ = State::Playing;
    bool ended_ = false; // the last event has been played
    std::string departure_;
    size_t played_ = 0;
    uint64_t hostBytes_ = 0; // host bytes taken so far
};

const char* replayStateName(ReplayBoard::State state);

} // namespace qrbsim
