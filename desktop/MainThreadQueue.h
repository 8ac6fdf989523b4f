#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

// The calls other threads post to the main thread, in posting order: the one
// queue behind performOnMainThread of both application frameworks. A caller
// may wait until its call has run. Each framework wakes its own main loop
// (wake, called after every post, without the queue's lock) and runs the
// calls there with runOne. Once shut down, new calls are dropped and every
// caller still waiting goes on, as after the process has ended.
class MainThreadQueue {
  public:
    explicit MainThreadQueue(std::function<void()> wake);
    ~MainThreadQueue();
    MainThreadQueue(const MainThreadQueue&) = delete;
    MainThreadQueue& operator=(const MainThreadQueue&) = delete;

    // Queues call; with waitUntilDone, returns once it has run (or the queue
    // was shut down before). False when the queue is shut down: dropped.
    // Never call it with waitUntilDone on the thread that runs the calls.
    bool post(std::function<void()> call, bool waitUntilDone);
    // Runs the oldest call on the calling thread, through dispatch when
    // given; its waiting caller goes on afterwards, also when dispatch
    // throws. False when none was queued.
    bool runOne(const std::function<void(const std::function<void()>&)>& dispatch = {});
    std::size_t size() const;
    // Drops every queued call, releases the callers waiting for them, and
    // refuses new ones.
    void shutDown();

  private:
    struct Posted {
        std::function<void()> call;
        std::shared_ptr<std::promise<void>> done;
    };

    std::function<void()> wake_;
    mutable std::mutex mutex_;
    std::deque<Posted> posted_;
    bool shutDown_ = false;
};
