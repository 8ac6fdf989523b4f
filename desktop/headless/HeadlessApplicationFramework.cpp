#include "HeadlessApplicationFramework.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// Thrown by exit on the thread that called it; the run helpers (and the
// worker threads' frame) catch it, so that exit never returns.
struct ExitRequested {
    int status;
};
// Thrown inside a modal alert whose answer does not come in time.
struct TimeLimitReached {};

constexpr auto kModalPassWait = std::chrono::milliseconds(2);
constexpr auto kPassWait = std::chrono::milliseconds(10);
constexpr auto kAlertLimitOutsideRuns = std::chrono::seconds(20);
constexpr auto kWorkerLimitAtEnd = std::chrono::seconds(20);

} // namespace

HeadlessApplicationFramework::HeadlessApplicationFramework(std::string resourcePath)
    : mainThread_(std::this_thread::get_id()), previousLoop_(RunLoop::current()),
      resourcePath_(std::move(resourcePath)) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        std::perror("eventfd");
        std::abort();
    }
    shown_.insert(outlet::mainWindow);
    RunLoop::setCurrent(this);
}

HeadlessApplicationFramework::~HeadlessApplicationFramework() {
    shutdown();
    if (!joinWorkers(kWorkerLimitAtEnd)) {
        std::fprintf(
            stderr,
            "HeadlessApplicationFramework: worker threads still running at the end; aborting\n");
        std::abort();
    }
    // The pending calls may hold the last references to the application's
    // objects, whose destruction may still remove run-loop sources.
    std::vector<Deferred> deferred = std::move(deferred_);
    deferred.clear();
    sources_.clear();
    RunLoop::setCurrent(previousLoop_);
    ::close(wakeFd_);
}

// --- Set-up -------------------------------------------------------------------

void HeadlessApplicationFramework::setResourcePath(std::string path) {
    std::lock_guard<std::mutex> lock(mutex_);
    resourcePath_ = std::move(path);
}

void HeadlessApplicationFramework::setShouldTerminateAfterLastWindowClosed(
    std::function<bool()> ask) {
    shouldTerminate_ = std::move(ask);
}

void HeadlessApplicationFramework::queueAlertAnswer(int answer) {
    queueAlertAnswer([answer](const Alert&) { return std::optional<int>(answer); });
}

void HeadlessApplicationFramework::queueAlertEscape() {
    queueAlertAnswer([](const Alert& alert) { return std::optional<int>(alert.escapeResult); });
}

void HeadlessApplicationFramework::queueAlertAnswer(AlertAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(std::move(answer));
}

void HeadlessApplicationFramework::onCaption(std::function<void(const Caption&)> hook) {
    captionHook_ = std::move(hook);
}

void HeadlessApplicationFramework::expectMainThread(const std::string& what) {
    if (!onMainThread()) {
        fault(what + " off the main thread");
    }
}

void HeadlessApplicationFramework::fault(const std::string& what) {
    std::fprintf(stderr, "HeadlessApplicationFramework: %s\n", what.c_str());
}

// --- Running --------------------------------------------------------------------

std::optional<int> HeadlessApplicationFramework::runUntilExit(std::chrono::milliseconds limit,
                                                              const std::function<void()>& start) {
    deadline_ = Clock::now() + limit;
    try {
        if (start && !ended()) {
            start();
        }
        while (!ended()) {
            if (Clock::now() >= *deadline_) {
                throw TimeLimitReached{};
            }
            runPass(false, kPassWait);
        }
    } catch (const ExitRequested&) {
    } catch (const TimeLimitReached&) {
        fault("the application did not exit within " + std::to_string(limit.count()) + " ms");
    }
    deadline_.reset();
    return exitStatus();
}

bool HeadlessApplicationFramework::runUntil(const std::function<bool()>& condition,
                                            std::chrono::milliseconds limit) {
    deadline_ = Clock::now() + limit;
    bool held = false;
    try {
        for (;;) {
            if (condition()) {
                held = true;
                break;
            }
            if (ended()) {
                break;
            }
            if (Clock::now() >= *deadline_) {
                throw TimeLimitReached{};
            }
            runPass(false, kPassWait);
        }
    } catch (const ExitRequested&) {
        held = condition();
    } catch (const TimeLimitReached&) {
        fault("condition not reached within " + std::to_string(limit.count()) + " ms");
    }
    deadline_.reset();
    return held;
}

void HeadlessApplicationFramework::runFor(std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    deadline_ = end + kAlertLimitOutsideRuns;
    try {
        while (!ended() && Clock::now() < end) {
            runPass(false,
                    std::min(kPassWait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            end - Clock::now())));
        }
    } catch (const ExitRequested&) {
    } catch (const TimeLimitReached&) {
        fault("an alert stayed open past the run");
    }
    deadline_.reset();
}

void HeadlessApplicationFramework::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutDown_ = true;
    }
    queue_.shutDown();
}

