#include "QtApplicationFramework.h"

#include "Log.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPalette>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <poll.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Thrown by exit() under an exit hook, once the hook has returned; caught only
// by the framework's dispatchers, so that exit() never returns to its caller.
struct ExitUnwind {};

// The least width of an alert's text, in pixels.
constexpr int kAlertTextWidth = 360;

// How long the destructor waits for worker threads to end.
constexpr auto kWorkerWaitAtEnd = std::chrono::seconds(10);

QString toQString(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QIcon applicationIcon() {
    QIcon icon(QStringLiteral(":/qrb-updater/qrb-updater.png"));
    if (icon.isNull()) {
        icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    }
    return icon;
}

bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
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

} // namespace

// What worker threads share with the main thread. Workers hold it by their own
// reference, so a worker that outlives the framework finds it shut down
// instead of a freed object.
struct PostingState {
    struct Posted {
        std::function<void()> call;
        std::shared_ptr<std::promise<void>> done;
    };

    std::mutex mutex;
    std::condition_variable workersChanged;
    std::deque<Posted> posted;
    QObject* receiver = nullptr; // null once shut down
    std::size_t workers = 0;

    // Drops every queued call and releases the workers waiting for them.
    void shutDown() {
        std::deque<Posted> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex);
            receiver = nullptr;
            dropped.swap(posted);
        }
        for (Posted& entry : dropped) {
            if (entry.done) {
                entry.done->set_value();
            }
        }
    }
};

struct QtApplicationFramework::Impl {
    explicit Impl(QtApplicationFramework& owner) : self(owner) {}

    QtApplicationFramework& self;
    const std::thread::id mainThread = std::this_thread::get_id();
    RunLoop* previousLoop = nullptr;

    std::mutex resourceMutex;
    std::string resourcePath;

    std::unique_ptr<QObject> context; // receiver of queued calls and timers
    std::shared_ptr<PostingState> posting = std::make_shared<PostingState>();

