#pragma once

#include "PropertyList.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Outlets: the windows, text fields and progress indicators of the interface,
// by the names that the controller passes and the platform resolves.
namespace outlet {
// Windows and panels.
inline constexpr const char* mainWindow = "mainWindow"; // the welcome window
inline constexpr const char* busyPanel = "busyPanel";   // shown while the update runs
// Text fields.
inline constexpr const char* WelcomeCaption = "WelcomeCaption";   // in mainWindow
inline constexpr const char* WelcomeCaption2 = "WelcomeCaption2"; // in mainWindow
inline constexpr const char* progressCaption = "progressCaption"; // in busyPanel
// In mainWindow below the welcome captions: why the board cannot be reached
// (empty while there is nothing to say). Read by screen readers.
inline constexpr const char* connectionDiagnosis = "connectionDiagnosis";
inline constexpr const char* progressDetail = "progressDetail"; // in busyPanel, below the bar
// Progress indicators: indeterminate; progressIndicator also determinate
// during the steps that send data.
inline constexpr const char* connectionProgressIndicator =
    "connectionProgressIndicator";                                    // mainWindow
inline constexpr const char* progressIndicator = "progressIndicator"; // busyPanel
} // namespace outlet

// Everything the application controller needs of the desktop platform it runs
// in. One object of a class implementing this interface serves the whole
// process; the composition root creates it, then the controller with a
// reference to it, and after the controller's awakeFromNib runs the main
// thread's event loop (which is also the RunLoop of common/RunLoop.h that
// device sources put their event sources on).
//
// Threads. Unless stated otherwise an operation is called on the main thread
// only. The exceptions are detachNewThread, performOnMainThread, sleep (any
// thread) and the system log (common/Log.h, any thread).
//
// Event delivery and modal alerts. The main thread's event loop delivers three
// kinds of work, each on the main thread and one at a time:
//   - calls posted with performOnMainThread, in posting order;
//   - deferred calls (performAfterDelay), at a later pass of the loop;
//   - device events (the RunLoop sources).
// While a modal alert is open (one of the run...AlertPanel operations has not
// returned yet), device events and deferred calls WAIT and are delivered after
// it closes; calls posted with performOnMainThread ARE still delivered while
// the alert is open, so that a worker that waits for the main thread never
// deadlocks behind an alert.
//
// Logging is not part of this interface: every line goes through logLine of
// common/Log.h (the platform may install a sink there).
class ApplicationFramework {
  public:
    virtual ~ApplicationFramework() = default;

    // --- Resources -----------------------------------------------------------

    // Full path of the application's read-only resource directory (where the
    // update configuration and the image files are installed).
    virtual std::string resourcePath() = 0;

    // The root dictionary of the property-list file at path (XML or binary),
    // or none when the file is missing, unreadable, not a property list, or
    // its root is not a dictionary. The default reads with PropertyList.h.
    virtual std::optional<PropertyListDictionary>
    dictionaryWithContentsOfFile(const std::string& path) {
        return readPropertyListDictionary(path);
    }

    // --- Alerts --------------------------------------------------------------

    enum class AlertStyle {
        Plain,         // a plain (warning) look
        Critical,      // a critical (caution) look
        Informational, // an informational look
    };

    // The results of an alert: which button was pressed.
    static constexpr int kDefaultButton = 1;
    static constexpr int kAlternateButton = 0;
    static constexpr int kOtherButton = -1;

    // Runs a modal alert on the main thread and returns when the user presses
    // a button: 1 for the default button, 0 for the alternate, -1 for the
    // other. Every argument may be none; a button that is none is not shown,
    // and with no button titles at all a single default button "OK" is shown.
    // message is the finished text (no formatting directives of its own).
    // The way out of the alert (Escape, the window's close button, any other
    // dismissal) presses the button whose result is escapeResult; the caller
    // names it, the framework never guesses it. It must be a shown button.
    // Return presses the default button. While it runs, see "Event delivery
    // and modal alerts" above.
    virtual int runAlert(AlertStyle style, const std::optional<std::string>& title,
                         const std::optional<std::string>& message,
                         const std::optional<std::string>& defaultButton,
                         const std::optional<std::string>& alternateButton,
                         const std::optional<std::string>& otherButton, int escapeResult) = 0;

