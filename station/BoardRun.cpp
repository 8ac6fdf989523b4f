#include "BoardRun.h"

#include "AttemptTrace.h"
#include "BoardSequence.h"
#include "JournalEntry.h"
#include "DeviceCheck.h"
#include "Serial.h"
#include "StationHistory.h"
#include "StationEvents.h"
#include "StringFormat.h"
#include "UpdateCaptions.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Set by the parent's kBoardRemovedSignal: the board was unplugged. Its
// connection stops at once (the parent stops the process if it goes on).
std::atomic<bool> boardRemoved{false};
std::atomic<std::atomic<bool>*> stopOnRemoval{nullptr};

constexpr auto kProgressInterval = std::chrono::milliseconds(500);

// The child's second thread: ends a connection that takes too long, and
// sends the progress of the update at most every half second.
class BoardWatch {
  public:
    BoardWatch(std::string tty, const std::function<void(const std::string&)>& emit,
               Clock::time_point connectDeadline)
        : tty_(std::move(tty)), emit_(emit), connectDeadline_(connectDeadline),
          thread_([this] { run(); }) {}
    ~BoardWatch() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    const std::atomic<bool>& connectionStop() const { return connectionStop_; }
    std::atomic<bool>& connectionStop() { return connectionStop_; }
    bool connectionTimedOut() const { return connectionTimedOut_; }
    void connected() {
        std::lock_guard<std::mutex> lock(mutex_);
        connecting_ = false;
    }
    void stepStarted(const UpdateStepStart& start) {
        std::lock_guard<std::mutex> lock(mutex_);
        step_ = start;
        stepShown_ = false;
    }
    std::atomic<std::uint64_t> dataBytesSent{0};

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<std::uint64_t> lastDone;
        while (!ended_) {
            changed_.wait_for(lock, kProgressInterval);
            if (ended_) {
                break;
            }
            if (connecting_ && Clock::now() >= connectDeadline_) {
                connectionTimedOut_ = true;
                connectionStop_ = true;
            }
            if (!step_) {
                continue;
            }
            const std::uint64_t sent = dataBytesSent.load(std::memory_order_relaxed);
            std::uint64_t done = sent - step_->dataBytesBefore;
            if (step_->dataTotal && done > *step_->dataTotal) {
                done = *step_->dataTotal;
            }
            if (stepShown_ && lastDone == done) {
                continue;
            }
            stepShown_ = true;
            lastDone = done;
            const std::string line = progressEvent(tty_, updateStepCaption(step_->step),
                                                   step_->dataTotal ? done : 0, step_->dataTotal);
            lock.unlock();
            emit_(line);
            lock.lock();
        }
    }

    std::string tty_;
    const std::function<void(const std::string&)>& emit_;
    Clock::time_point connectDeadline_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    bool connecting_ = true;
    std::atomic<bool> connectionStop_{false};
    std::atomic<bool> connectionTimedOut_{false};
    std::optional<UpdateStepStart> step_;
    bool stepShown_ = false;
    std::thread thread_;
};

// The connection's hooks: the watch's stop flag, and after every open of the
// tty a look at the device behind it. A device that is not the board given
// (another adapter that the kernel gave the departed board's tty) stops the
// connection before anything is sent to it.
class StationConnection : public ConnectionHooks {
  public:
    StationConnection(BoardWatch& watch, const BoardIdentity& board)
        : watch_(watch), board_(board) {}
    const std::atomic<bool>& stopFlag() const override { return watch_.connectionStop(); }
    void pause(double seconds) override {
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds));
        // In slices, so that a removal ends the pause.
        while (!watch_.connectionStop().load() && Clock::now() < end) {
            std::this_thread::sleep_for(
                std::min<Clock::duration>(end - Clock::now(), std::chrono::milliseconds(20)));
        }
    }
    void openAttempted(const std::string& /*devicePath*/,
                       const FirmwareUpdaterException* failure) override {
        if (failure == nullptr && !changed_) {
            changed_ = deviceChange(board_);
            if (changed_) {
                watch_.connectionStop().store(true);
            }
        }
    }
    const std::optional<std::string>& changed() const { return changed_; }

  private:
    BoardWatch& watch_;
    const BoardIdentity& board_;
    std::optional<std::string> changed_;
};

class StationSteps : public UpdateObserver {
  public:
    explicit StationSteps(BoardWatch& watch) : watch_(watch) {}
    void stepStarted(const UpdateStepStart& start) override {
        markAttemptStep(updateStepCaption(start.step));
        watch_.stepStarted(start);
    }