    QIcon icon;
    std::unique_ptr<OutletWindow> mainWindow;
    std::unique_ptr<OutletWindow> busyPanel;
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
    void windowClosing(OutletWindow* window);

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

// --- Windows ----------------------------------------------------------------------

QLabel* QtApplicationFramework::Impl::caption(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    outlets[name] = label;
    return label;
}

QProgressBar* QtApplicationFramework::Impl::indicator(const char* name, QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setObjectName(QString::fromLatin1(name));
    bar->setTextVisible(false);
    bar->setRange(0, 1);
    bar->setValue(0);
    outlets[name] = bar;
    return bar;
}

void QtApplicationFramework::Impl::buildWindows() {
    const QString title = QString::fromLatin1(kApplicationTitle);

    mainWindow = std::make_unique<OutletWindow>(Qt::Window);
    mainWindow->setObjectName(QString::fromLatin1(outlet::mainWindow));
    mainWindow->setWindowTitle(title);
    mainWindow->setWindowIcon(icon);
    outlets[outlet::mainWindow] = mainWindow.get();
    {
        auto* iconLabel = new QLabel(mainWindow.get());
        iconLabel->setPixmap(icon.pixmap(64, 64));
        iconLabel->setAlignment(Qt::AlignTop);

        QLabel* welcome = caption(outlet::WelcomeCaption, mainWindow.get());
        QFont bold = welcome->font();
        bold.setBold(true);
        welcome->setFont(bold);
        QLabel* welcome2 = caption(outlet::WelcomeCaption2, mainWindow.get());
        // Why the board cannot be reached: shown only while there is
        // something to say, in a dark red that reads on the window's grey,
        // selectable so that the device path can be copied.
        QLabel* diagnosis = caption(outlet::connectionDiagnosis, mainWindow.get());
        diagnosis->setTextInteractionFlags(Qt::TextSelectableByMouse);
        diagnosis->setAccessibleDescription(QStringLiteral("Why the board cannot be reached"));
        QPalette warning = diagnosis->palette();
        warning.setColor(QPalette::WindowText, QColor(0xA4, 0x00, 0x00));
        diagnosis->setPalette(warning);
        diagnosis->hide();
        QProgressBar* bar = indicator(outlet::connectionProgressIndicator, mainWindow.get());

        auto* text = new QVBoxLayout;
        text->addWidget(welcome);
        text->addSpacing(8);
        text->addWidget(welcome2);
        text->addSpacing(8);
        text->addWidget(diagnosis);
        text->addStretch(1);
        text->addWidget(bar);
        auto* layout = new QHBoxLayout(mainWindow.get());
        layout->setContentsMargins(20, 20, 20, 20);
        layout->setSpacing(16);
        layout->addWidget(iconLabel, 0, Qt::AlignTop);
        layout->addLayout(text, 1);
        mainWindow->setMinimumSize(520, 200);
    }

    busyPanel = std::make_unique<OutletWindow>(Qt::Dialog);
    busyPanel->setObjectName(QString::fromLatin1(outlet::busyPanel));
    busyPanel->setWindowTitle(title);
    busyPanel->setWindowIcon(icon);
    outlets[outlet::busyPanel] = busyPanel.get();
    {
        QLabel* progress = caption(outlet::progressCaption, busyPanel.get());
        QProgressBar* bar = indicator(outlet::progressIndicator, busyPanel.get());
        QLabel* detail = caption(outlet::progressDetail, busyPanel.get());
        auto* layout = new QVBoxLayout(busyPanel.get());
        layout->setContentsMargins(20, 20, 20, 20);
        layout->addWidget(progress);
        layout->addWidget(bar);
        layout->addWidget(detail);
        busyPanel->setMinimumWidth(380);
    }

    auto closing = [this](OutletWindow* window) { windowClosing(window); };
    mainWindow->onClose = closing;
    busyPanel->onClose = closing;
}

void QtApplicationFramework::Impl::windowClosing(OutletWindow* window) {
    const bool otherShown = (window != mainWindow.get() && mainWindow->isVisible()) ||
                            (window != busyPanel.get() && busyPanel->isVisible());
    if (otherShown || exited || !shouldTerminate || !shouldTerminate()) {
        return;
    }
    // The window is still closing: end the application from the event loop.
    QMetaObject::invokeMethod(
        context.get(),
        [this] {
            dispatch([this] {
                if (willTerminate) {
                    willTerminate();
                }
                self.exit(0);
            });
        },
        Qt::QueuedConnection);
}

// --- Delivery -----------------------------------------------------------------------

void QtApplicationFramework::Impl::dispatch(const std::function<void()>& call) {
    if (exited) {
        return;
    }
    try {
        call();
    } catch (const ExitUnwind&) {
    } catch (const std::exception& exception) {
        logLine("uncaught exception on the main thread: %s", exception.what());
    } catch (...) {
        logLine("uncaught exception on the main thread");
    }
}

void QtApplicationFramework::Impl::runOnePosted() {
    PostingState::Posted entry;
    {
        std::lock_guard<std::mutex> lock(posting->mutex);
        if (posting->posted.empty()) {
            return;
        }
        entry = std::move(posting->posted.front());
        posting->posted.pop_front();
    }
    struct Release {
        std::shared_ptr<std::promise<void>> done;
        ~Release() {
            if (done) {
                done->set_value();
            }
        }
    } release{std::move(entry.done)};
    dispatch(entry.call);
}

void QtApplicationFramework::Impl::deferredDue(std::uint64_t id) {
    const auto entry = deferred.find(id);
    if (entry == deferred.end()) {
        return;
    }
    std::function<void()> call = std::move(entry->second);
    deferred.erase(entry);
    if (holding()) {
        hold({std::nullopt, std::move(call)});
        return;
    }
    dispatch(call);
}

void QtApplicationFramework::Impl::sourceActivated(SourceId id) {
    const auto source = sources.find(id);
    if (source == sources.end()) {
        return;
    }
    if (exited || holding()) {
        // Level-triggered: disabled, the notifier stays quiet until released.
        source->second.notifier->setEnabled(false);
        if (!exited && !source->second.held) {
            source->second.held = true;
            hold({id, {}});
        }
        return;
    }
    const std::function<void()> perform = source->second.perform;
    dispatch(perform);
}

void QtApplicationFramework::Impl::deliverSource(SourceId id) {
    auto source = sources.find(id);
    if (source == sources.end()) {
        return;
    }
    source->second.held = false;
    if (readable(source->second.fd)) {
        const std::function<void()> perform = source->second.perform;
        dispatch(perform);
    }
    source = sources.find(id);
    if (source != sources.end() && !exited && !source->second.held) {
        source->second.notifier->setEnabled(true);
    }
}

void QtApplicationFramework::Impl::hold(Held item) {
    held.push_back(std::move(item));
    scheduleRelease();
}

void QtApplicationFramework::Impl::scheduleRelease() {
    if (alertDepth > 0 || held.empty() || releaseScheduled || exited) {
        return;
    }
    releaseScheduled = true;
    QTimer::singleShot(0, context.get(), [this] {
        releaseScheduled = false;
        releaseHeld();
    });
}

void QtApplicationFramework::Impl::releaseHeld() {
    while (!exited && alertDepth == 0 && !held.empty()) {
        Held item = std::move(held.front());
        held.pop_front();
        if (item.source) {
            deliverSource(*item.source);
        } else {
            dispatch(item.call);
        }
    }
}

void QtApplicationFramework::Impl::stopEverything() {
    posting->shutDown();
    deferred.clear();
    held.clear();
    for (auto& [id, source] : sources) {
        source.notifier->setEnabled(false);
    }
}

// --- Construction ----------------------------------------------------------------------

QtApplicationFramework::QtApplicationFramework(std::string resourcePath)
    : impl_(std::make_unique<Impl>(*this)) {
    impl_->resourcePath = std::move(resourcePath);
    impl_->context = std::make_unique<QObject>();
    impl_->posting->receiver = impl_->context.get();

    QApplication::setQuitOnLastWindowClosed(false);
    impl_->icon = applicationIcon();
    QApplication::setWindowIcon(impl_->icon);
    impl_->buildWindows();
    impl_->mainWindow->show();

    impl_->previousLoop = RunLoop::current();
    RunLoop::setCurrent(this);
}

QtApplicationFramework::~QtApplicationFramework() {
    impl_->stopEverything();
    waitForWorkers(kWorkerWaitAtEnd);
    impl_->mainWindow->onClose = nullptr;
    impl_->busyPanel->onClose = nullptr;
    impl_->sources.clear(); // the notifiers go with their parent, the context
    impl_->outlets.clear();
    impl_->busyPanel.reset();
    impl_->mainWindow.reset();
    impl_->context.reset();
    RunLoop::setCurrent(impl_->previousLoop);
}

void QtApplicationFramework::setShouldTerminateAfterLastWindowClosed(std::function<bool()> ask) {
    impl_->shouldTerminate = std::move(ask);
}

void QtApplicationFramework::setWillTerminate(std::function<void()> willTerminate) {
    impl_->willTerminate = std::move(willTerminate);
}

void QtApplicationFramework::setExitHook(ExitHook hook) {
    impl_->exitHook = std::move(hook);
}

int QtApplicationFramework::run(const std::function<void()>& start) {
    if (start) {
        impl_->dispatch(start);
    }
    if (!impl_->exited) {
        QApplication::exec();
    }
    return impl_->status.value_or(0);
}

QWidget* QtApplicationFramework::outletWidget(const std::string& name) const {
    const auto outlet = impl_->outlets.find(name);
    return outlet == impl_->outlets.end() ? nullptr : outlet->second;
}

std::optional<int> QtApplicationFramework::exitStatus() const {
    return impl_->status;
}

int QtApplicationFramework::alertDepth() const {
    return impl_->alertDepth;
}

std::size_t QtApplicationFramework::heldCount() const {
    return impl_->held.size();
}

std::size_t QtApplicationFramework::runningWorkers() const {
    std::lock_guard<std::mutex> lock(impl_->posting->mutex);
    return impl_->posting->workers;
}

bool QtApplicationFramework::waitForWorkers(std::chrono::milliseconds limit) const {
    PostingState& posting = *impl_->posting;
    std::unique_lock<std::mutex> lock(posting.mutex);
    return posting.workersChanged.wait_for(lock, limit,
                                           [&posting] { return posting.workers == 0; });
}

// --- Resources -----------------------------------------------------------------------

std::string QtApplicationFramework::resourcePath() {
    std::lock_guard<std::mutex> lock(impl_->resourceMutex);
    return impl_->resourcePath;
}

// --- Alerts -------------------------------------------------------------------------------

int QtApplicationFramework::runAlert(AlertStyle style, const std::optional<std::string>& title,
                                     const std::optional<std::string>& message,
                                     const std::optional<std::string>& defaultButton,
                                     const std::optional<std::string>& alternateButton,
                                     const std::optional<std::string>& otherButton,
                                     int escapeResult) {
    if (impl_->exited) {
        throw ExitUnwind{};
    }

    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(toQString(title.value_or(kApplicationTitle)));
    box.setWindowIcon(impl_->icon);
    switch (style) {
    case AlertStyle::Critical:
        box.setIcon(QMessageBox::Warning);
        break;
    case AlertStyle::Informational:
        box.setIcon(QMessageBox::Information);
        break;
    case AlertStyle::Plain:
        box.setIconPixmap(impl_->icon.pixmap(64, 64));
        break;
    }
    // The title as the alert's headline, the message below it; both plain text.
    box.setTextFormat(Qt::PlainText);
    if (title) {
        box.setText(toQString(*title));
        if (message) {
            box.setInformativeText(toQString(*message));
        }
    } else {
        box.setText(toQString(message.value_or(std::string())));
    }
    if (auto* headline = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        headline && title) {
        QFont bold = headline->font();
        bold.setBold(true);
        headline->setFont(bold);
    }
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        informative->setTextFormat(Qt::PlainText);
    }
    // Wide enough that a two-sentence message reads as a paragraph.
    for (auto* label : box.findChildren<QLabel*>(
             QRegularExpression(QStringLiteral("^qt_msgbox_(informative)?label$")))) {
        label->setMinimumWidth(kAlertTextWidth);
    }