    // The three looks. An alert with no button or only a default button is
    // left by its way out with the default button's result; an alert with an
    // alternate (or other) button must name the result of its way out, so
    // that no default can turn a dismissal into an update.
    int runAlertPanel(const std::optional<std::string>& title,
                      const std::optional<std::string>& message,
                      const std::optional<std::string>& defaultButton = std::nullopt) {
        return runAlert(AlertStyle::Plain, title, message, defaultButton, std::nullopt,
                        std::nullopt, kDefaultButton);
    }
    int runAlertPanel(const std::optional<std::string>& title,
                      const std::optional<std::string>& message,
                      const std::optional<std::string>& defaultButton,
                      const std::optional<std::string>& alternateButton,
                      const std::optional<std::string>& otherButton, int escapeResult) {
        return runAlert(AlertStyle::Plain, title, message, defaultButton, alternateButton,
                        otherButton, escapeResult);
    }
    int runCriticalAlertPanel(const std::optional<std::string>& title,
                              const std::optional<std::string>& message,
                              const std::optional<std::string>& defaultButton = std::nullopt) {
        return runAlert(AlertStyle::Critical, title, message, defaultButton, std::nullopt,
                        std::nullopt, kDefaultButton);
    }
    int runCriticalAlertPanel(const std::optional<std::string>& title,
                              const std::optional<std::string>& message,
                              const std::optional<std::string>& defaultButton,
                              const std::optional<std::string>& alternateButton,
                              const std::optional<std::string>& otherButton, int escapeResult) {
        return runAlert(AlertStyle::Critical, title, message, defaultButton, alternateButton,
                        otherButton, escapeResult);
    }
    int runInformationalAlertPanel(const std::optional<std::string>& title,
                                   const std::optional<std::string>& message,
                                   const std::optional<std::string>& defaultButton = std::nullopt) {
        return runAlert(AlertStyle::Informational, title, message, defaultButton, std::nullopt,
                        std::nullopt, kDefaultButton);
    }
    int runInformationalAlertPanel(const std::optional<std::string>& title,
                                   const std::optional<std::string>& message,
                                   const std::optional<std::string>& defaultButton,
                                   const std::optional<std::string>& alternateButton,
                                   const std::optional<std::string>& otherButton,
                                   int escapeResult) {
        return runAlert(AlertStyle::Informational, title, message, defaultButton, alternateButton,
                        otherButton, escapeResult);
    }

    // --- Controls --------------------------------------------------------------

    // The text field named textField (an outlet:: text field) shows value from
    // now on. value may hold line breaks ("\n") and any UTF-8 text.
    virtual void setStringValue(const std::string& textField, const std::string& value) = 0;

    // The indeterminate progress indicator named indicator (an outlet::
    // indicator) starts or stops animating.
    virtual void startAnimation(const std::string& indicator) = 0;
    virtual void stopAnimation(const std::string& indicator) = 0;
    // With threaded true the indicator keeps animating while the main thread
    // is busy (it does not depend on the main thread's event handling).
    virtual void setUsesThreadedAnimation(const std::string& indicator, bool threaded) = 0;
    // The indicator becomes determinate and shows value of maximum
    // (value <= maximum, maximum > 0), as its value for screen readers too.
    virtual void setProgressValue(const std::string& indicator, std::uint64_t value,
                                  std::uint64_t maximum) = 0;
    // The indicator is indeterminate again, animating as it was started.
    virtual void setIndeterminate(const std::string& indicator) = 0;

    // --- Windows -------------------------------------------------------------

    // Closes the window or panel named window (outlet::mainWindow: the
    // application's main window) as if its close button had been pressed.
    // Closing the last window asks the controller's
    // applicationShouldTerminateAfterLastWindowClosed; a true answer ends the
    // application. Closing a window that is not shown does nothing.
    virtual void performClose(const std::string& window) = 0;
    // Shows the window or panel named window in front, as the key window.
    virtual void makeKeyAndOrderFront(const std::string& window) = 0;
    // Draws the window or panel named window at once, before returning.
    virtual void displayIfNeeded(const std::string& window) = 0;

    // --- Threads and calls -------------------------------------------------------

    // Starts a new thread that runs body, and returns at once. The thread is
    // never joined; nothing waits for it. body must not let an exception
    // escape. Any thread.
    virtual void detachNewThread(std::function<void()> body) = 0;

    // Runs call on the main thread during its event loop, after every call
    // posted before it (posting order), also while a modal alert is open.
    // With waitUntilDone the caller blocks until call has run (called on the
    // main thread itself, call runs at once); without, it returns at once.
    // Any thread.
    virtual void performOnMainThread(std::function<void()> call, bool waitUntilDone) = 0;

    // Runs call on the main thread at a later pass of its event loop, at the
    // earliest delaySeconds from now; never at once, also with delay 0.0.
    // Deferred calls wait while a modal alert is open.
    virtual void performAfterDelay(std::function<void()> call, double delaySeconds) = 0;

    // The calling thread sleeps for seconds. Any thread.
    virtual void sleep(double seconds) = 0;

    // --- Process -------------------------------------------------------------

    // Ends the process with status. Never returns. Main thread.
    [[noreturn]] virtual void exit(int status) = 0;
};