bool HeadlessApplicationFramework::joinWorkers(std::chrono::milliseconds limit) {
    std::vector<std::thread> threads;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!workersChanged_.wait_for(lock, limit, [this] { return runningWorkers_ == 0; })) {
            return false;
        }
        threads.swap(threads_);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return true;
}

std::size_t HeadlessApplicationFramework::runningWorkers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return runningWorkers_;
}

std::size_t HeadlessApplicationFramework::workersStarted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return workersStarted_;
}

bool HeadlessApplicationFramework::ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exitStatus_.has_value();
}

void HeadlessApplicationFramework::checkDeadline() const {
    if (deadline_ && Clock::now() >= *deadline_) {
        throw TimeLimitReached{};
    }
}

void HeadlessApplicationFramework::runPass(bool modal, std::chrono::milliseconds maxWait) {
    ++pass_;
    if (!modal) {
        ++defaultPass_;
    }

    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
    std::vector<SourceId> ids;
    if (!modal) {
        for (const auto& [id, source] : sources_) {
            fds.push_back({source.first, POLLIN, 0});
            ids.push_back(id);
        }
    }
    auto wait = maxWait;
    if (queue_.size() > 0) {
        wait = std::chrono::milliseconds(0);
    }
    if (!modal) {
        const auto now = Clock::now();
        for (const Deferred& entry : deferred_) {
            if (entry.pass < defaultPass_) {
                const auto untilDue =
                    std::max(std::chrono::milliseconds(0),
                             std::chrono::ceil<std::chrono::milliseconds>(entry.due - now));
                wait = std::min(wait, untilDue);
            }
        }
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
    if (ready < 0 && errno != EINTR) {
        fault("poll failed: " + std::to_string(errno));
    }
    std::uint64_t wakeups = 0;
    while (::read(wakeFd_, &wakeups, sizeof wakeups) > 0) {
    }

    // Calls posted from other threads, those queued now, in posting order.
    std::size_t count = queue_.size();
    while (count-- > 0 && queue_.runOne()) {
    }
    if (modal) {
        return;
    }

    // Device events.
    for (std::size_t i = 0; i < ids.size() && ready > 0; ++i) {
        if ((fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        const auto source = sources_.find(ids[i]);
        if (source == sources_.end()) {
            continue;
        }
        const std::function<void()> perform = source->second.second;
        perform();
    }

    // Deferred calls made before this pass that are due.
    while (runDeferredCall()) {
    }
}

bool HeadlessApplicationFramework::runDeferredCall() {
    const auto now = Clock::now();
    const auto entry = std::find_if(deferred_.begin(), deferred_.end(), [&](const Deferred& d) {
        return d.pass < defaultPass_ && d.due <= now;
    });
    if (entry == deferred_.end()) {
        return false;
    }
    const std::function<void()> call = std::move(entry->call);
    deferred_.erase(entry);
    call();
    return true;
}

// --- State -----------------------------------------------------------------------

std::vector<HeadlessApplicationFramework::Alert> HeadlessApplicationFramework::alerts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return alerts_;
}

std::optional<int> HeadlessApplicationFramework::exitStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exitStatus_;
}

bool HeadlessApplicationFramework::isAnimating(const std::string& indicator) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return animating_.contains(indicator);
}

bool HeadlessApplicationFramework::isShown(const std::string& window) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_.contains(window);
}

bool HeadlessApplicationFramework::alertOpen() const {
    return alertDepth_ > 0;
}

std::uint64_t HeadlessApplicationFramework::passes() const {
    return pass_;
}

// --- ApplicationFramework ----------------------------------------------------------

std::string HeadlessApplicationFramework::resourcePath() {
    std::lock_guard<std::mutex> lock(mutex_);
    return resourcePath_;
}

int HeadlessApplicationFramework::runAlert(AlertStyle style,
                                           const std::optional<std::string>& title,
                                           const std::optional<std::string>& message,
                                           const std::optional<std::string>& defaultButton,
                                           const std::optional<std::string>& alternateButton,
                                           const std::optional<std::string>& otherButton,
                                           int escapeResult) {
    expectMainThread("alert run");
    const Alert alert{style,           title,       message,      defaultButton,
                      alternateButton, otherButton, escapeResult, {}};
    AlertAnswer answer;
    std::size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!answers_.empty()) {
            answer = std::move(answers_.front());
            answers_.pop_front();
        }
        alerts_.push_back(alert);
        index = alerts_.size() - 1;
    }
    alertShown(alert);
    if (!answer) {
        answer = [](const Alert&) { return std::optional<int>(1); };
    }

    ++alertDepth_;
    struct Closed {
        int& depth;
        ~Closed() { --depth; }
    } closed{alertDepth_};

    const auto limitOutsideRuns = Clock::now() + kAlertLimitOutsideRuns;
    int result = 0;
    for (;;) {
        if (const std::optional<int> given = answer(alert)) {
            result = *given;
            break;
        }
        checkDeadline();
        if (!deadline_ && Clock::now() >= limitOutsideRuns) {
            fault("alert \"" + title.value_or("") + "\" was never answered");
            throw TimeLimitReached{};
        }
        runPass(true, kModalPassWait);
    }

    const auto shown = [&](int button) {
        return button == 1 || (button == 0 && alternateButton.has_value()) ||
               (button == -1 && otherButton.has_value());
    };
    if (!shown(result)) {
        fault("answer " + std::to_string(result) + " is no button of alert \"" +
              title.value_or("") + "\"");
    }
    if (!shown(escapeResult)) {
        fault("the way out of alert \"" + title.value_or("") + "\" is no button of it");
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        alerts_[index].answer = result;
    }
    return result;
}