    // Buttons in the order default, alternate, other; the roles place them as
    // the desktop's dialog layout expects, and decide nothing else.
    std::vector<std::pair<QPushButton*, int>> buttons;
    const bool noTitles = !defaultButton && !alternateButton && !otherButton;
    QPushButton* defaultPush = nullptr;
    if (defaultButton || noTitles) {
        defaultPush =
            box.addButton(toQString(defaultButton.value_or("OK")), QMessageBox::AcceptRole);
        buttons.emplace_back(defaultPush, 1);
    }
    if (alternateButton) {
        buttons.emplace_back(box.addButton(toQString(*alternateButton), QMessageBox::RejectRole),
                             0);
    }
    if (otherButton) {
        buttons.emplace_back(box.addButton(toQString(*otherButton), QMessageBox::DestructiveRole),
                             -1);
    }
    box.setDefaultButton(defaultPush != nullptr ? defaultPush : buttons.front().first);
    // Escape and the close button press the button the caller named as the
    // way out; Qt would otherwise take the one with the reject role.
    const auto wayOut =
        std::find_if(buttons.begin(), buttons.end(),
                     [escapeResult](const auto& button) { return button.second == escapeResult; });
    const std::pair<QPushButton*, int>& escape =
        wayOut != buttons.end() ? *wayOut : buttons.front();
    box.setEscapeButton(escape.first);

