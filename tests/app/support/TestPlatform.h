#pragma once

#include "ApplicationFramework.h"
#include "Log.h"
#include "RunLoop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// The application framework for tests, in process: a real main loop on the
// test's thread (poll over the run-loop sources and an eventfd for posted
// calls), scripted alert answers, and records of everything the application
// shows, logs and does.
//
// The thread that constructs the platform is its main thread; the platform is
// that thread's RunLoop while it lives. Workers run on real threads, which the
// platform joins when it goes (and by joinWorkers).
//
// While the platform lives it receives the log lines (common/Log.h); do not
// use a LogCapture at the same time.
class TestPlatform : public ApplicationFramework, public RunLoop {
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

    explicit TestPlatform(std::string resourcePath = {});
    ~TestPlatform() override;
    TestPlatform(const TestPlatform&) = delete;
    TestPlatform& operator=(const TestPlatform&) = delete;

    // --- Set-up ------------------------------------------------------------------

    void setResourcePath(std::string path);
    // Asked when the last window closes; true ends the application (exit 0).
    void setShouldTerminateAfterLastWindowClosed(std::function<bool()> ask);

    // The answers of the next alerts, in order; an alert with no queued answer
    // gets 1 (its default button). An answer for a button the alert does not
    // show fails the test.
    void queueAlertAnswer(int answer);
    void queueAlertAnswer(AlertAnswer answer);
    // The next alert is left by its way out (Escape or its close button).
    void queueAlertEscape();
    // Called on the main thread right after each caption is recorded (for
    // checks of what the rest of the system has done by then).
    void onCaption(std::function<void(const Caption&)> hook);

    // --- Running -----------------------------------------------------------------

    // Runs start (if given) and then the main loop until exit is called or
    // limit has passed. Returns the exit status; on the limit the test fails
    // and the result is none.
    std::optional<int> runUntilExit(std::chrono::milliseconds limit,
                                    const std::function<void()>& start = {});
    // Runs the main loop until condition holds (checked before every pass),
    // exit is called or limit has passed (which fails the test). Returns
    // whether condition held.
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

    // --- Records ------------------------------------------------------------------

    std::vector<Caption> captions() const;
    // The values set on one field, in order.
    std::vector<std::string> captionsOf(const std::string& field) const;
    // What one field shows now (the last value set; empty before any).
    std::string textOf(const std::string& field) const;
    std::vector<Alert> alerts() const;
    std::vector<std::string> logLines() const;
    // Log lines that begin with prefix.
    std::vector<std::string> logLinesStartingWith(const std::string& prefix) const;
    // Window and indicator operations as "operation name", e.g.
    // "startAnimation connectionProgressIndicator", "performClose mainWindow".
    std::vector<std::string> uiEvents() const;
    // What the progress indicators showed, in order: "name value/maximum" for
    // a determinate indicator, "name indeterminate" (not among uiEvents).
    std::vector<std::string> progressEvents() const;
    // Every record above and each exit, in the order they happened, as
    // "caption field: value", "alert title", "log line", "ui operation name",
    // "progress name ...", "exit status".
    std::vector<std::string> timeline() const;
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

  private:
    struct Posted {
        std::function<void()> call;
        std::shared_ptr<std::promise<void>> done;
    };
    struct Deferred {
        std::uint64_t id;
        std::uint64_t pass;
        Clock::time_point due;
        std::function<void()> call;
    };

    bool onMainThread() const { return std::this_thread::get_id() == mainThread_; }
    void record(const std::string& entry);
    void uiEvent(const std::string& operation, const std::string& name);
    void progressEvent(const std::string& entry);
    // One pass of the loop: waits at most maxWait for work, then runs the
    // posted calls and, outside a modal alert, the ready sources and the due
    // deferred calls.
    void runPass(bool modal, std::chrono::milliseconds maxWait);
    bool runPostedCall();
    bool runDeferredCall();
    void checkDeadline() const;
    bool ended() const;

    const std::thread::id mainThread_;
    RunLoop* previousLoop_;
    LogSink previousSink_;
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable workersChanged_;
    std::string resourcePath_;
    std::function<bool()> shouldTerminate_;
    std::deque<AlertAnswer> answers_;
    std::function<void(const Caption&)> captionHook_;
    std::vector<Caption> captions_;
    std::vector<Alert> alerts_;
    std::vector<std::string> logLines_;
    std::vector<std::string> uiEvents_;
    std::vector<std::string> progressEvents_;
    std::vector<std::string> timeline_;
    std::optional<int> exitStatus_;
    std::set<std::string> animating_;
    std::set<std::string> shown_;
    bool shutDown_ = false;
    std::deque<Posted> posted_;
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

} // namespace testing_support