void HeadlessApplicationFramework::setStringValue(const std::string& textField,
                                                  const std::string& value) {
    expectMainThread("text field " + textField + " set");
    const Caption caption{textField, value};
    captionShown(caption);
    if (captionHook_) {
        captionHook_(caption);
    }
}

void HeadlessApplicationFramework::startAnimation(const std::string& indicator) {
    expectMainThread("startAnimation");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        animating_.insert(indicator);
    }
    uiOperation("startAnimation", indicator);
}

void HeadlessApplicationFramework::stopAnimation(const std::string& indicator) {
    expectMainThread("stopAnimation");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        animating_.erase(indicator);
    }
    uiOperation("stopAnimation", indicator);
}

void HeadlessApplicationFramework::setUsesThreadedAnimation(const std::string& indicator,
                                                            bool threaded) {
    expectMainThread("setUsesThreadedAnimation");
    uiOperation(threaded ? "setUsesThreadedAnimation" : "clearUsesThreadedAnimation", indicator);
}

void HeadlessApplicationFramework::setProgressValue(const std::string& indicator,
                                                    std::uint64_t value, std::uint64_t maximum) {
    expectMainThread("setProgressValue " + indicator);
    if (maximum == 0 || value > maximum) {
        fault("progress " + std::to_string(value) + "/" + std::to_string(maximum) + " of " +
              indicator);
    }
    progressShown(indicator + " " + std::to_string(value) + "/" + std::to_string(maximum));
}

void HeadlessApplicationFramework::setIndeterminate(const std::string& indicator) {
    expectMainThread("setIndeterminate");
    progressShown(indicator + " indeterminate");
}

void HeadlessApplicationFramework::performClose(const std::string& window) {
    expectMainThread("performClose");
    bool lastClosed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastClosed = shown_.erase(window) > 0 && shown_.empty();
    }
    uiOperation("performClose", window);
    if (lastClosed && shouldTerminate_ && shouldTerminate_()) {
        terminating();
        exit(0);
    }
}

void HeadlessApplicationFramework::makeKeyAndOrderFront(const std::string& window) {
    expectMainThread("makeKeyAndOrderFront");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shown_.insert(window);
    }
    uiOperation("makeKeyAndOrderFront", window);
}

void HeadlessApplicationFramework::displayIfNeeded(const std::string& window) {
    expectMainThread("displayIfNeeded");
    uiOperation("displayIfNeeded", window);
}

void HeadlessApplicationFramework::detachNewThread(std::function<void()> body) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutDown_) {
        return;
    }
    ++runningWorkers_;
    ++workersStarted_;
    threads_.emplace_back([this, body = std::move(body)]() mutable {
        try {
            body();
        } catch (const ExitRequested&) {
        } catch (...) {
            fault("an exception escaped a worker thread");
        }
        body = nullptr;
        {
            std::lock_guard<std::mutex> done(mutex_);
            --runningWorkers_;
        }
        workersChanged_.notify_all();
    });
}

void HeadlessApplicationFramework::performOnMainThread(std::function<void()> call,
                                                       bool waitUntilDone) {
    if (waitUntilDone && onMainThread()) {
        call();
        return;
    }
    queue_.post(std::move(call), waitUntilDone); // dropped once shut down
}

void HeadlessApplicationFramework::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void HeadlessApplicationFramework::performAfterDelay(std::function<void()> call,
                                                     double delaySeconds) {
    expectMainThread("deferred call made");
    const auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(0.0, delaySeconds)));
    deferred_.push_back({nextDeferredId_++, defaultPass_, Clock::now() + delay, std::move(call)});
}

void HeadlessApplicationFramework::sleep(double seconds) {
    sleeps_.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void HeadlessApplicationFramework::exit(int status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!exitStatus_) {
            exitStatus_ = status;
        }
    }
    exited(status);
    shutdown();
    throw ExitRequested{status};
}

// --- RunLoop -----------------------------------------------------------------------

RunLoop::SourceId HeadlessApplicationFramework::addSource(int fd, std::function<void()> perform) {
    expectMainThread("run-loop source added");
    const SourceId id = nextSourceId_++;
    sources_.emplace(id, std::make_pair(fd, std::move(perform)));
    return id;
}

void HeadlessApplicationFramework::removeSource(SourceId id) {
    sources_.erase(id);
}
