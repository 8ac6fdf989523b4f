#pragma once

#include "RunLoop.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>

namespace testing_support {

// A run loop for tests: a poll() over the added descriptors, driven by the
// test on its own thread for a bounded time. Sources may be added and removed
// from within a handler; everything else happens on the driving thread.
class PollRunLoop : public RunLoop {
  public:
    SourceId addSource(int fd, std::function<void()> perform) override;
    void removeSource(SourceId id) override;

    // One pass: waits at most `timeout` for a readable source, then calls the
    // handler of each readable one. Returns the number of handlers called.
    int runOnce(std::chrono::milliseconds timeout);
    // Passes until done() holds or `limit` has passed; returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // Handles whatever is pending now, without waiting.
    int drain();

    std::size_t sourceCount() const { return sources_.size(); }

  private:
    struct Source {
        int fd;
        std::shared_ptr<std::function<void()>> perform;
    };
    std::map<SourceId, Source> sources_;
    SourceId nextId_ = 1;
};

// Makes a loop the calling thread's current one while it lives.
class CurrentRunLoop {
  public:
    explicit CurrentRunLoop(RunLoop* loop) : previous_(RunLoop::current()) {
        RunLoop::setCurrent(loop);
    }
    ~CurrentRunLoop() { RunLoop::setCurrent(previous_); }
    CurrentRunLoop(const CurrentRunLoop&) = delete;
    CurrentRunLoop& operator=(const CurrentRunLoop&) = delete;

  private:
    RunLoop* previous_;
};

} // namespace testing_support
