#pragma once

#include "ApplicationFramework.h"
#include "BoardSequence.h"
#include "DesktopHistory.h"
#include "IORegistryDeviceNotifier.h"
#include "ImageVersion.h"
#include "Log.h"
#include "PropertyDictionary.h"
#include "UpdateProgress.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct UpdateStepStart;

// The application controller: reads the update configuration at start-up,
// keeps the table of attached boards, starts the board connection worker when
// exactly one board is attached, asks the user about the update once the board
// has answered, and runs the firmware update worker.
//
// Everything runs on the main thread except handleConnectCommand and
// handleUpdateFirmwareCommand, which are the bodies of the two worker threads.
// The serial port is used by one thread at a time: a connection worker until
// its board is in step, then the main thread for the version query (and the
// exit command), then the update worker. A connection worker whose board
// leaves the table is told to stop, and a new one starts only after the
// previous one has ended; once the update worker has started, changes of the
// board table start nothing.
class AppController : public DeviceNotificationTarget,
                      public std::enable_shared_from_this<AppController> {
  public:
    // Creates the controller (shouldTerminate true, an empty board table).
    // framework must outlive it.
    static std::shared_ptr<AppController> create(ApplicationFramework& framework);
    ~AppController() override;

    AppController(const AppController&) = delete;
    AppController& operator=(const AppController&) = delete;

    // The connection worker's pause after each opening of the port, and the
    // version check's pause after the query, in seconds.
    static constexpr double kOpenRetryPause = ::kOpenRetryPause;
    static constexpr double kVersionReadPause = 0.1;

    // --- Start-up --------------------------------------------------------------

    // Reads the update configuration, fills the welcome window, starts the
    // connection indicator and schedules startSerialNotifications. A missing
    // or broken configuration shows the "Critical Error" alert and exits with
    // status 0.
    void awakeFromNib();
    // Whether closing the last window ends the application: true until a board
    // has answered the version query.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return shouldTerminate; }
    // The application is about to end because its last window was closed:
    // stops a running connection worker, waits (bounded) until it has ended
    // and closes the port, so that nothing runs while the process ends. A
    // worker that has not ended by then keeps the port: it is not closed
    // under it.
    void applicationWillTerminate();

    // --- Board connection worker -------------------------------------------------

    // Worker thread body: opens devicePath at 115200 baud, resets the board
    // into its resident bootloader, reopens at 57600 baud and synchronises;
    // then posts boardReadyHandler (in step) or resendAddedNotifications
    // (failed). Told to stop, it closes the port and ends without posting.
    // While an open keeps failing because the user may not open the device,
    // or (for about 2 s) because another program holds it, the main window's
    // connectionDiagnosis says so; the line goes when an open succeeds or the
    // board leaves the table.
    void handleConnectCommand(const std::string& devicePath);

    // --- Version check and decision ------------------------------------------------

    // Reads the board's firmware version, closes the main window and asks the
    // user in one alert; then updateFirmware or exitProgram.
    void boardReadyHandler();
    // Sends the board short command 6, closes the port, exits with status 0.
    [[noreturn]] void exitProgram();

    // --- Firmware update -------------------------------------------------------------

    // Shows the busy panel and starts the update worker; returns at once.
    void updateFirmware();
    // Worker thread body: the eight update steps, each after its caption.
    // During the steps that send data the busy panel's bar and the text below
    // it follow the data bytes sent, sampled by the main thread about ten
    // times a second; the worker never waits for them.
    void handleUpdateFirmwareCommand();
    // Closes the busy panel, shows the final alert and exits with status 0.
    [[noreturn]] void runFirmwareUpdateCompleteAlertWithSuccessCode(bool successCode);

    // --- Board detection --------------------------------------------------------------

    // Creates the serial device notifier; boards attached now are reported
    // before it returns.
    void startSerialNotifications();
    // Has the notifier report every attached serial device again.
    void resendAddedNotifications();
    // The serial number of a board ("usbserial-QRB..." or "usbserial-WMX..."
    // base names: the piece after the last "-"), or none for other devices.
    static std::optional<std::string>
    serialNumberForPossibleQRBBoxWithProperties(const PropertyDictionary& properties);
    // The notifier's batch callbacks.
    void serialMultipleDevicesAdded(const DeviceList& devices);
    void serialMultipleDevicesRemoved(const DeviceList& devices);
    // Applies the rule after a change of the board table.
    void handleQRBBoxesChanged();

    // --- For owners and tests -------------------------------------------------------

    // Drops the device notifier (which holds the controller) and tells a
    // running connection worker to stop. The application itself never needs
    // it: it ends through exit.
    void invalidate();

    const ImageVersion& imageVersion() const { return imageVer; }
    const std::string& imageFilePath() const { return imagePath; }
    const std::string& ramBootloaderFilePath() const { return RAMBootloaderPath; }
    const std::map<std::string, DeviceProperties>& qrbBoxes() const { return _qrbBoxes; }

  private:
    // Enters (attached) or removes the boards among devices in the board
    // table, then applies the detection rule once if any board was among them.
    void updateBoardTable(const DeviceList& devices, bool attached);
    explicit AppController(ApplicationFramework& framework);

    friend class DesktopConnectionHooks;
    ConnectionOutcome connectToBoard(const std::string& devicePath);
    // Shows line (empty: nothing) in the main window's connectionDiagnosis,
    // from the connection worker, unless the worker has been told to stop.
    void postConnectionDiagnosis(const std::string& line);
    void clearConnectionDiagnosis();
    // After a version query that failed: the main window and the journal say
    // that the board did not answer and should be plugged in again.
    void showUnansweredDiagnosis();
    void showUpdateStep(const UpdateStepStart& start);
    void beginUpdateStep(const UpdateStepStart& start);
    void showProgress(std::uint64_t done);
    void progressTick();
    void endProgress();
    void connectionWorkerEnded();
    // Waits until no connection worker thread runs, at most limit; false
    // (and a log line) when one still runs.
    bool awaitConnectionThreadEnd(std::chrono::milliseconds limit);

    ApplicationFramework& framework_;

    ImageVersion imageVer;
    std::string imagePath;
    std::string RAMBootloaderPath;
    bool shouldTerminate = true;
    std::shared_ptr<IORegistryDeviceNotifier> _serialDeviceNotifier;
    std::map<std::string, DeviceProperties> _qrbBoxes;
    bool _ignoreAddedNotifications = false;

    // The one connection worker (main thread, except the stop flag, which the
    // worker reads): whether one runs, the board it serves, and whether a
    // board waits for it to end.
    bool _connectionWorkerRunning = false;
    std::optional<std::string> _connectionSerialNumber;
    bool _connectionPending = false;
    std::atomic<bool> _connectionStopRequested{false};
    // Whether connectionDiagnosis shows a line (main thread).
    bool _connectionDiagnosisShown = false;
    // The board that did not answer the version query, while the main
    // window says so (main thread).
    std::optional<std::string> _unansweredSerialNumber;
    // Connection worker threads still running: counted up on the main thread
    // when one starts, down by the worker as its very last step (a stopped
    // worker may still be on its way out when the next one starts).
    std::mutex _connectionThreadMutex;
    std::condition_variable _connectionThreadEnded;
    int _connectionThreadsRunning = 0;
    // Set once updateFirmware has started the update worker.
    bool _updateStarted = false;

    // The board of the attempt under way, for its serial trace and what the
    // main window says of it: set on the main thread before the connection
    // worker starts, read by the workers that follow it.
    std::string _attemptSerialNumber;
    std::string _attemptDevicePath;
    // The SHA-256 of the firmware image's bytes as the update worker read
    // them, once it has: the bytes it proves and sends (update worker only).
    std::optional<std::string> _attemptImageSha256;
    // Writes the attempt's serial trace after a failure (see AttemptTrace.h).
    void writeFailedAttemptTrace(const std::string& step, const BoardFailure& failure);

    // Data bytes the update worker has sent (it alone writes, any thread
    // reads); what the busy panel shows of them (main thread only).
    std::atomic<std::uint64_t> _dataBytesSent{0};
    struct ProgressShown {
        bool active = false;    // a step with a data total is shown
        std::uint64_t base = 0; // _dataBytesSent as the step started
        std::uint64_t total = 0;
        std::optional<std::uint64_t> value; // last set on the bar
        std::string text;                   // last set below it
    } _progress;
    bool _progressTimerRunning = false;
    TimeLeftEstimator _timeLeft;

    // The attempt's row of the update history.
    DesktopHistory _history;
};
