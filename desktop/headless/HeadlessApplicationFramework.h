#pragma once

#include "ApplicationFramework.h"
#include "MainThreadQueue.h"
#include "RunLoop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The application framework without a GUI, in process: a real main loop on
// the constructing thread (poll over the run-loop sources and an eventfd for
// posted calls), worker threads, and alerts answered by a script instead of a
// user. It runs the controller for the bench, the demonstrations and the
// tests; what it would show goes to the protected hooks below, which a
// subclass may record.
//
// The thread that constructs the framework is its main thread; the framework
// is that thread's RunLoop while it lives. Workers run on real threads, which
// the framework joins when it goes (and by joinWorkers).
//
// A misuse (an interface call off the main thread, an answer for a button the
// alert does not show, a run that reaches its limit) is reported to fault(),
// which by default writes it to standard error; the framework goes on.
class HeadlessApplicationFramework : public ApplicationFramework, public RunLoop {
  public:
    using Clock = std::chrono::steady_clock;

    // One alert as it was shown, with the answer it got (while it is open,
    // answer is not yet set).
    struct Alert {
        AlertStyle style = AlertStyle::Plain;
        std::optional<std::string> title;
        std::optional<std::string> message;
        std::optional<std::string> defaultButton;
        std::optional<std::string> alternateButton;
        std::optional<std::string> otherButton;
        // The result that the way out (Escape, the close button) gives.
        int escapeResult = kDefaultButton;
        std::optional<int> answer;
    };
    // An answer given while the alert is open: called at every pass of the
    // alert's modal loop (which delivers calls posted with
    // performOnMainThread, and nothing else) until it gives a value.
    using AlertAnswer = std::function<std::optional<int>(const Alert&)>;

    struct Caption {
        std::string field;
        std::string value;
    };

    explicit HeadlessApplicationFramework(std::string resourcePath = {});
    ~HeadlessApplicationFramework() override;
    HeadlessApplicationFramework(const HeadlessApplicationFramework&) = delete;
    HeadlessApplicationFramework& operator=(const HeadlessApplicationFramework&) = delete;

    // --- Set-up ------------------------------------------------------------------

    void setResourcePath(std::string path);
    // Asked when the last window closes; true ends the application (exit 0).
    void setShouldTerminateAfterLastWindowClosed(std::function<bool()> ask);

    // The answers of the next alerts, in order; an alert with no queued answer
    // gets 1 (its default button). An answer for a button the alert does not
    // show is a fault.
    void queueAlertAnswer(int answer);
    void queueAlertAnswer(AlertAnswer answer);
    // The next alert is left by its way out (Escape or its close button).
    void queueAlertEscape();
    // Called on the main thread right after each caption is shown.
    void onCaption(std::function<void(const Caption&)> hook);

    // --- Running -----------------------------------------------------------------

