#pragma once

#include "ApplicationFramework.h"
#include "RunLoop.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QWidget;

// The window title of every window of the updater.
inline constexpr const char* kApplicationTitle = "QRB Box Firmware Updater";

// The application framework on Qt Widgets, and the main thread's RunLoop.
//
// Construct it on the main thread after the QApplication; from then on it is
// that thread's RunLoop (common/RunLoop.h) until it is destroyed. It builds
// the two windows: the main window ("mainWindow", shown at once) with the
// word-wrapped labels "WelcomeCaption" and "WelcomeCaption2", the label
// "connectionDiagnosis" (hidden while empty) and the busy bar
// "connectionProgressIndicator", and the busy panel ("busyPanel", hidden until
// shown) with the label "progressCaption", the bar "progressIndicator" (busy,
// or determinate during the steps that send data) and below it the label
// "progressDetail". Every widget carries its outlet name as objectName.
//
// Modal alerts run QMessageBox::exec, whose nested loop would deliver socket
// notifiers and timers too. So while an alert is open (and until what was held
// has been delivered), device events and deferred calls are held: an
// activated source's notifier is disabled and the source queued, a due
// deferred call queued; once the last alert has closed they are delivered in
// the order they were held. Calls posted with performOnMainThread go through a
// queue of their own and are delivered inside alerts as well.
//
// Ending. exit() first drops everything still pending (posted calls,
// deferred calls, device events; workers waiting for a posted call go on, and
// what they post later is dropped). Then it flushes the standard streams and
// ends the process with std::exit, unless an exit hook is set (tests): then
// the hook is called with the status, the framework leaves its event loops
// (run() returns the status) and unwinds the caller of exit() with an
// exception of its own that only its dispatchers catch. Closing the last of
// the two windows asks the function given to
// setShouldTerminateAfterLastWindowClosed and, on a true answer, calls the
// one given to setWillTerminate and exit(0) from the event loop.
class QtApplicationFramework : public ApplicationFramework, public RunLoop {
  public:
    explicit QtApplicationFramework(std::string resourcePath);
    // Without an exit hook, waits (bounded) for the workers to end.
    ~QtApplicationFramework() override;
    QtApplicationFramework(const QtApplicationFramework&) = delete;
    QtApplicationFramework& operator=(const QtApplicationFramework&) = delete;

    // --- Set-up --------------------------------------------------------------

    // Asked (on the main thread) when the last window closes.
    void setShouldTerminateAfterLastWindowClosed(std::function<bool()> ask);
    // Called on the main thread when the last window has closed and the
    // application ends for that, right before exit(0).
    void setWillTerminate(std::function<void()> willTerminate);

    using ExitHook = std::function<void(int status)>;
    // Replaces the end of the process (see above); an empty hook restores it.
    void setExitHook(ExitHook hook);

    // --- Running -------------------------------------------------------------

    // Runs start (if given) and then the Qt event loop until the application
    // exits. Returns the exit status (it returns only under an exit hook).
    int run(const std::function<void()>& start = {});

    // --- Inspection (tests, demo) --------------------------------------------

    // The window or control named by an outlet:: name, or nullptr.
    QWidget* outletWidget(const std::string& name) const;
    std::optional<int> exitStatus() const;
    // Modal alerts open now (nested alerts count each).
    int alertDepth() const;
    // Device events and deferred calls held now.
    std::size_t heldCount() const;
    // Worker threads started by detachNewThread that have not ended.
    std::size_t runningWorkers() const;
    // Waits until no worker runs; false when limit passed first.
    bool waitForWorkers(std::chrono::milliseconds limit) const;

    // --- ApplicationFramework ------------------------------------------------

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

    // --- RunLoop -------------------------------------------------------------

    SourceId addSource(int fd, std::function<void()> perform) override;
    void removeSource(SourceId id) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