    ++impl_->alertDepth;
    box.exec();
    --impl_->alertDepth;
    if (impl_->exited) {
        throw ExitUnwind{};
    }
    impl_->scheduleRelease();

    const QAbstractButton* clicked = box.clickedButton();
    for (const auto& [button, result] : buttons) {
        if (button == clicked) {
            return result;
        }
    }
    // Closed by other means than a button: the way out.
    return escape.second;
}

// --- Controls -------------------------------------------------------------------------------

namespace {

// Gives window the height its word-wrapped texts need at its present width
// (never less than its minimum), as a line is added or taken away.
void fitHeightToText(QWidget* window) {
    QLayout* layout = window->layout();
    if (layout == nullptr) {
        return;
    }
    layout->activate();
    const int needed = layout->hasHeightForWidth() ? layout->totalHeightForWidth(window->width())
                                                   : layout->totalSizeHint().height();
    window->resize(window->width(), std::max(needed, window->minimumHeight()));
}

} // namespace

void QtApplicationFramework::setStringValue(const std::string& textField,
                                            const std::string& value) {
    if (auto* label = qobject_cast<QLabel*>(outletWidget(textField))) {
        label->setText(toQString(value));
        if (textField == outlet::connectionDiagnosis) {
            // Nothing to say takes no room; a new line is announced by screen
            // readers at once (its text is the label's accessible name).
            label->setVisible(!value.empty());
            fitHeightToText(label->window());
            if (!value.empty()) {
                QAccessibleEvent alert(label, QAccessible::Alert);
                QAccessible::updateAccessibility(&alert);
            }
        }
    }
}

