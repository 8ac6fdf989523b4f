#pragma once

// The inside of QtApplicationFramework, shared by the files that implement it:
// QtApplicationFramework.cpp (construction, running, ending, inspection),
// QtWindows.cpp (the windows and their controls), QtAlerts.cpp (modal alerts),
// QtEventHolding.cpp (device events, deferred calls and their holding while an
// alert is open) and QtThreads.cpp (workers, posted calls, sleep).

#include "MainThreadQueue.h"
#include "QtApplicationFramework.h"

#include <QCloseEvent>
#include <QIcon>
#include <QObject>
#include <QString>
#include <QWidget>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class QLabel;
class QProgressBar;
class QSocketNotifier;

namespace qtframework {

// Thrown by exit() under an exit hook, once the hook has returned; caught only
// by the framework's dispatchers, so that exit() never returns to its caller.
struct ExitUnwind {};

inline QString toQString(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A top-level window that reports when it is being closed.
class OutletWindow : public QWidget {
  public:
    explicit OutletWindow(Qt::WindowFlags flags) : QWidget(nullptr, flags) {}
    std::function<void(OutletWindow*)> onClose;

  protected:
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        if (onClose) {
            onClose(this);
        }
    }
};

// What worker threads share with the main thread. Workers hold it by their own
// reference, so a worker that outlives the framework finds it shut down
// instead of a freed object.
struct PostingState {
    PostingState();
    ~PostingState();
    PostingState(const PostingState&) = delete;
    PostingState& operator=(const PostingState&) = delete;

    std::mutex mutex; // guards receiver and workers
    std::condition_variable workersChanged;
    QObject* receiver = nullptr; // null once shut down
    std::size_t workers = 0;
    // Counts the calls posted and not yet taken (an eventfd in semaphore
    // mode): the main thread watches it with a socket notifier and runs one
    // call per count it takes. Nothing but the count crosses between the
    // threads outside the queue's own lock.
    int wakeFd = -1;
    // The calls posted with performOnMainThread; each adds one to wakeFd.
    MainThreadQueue queue{[this] { wake(); }};

    void wake();
    // Takes one count of wakeFd; false when there was none.
    bool takeWake();
    // Drops every queued call and releases the workers waiting for them.
    void shutDown() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            receiver = nullptr;
        }
        queue.shutDown();
    }
};

} // namespace qtframework

struct QtApplicationFramework::Impl {
    explicit Impl(QtApplicationFramework& owner) : self(owner) {}

    QtApplicationFramework& self;
    const std::thread::id mainThread = std::this_thread::get_id();
    RunLoop* previousLoop = nullptr;

    std::mutex resourceMutex;
    std::string resourcePath;

    std::unique_ptr<QObject> context; // receiver of queued calls and timers
    std::shared_ptr<qtframework::PostingState> posting =
        std::make_shared<qtframework::PostingState>();

    QIcon icon;
    std::unique_ptr<qtframework::OutletWindow> mainWindow;
    std::unique_ptr<qtframework::OutletWindow> busyPanel;
    std::map<std::string, QWidget*> outlets;

    std::function<bool()> shouldTerminate;
    std::function<void()> willTerminate;
    ExitHook exitHook;
    bool exited = false;
    std::optional<int> status;

    int alertDepth = 0;

    struct Source {
        int fd = -1;
        std::function<void()> perform;
        QSocketNotifier* notifier = nullptr;
        bool held = false;
    };
    std::map<SourceId, Source> sources;
    SourceId nextSourceId = 1;

    std::map<std::uint64_t, std::function<void()>> deferred;
    std::uint64_t nextDeferredId = 1;

    // Device events and deferred calls held while an alert is open, in the
    // order they came.
    struct Held {
        std::optional<SourceId> source;
        std::function<void()> call;
    };
    std::deque<Held> held;
    bool releaseScheduled = false;

    bool onMainThread() const { return std::this_thread::get_id() == mainThread; }
    bool holding() const { return alertDepth > 0 || !held.empty(); }

    void buildWindows();
    QLabel* caption(const char* name, QWidget* parent);
    QProgressBar* indicator(const char* name, QWidget* parent);
    void windowClosing(qtframework::OutletWindow* window);

    // Runs one piece of main-thread work: nothing once the application has
    // exited; the unwinding of exit() ends here, and any other exception is
    // logged instead of crossing the Qt event loop.
    void dispatch(const std::function<void()>& call);
    void runOnePosted();
    void deferredDue(std::uint64_t id);
    void sourceActivated(SourceId id);
    void deliverSource(SourceId id);
    void hold(Held item);
    void scheduleRelease();
    void releaseHeld();
    void stopEverything();
};
