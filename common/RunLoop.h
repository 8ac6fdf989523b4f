#pragma once

#include <functional>

// A thread's event loop, as the layers below the application see it: a place
// where an event source (a descriptor that becomes readable when events are
// pending) is watched, and its handler called on the loop's own thread.
//
// Handlers run only in the loop's default mode: never while a modal alert is
// open. Events that arrive meanwhile wait, and are handled after it closes.
class RunLoop {
  public:
    using SourceId = int;

    virtual ~RunLoop() = default;

    // Starts watching fd; calls perform on the loop's thread whenever fd is
    // readable (perform must consume what made it readable). Returns an id
    // for removeSource.
    virtual SourceId addSource(int fd, std::function<void()> perform) = 0;
    // Stops watching; perform is not called any more once this returns.
    virtual void removeSource(SourceId id) = 0;

    // The loop of the calling thread, or nullptr when it has none.
    static RunLoop* current();
    // Makes loop the calling thread's loop (the platform does, at start-up).
    static void setCurrent(RunLoop* loop);
};