void QtApplicationFramework::startAnimation(const std::string& indicator) {
    if (auto* bar = qobject_cast<QProgressBar*>(outletWidget(indicator))) {
        bar->setRange(0, 0); // indeterminate: the style animates it
    }
}

void QtApplicationFramework::stopAnimation(const std::string& indicator) {
    if (auto* bar = qobject_cast<QProgressBar*>(outletWidget(indicator))) {
        bar->setRange(0, 1);
        bar->setValue(0);
    }
}

void QtApplicationFramework::setUsesThreadedAnimation(const std::string& indicator, bool threaded) {
    // Qt animates busy bars from the main thread's event loop, which stays
    // free while a worker runs; the wish is kept on the widget.
    if (QWidget* bar = outletWidget(indicator)) {
        bar->setProperty("usesThreadedAnimation", threaded);
    }
}

void QtApplicationFramework::setProgressValue(const std::string& indicator, std::uint64_t value,
                                              std::uint64_t maximum) {
    if (auto* bar = qobject_cast<QProgressBar*>(outletWidget(indicator))) {
        // The bar counts in int: large counts go in units of a power of two.
        unsigned shift = 0;
        while ((maximum >> shift) > static_cast<std::uint64_t>(INT_MAX)) {
            ++shift;
        }
        const auto scaledMaximum = static_cast<int>(maximum >> shift);
        bar->setRange(0, std::max(scaledMaximum, 1));
        bar->setValue(static_cast<int>(std::min(value, maximum) >> shift));
    }
}

void QtApplicationFramework::setIndeterminate(const std::string& indicator) {
    if (auto* bar = qobject_cast<QProgressBar*>(outletWidget(indicator))) {
        bar->setRange(0, 0);
    }
}

// --- Windows --------------------------------------------------------------------------------

void QtApplicationFramework::performClose(const std::string& window) {
    QWidget* widget = outletWidget(window);
    if (widget != nullptr && widget->isWindow() && widget->isVisible()) {
        widget->close();
    }
}

void QtApplicationFramework::makeKeyAndOrderFront(const std::string& window) {
    QWidget* widget = outletWidget(window);
    if (widget != nullptr && widget->isWindow()) {
        widget->show();
        widget->raise();
        widget->activateWindow();
    }
}

void QtApplicationFramework::displayIfNeeded(const std::string& window) {
    QWidget* widget = outletWidget(window);
    if (widget != nullptr && widget->isVisible()) {
        widget->repaint();
    }
}