    // Runs start (if given) and then the main loop until exit is called or
    // limit has passed. Returns the exit status; on the limit (a fault) none.
    std::optional<int> runUntilExit(std::chrono::milliseconds limit,
                                    const std::function<void()>& start = {});
    // Runs the main loop until condition holds (checked before every pass),
    // exit is called or limit has passed (a fault). Returns whether condition
    // held.
    bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);
    // Runs the main loop for duration, or until exit is called.
    void runFor(std::chrono::milliseconds duration);

    // From now on calls posted from workers are dropped, and workers waiting
    // for one go on, as after the process ended. Called by exit.
    void shutdown();
    // Waits until every worker thread has ended and joins them; false when
    // limit passed first.
    bool joinWorkers(std::chrono::milliseconds limit);
    std::size_t runningWorkers() const;
    // Worker threads started so far.
    std::size_t workersStarted() const;
    // Calls of sleep so far, on any thread (e.g. the pauses between retries).
    std::size_t sleeps() const { return sleeps_.load(); }

    // --- State ---------------------------------------------------------------------

    // The alerts shown so far, with their answers.
    std::vector<Alert> alerts() const;
    std::optional<int> exitStatus() const;
    bool isAnimating(const std::string& indicator) const;
    bool isShown(const std::string& window) const;
    bool alertOpen() const;
    // Passes of the main loop so far (default and modal).
    std::uint64_t passes() const;

    // --- ApplicationFramework ------------------------------------------------------

    std::string resourcePath() override;
    int runAlert(AlertStyle style, const std::optional<std::string>& title,
                 const std::optional<std::string>& message,
                 const std::optional<std::string>& defaultButton,
                 const std::optional<std::string>& alternateButton,
                 const std::optional<std::string>& otherButton, int escapeResult) override;
    void setStringValue(const std::string& textField, const std::string& value) override;
    void startAnimation(const std::string& indicator) override;
    void stopAnimation(const std::string& indicator) override;
    void setUsesThreadedAnimation(const std::string& indicator, bool threaded) override;
    void setProgressValue(const std::string& indicator, std::uint64_t value,
                          std::uint64_t maximum) override;
    void setIndeterminate(const std::string& indicator) override;
    void performClose(const std::string& window) override;
    void makeKeyAndOrderFront(const std::string& window) override;
    void displayIfNeeded(const std::string& window) override;
    void detachNewThread(std::function<void()> body) override;
    void performOnMainThread(std::function<void()> call, bool waitUntilDone) override;
    void performAfterDelay(std::function<void()> call, double delaySeconds) override;
    void sleep(double seconds) override;
    [[noreturn]] void exit(int status) override;

    // --- RunLoop -------------------------------------------------------------------

    SourceId addSource(int fd, std::function<void()> perform) override;
    void removeSource(SourceId id) override;

  protected:
    // What the framework shows, as it happens. All but exited and fault are
    // called on the main thread.
    virtual void captionShown(const Caption& /*caption*/) {}
    // An alert opens (before its answer).
    virtual void alertShown(const Alert& /*alert*/) {}
    // A window or indicator operation: operation is the interface's name for
    // it ("startAnimation", "performClose", ...; "clearUsesThreadedAnimation"
    // for setUsesThreadedAnimation(false)), name the outlet's.
    virtual void uiOperation(const std::string& /*operation*/, const std::string& /*name*/) {}
    // What a progress indicator shows: "name value/maximum" or
    // "name indeterminate".
    virtual void progressShown(const std::string& /*entry*/) {}
    // The last window closed and the application ends for that.
    virtual void terminating() {}
    // exit(status) was called (on any thread).
    virtual void exited(int /*status*/) {}
    // A misuse of the framework (on any thread).
    virtual void fault(const std::string& what);

  private:
    struct Deferred {
        std::uint64_t id;
        std::uint64_t pass;
        Clock::time_point due;
        std::function<void()> call;
    };

    bool onMainThread() const { return std::this_thread::get_id() == mainThread_; }
    void wake();
    void expectMainThread(const std::string& what);
    // One pass of the loop: waits at most maxWait for work, then runs the
    // posted calls and, outside a modal alert, the ready sources and the due
    // deferred calls.
    void runPass(bool modal, std::chrono::milliseconds maxWait);
    bool runDeferredCall();
    void checkDeadline() const;
    bool ended() const;

    const std::thread::id mainThread_;
    RunLoop* previousLoop_;
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable workersChanged_;
    std::string resourcePath_;
    std::function<bool()> shouldTerminate_;
    std::deque<AlertAnswer> answers_;
    std::function<void(const Caption&)> captionHook_;
    std::vector<Alert> alerts_;
    std::optional<int> exitStatus_;
    std::set<std::string> animating_;
    std::set<std::string> shown_;
    bool shutDown_ = false;
    // The calls posted with performOnMainThread; each post wakes the loop
    // through wakeFd_.
    MainThreadQueue queue_{[this] { wake(); }};
    std::vector<std::thread> threads_;
    std::size_t runningWorkers_ = 0;
    std::size_t workersStarted_ = 0;
    std::atomic<std::size_t> sleeps_{0};

    // Main thread only.
    std::map<SourceId, std::pair<int, std::function<void()>>> sources_;
    SourceId nextSourceId_ = 1;
    std::vector<Deferred> deferred_;
    std::uint64_t nextDeferredId_ = 1;
    std::uint64_t pass_ = 0;
    std::uint64_t defaultPass_ = 0;
    int alertDepth_ = 0;
    std::optional<Clock::time_point> deadline_;
};