  private:
    BoardWatch& watch_;
};

} // namespace

void noteBoardRemoved(int /*signal*/) {
    boardRemoved.store(true);
    if (std::atomic<bool>* stop = stopOnRemoval.load()) {
        stop->store(true);
    }
}

BoardOutcome runBoard(const BoardIdentity& board, const StationPlan& plan,
                      const std::function<void(const std::string&)>& emit) {
    const auto started = Clock::now();
    beginAttemptTrace();
    markAttemptStep(kConnectingStep);
    BoardOutcome outcome;
    outcome.identity = board;
    ImageVersion image;
    image.data = plan.update.version;
    outcome.to = versionText(image);
    const auto finish = [&](BoardResult result) {
        outcome.result = result;
        outcome.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        return outcome;
    };

    BoardWatch watch(board.tty, emit,
                     started + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(plan.connectLimit)));
    StationConnection hooks(watch, board);
    stopOnRemoval.store(&watch.connectionStop());
    if (boardRemoved.load()) {
        watch.connectionStop().store(true);
    }
    BoardFailure failure;
    const ConnectionOutcome connection = connectBoard(board.tty, hooks, &failure);
    watch.connected();
    if (connection != ConnectionOutcome::InStep) {
        serClose();
        if (hooks.changed()) {
            failure = {kDeviceChangedError, *hooks.changed()};
        } else if (boardRemoved.load()) {
            failure = {kBoardRemovedError, kBoardRemovedReason};
        } else if (watch.connectionTimedOut() && failure.error.empty()) {
            failure = {
                "SerialCommTimeoutError",
                formatString("The board did not answer within %.0f seconds.", plan.connectLimit)};
        } else if (failure.error.empty()) {
            failure = {"SerialCommReceiveError",
                       "Serial Communication Error: receiving serial data failed."};
        }
        outcome.error = failure.error;
        outcome.reason = failure.reason;
        stopOnRemoval.store(nullptr);
        return finish(BoardResult::Failed);
    }
    stopOnRemoval.store(nullptr);

    markAttemptStep(kVersionStep);
    const std::optional<std::uint32_t> word = readBoardVersion(&failure);
    if (!word) {
        outcome.error = failure.error;
        outcome.reason = failure.reason;
        return finish(BoardResult::Failed);
    }
    const VersionDecision decision = decideVersion(*word, image);
    outcome.versionCase = decision.versionCase;
    if (decision.versionCase != VersionCase::Corrupt) {
        outcome.from = versionText(decision.board);
    }
    emit(versionEvent(board.tty, outcome.from, decision.versionCase));

    const bool update = decision.follows == VersionFollows::Update ||
                        (decision.follows == VersionFollows::LeaveCurrent && plan.allowReinstall) ||
                        (decision.follows == VersionFollows::LeaveNewer && plan.allowOlder);
    if (!update) {
        leaveBoard();
        return finish(decision.follows == VersionFollows::LeaveCurrent ? BoardResult::Current
                                                                       : BoardResult::Skipped);
    }

    StationSteps steps(watch);
    const BoardUpdateResult result = runBoardUpdate(plan.update, steps, watch.dataBytesSent);
    if (result.success) {
        return finish(BoardResult::Updated);
    }
    outcome.error = result.failure ? result.failure->error : "UnexpectedError";
    outcome.reason = result.failure ? result.failure->reason : "";
    if (result.failedStep) {
        outcome.step = updateStepCaption(*result.failedStep);
    }
    return finish(BoardResult::Failed);
}

namespace {

// Writes the attempt's serial trace and names it in the outcome.
void writeTrace(BoardOutcome& outcome, const StationPlan& plan) {
    std::optional<BoardFailure> failure;
    if (outcome.result == BoardResult::Failed) {
        failure = BoardFailure{outcome.error, outcome.reason};
    }
    outcome.trace =
        writeBoardAttemptTrace("qrb-flash", outcome.identity.serial, outcome.identity.tty,
                               outcome.to, plan.update.firmwarePath, failure,
                               outcome.step.value_or(lastAttemptStep()), plan.imageSha256);
}

} // namespace

void boardEnded(BoardOutcome& outcome, const StationPlan& plan) {
    if (outcome.result == BoardResult::Failed || plan.keepTraces) {
        writeTrace(outcome, plan);
    }
    recordBoardOutcome(outcome, plan);
    sendJournalEntry(journalFieldsOf(outcome, plan.imageSha256));
}