// --- Threads and calls ---------------------------------------------------------------------

void QtApplicationFramework::detachNewThread(std::function<void()> body) {
    std::shared_ptr<PostingState> posting = impl_->posting;
    {
        std::lock_guard<std::mutex> lock(posting->mutex);
        if (posting->receiver == nullptr) {
            return; // the application has ended
        }
        ++posting->workers;
    }
    std::thread([posting, body = std::move(body)]() mutable {
        try {
            body();
        } catch (const std::exception& exception) {
            logLine("uncaught exception on a worker thread: %s", exception.what());
        } catch (...) {
            logLine("uncaught exception on a worker thread");
        }
        body = nullptr;
        {
            std::lock_guard<std::mutex> lock(posting->mutex);
            --posting->workers;
        }
        posting->workersChanged.notify_all();
    }).detach();
}

void QtApplicationFramework::performOnMainThread(std::function<void()> call, bool waitUntilDone) {
    if (waitUntilDone && impl_->onMainThread()) {
        call();
        return;
    }
    std::shared_ptr<std::promise<void>> done;
    std::future<void> finished;
    if (waitUntilDone) {
        done = std::make_shared<std::promise<void>>();
        finished = done->get_future();
    }
    {
        PostingState& posting = *impl_->posting;
        std::lock_guard<std::mutex> lock(posting.mutex);
        if (posting.receiver == nullptr) {
            return; // the application has ended: dropped, nobody waits
        }
        posting.posted.push_back({std::move(call), done});
        Impl* impl = impl_.get();
        QMetaObject::invokeMethod(
            posting.receiver, [impl] { impl->runOnePosted(); }, Qt::QueuedConnection);
    }
    if (waitUntilDone) {
        finished.wait();
    }
}

void QtApplicationFramework::performAfterDelay(std::function<void()> call, double delaySeconds) {
    if (impl_->exited) {
        return;
    }
    const std::uint64_t id = impl_->nextDeferredId++;
    impl_->deferred.emplace(id, std::move(call));
    const double milliseconds = std::ceil(std::max(0.0, delaySeconds) * 1000.0);
    const int delay = static_cast<int>(std::min(milliseconds, 2.0e9));
    Impl* impl = impl_.get();
    QTimer::singleShot(delay, impl_->context.get(), [impl, id] { impl->deferredDue(id); });
}

void QtApplicationFramework::sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, seconds)));
}

void QtApplicationFramework::exit(int status) {
    std::fflush(nullptr);
    if (!impl_->exitHook) {
        // Workers that post from now on find the application ended instead
        // of the event loop that the end of the process takes apart.
        impl_->exited = true;
        impl_->stopEverything();
        std::exit(status);
    }
    if (!impl_->exited) {
        impl_->exited = true;
        impl_->status = status;
        impl_->stopEverything();
        impl_->exitHook(status);
        QCoreApplication::exit(status);
    }
    throw ExitUnwind{};
}

// --- RunLoop --------------------------------------------------------------------------------

RunLoop::SourceId QtApplicationFramework::addSource(int fd, std::function<void()> perform) {
    const SourceId id = impl_->nextSourceId++;
    auto* notifier =
        new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read, impl_->context.get());
    Impl* impl = impl_.get();
    QObject::connect(notifier, &QSocketNotifier::activated, impl_->context.get(),
                     [impl, id] { impl->sourceActivated(id); });
    impl_->sources.emplace(id, Impl::Source{fd, std::move(perform), notifier, false});
    if (impl_->exited) {
        notifier->setEnabled(false);
    }
    return id;
}

void QtApplicationFramework::removeSource(SourceId id) {
    const auto source = impl_->sources.find(id);
    if (source == impl_->sources.end()) {
        return;
    }
    // The notifier may be the one whose activation is running now.
    source->second.notifier->setEnabled(false);
    source->second.notifier->deleteLater();
    impl_->sources.erase(source);
}
