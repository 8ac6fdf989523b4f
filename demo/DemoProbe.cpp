// A Qt generic plugin that the demo loads into the real qrb-updater
// (QT_QPA_GENERIC_PLUGINS=qrbdemoprobe, QT_PLUGIN_PATH). It only watches:
// each time what the program shows settles into a new screen (another window
// on top, another caption, another alert) it reports the screen as one line
// on the file descriptor named by QRB_DEMO_PROBE_FD and, when
// QRB_DEMO_SHOTS names a directory, saves a screenshot of it there.
//
// A screen is reported once it is on the display: every label in a visible
// window painted with its current text, so that the screenshot (taken from
// the display) shows exactly the reported texts. A caption that changes while
// the windows are up is painted at once, before the main thread goes on, so
// that a step that passes quickly still gets its screen. When the display
// has nothing yet for a window that was just mapped, an alert's screenshot
// waits for it, and a caption's is drawn from the windows themselves. A step
// whose bar counts its bytes is one screen, taken once the bar is half way.
//
// Report lines: tab-separated fields, with backslash, tab and newline escaped
// as \\, \t and \n:
//   screen <number> <png or -> main <WelcomeCaption> <WelcomeCaption2>
//   screen <number> <png or -> busy <progressCaption> <progressDetail>
//   screen <number> <png or -> alert <window id> <icon> <text> <informative text>
//          <default button> <button>...

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QGenericPlugin>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <string>

namespace {

QString escaped(QString text) {
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return text;
}

QString labelText(const QWidget* window, const char* name) {
    const auto* label = window->findChild<QLabel*>(QString::fromLatin1(name));
    return label != nullptr ? label->text() : QString();
}

// A file-name-friendly form of a caption: "Update Firmware" -> "update-firmware".
QString slug(const QString& text) {
    QString result = text.toLower();
    result.replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("-"));
    result = result.left(40);
    while (result.startsWith(QLatin1Char('-'))) {
        result.remove(0, 1);
    }
    while (result.endsWith(QLatin1Char('-'))) {
        result.chop(1);
    }
    return result.isEmpty() ? QStringLiteral("screen") : result;
}

class ScreenWatcher : public QObject {
  public:
    explicit ScreenWatcher(QObject* parent) : QObject(parent) {
        bool ok = false;
        const int fd = qEnvironmentVariableIntValue("QRB_DEMO_PROBE_FD", &ok);
        fd_ = ok ? fd : 2;
        shotDir_ = qEnvironmentVariable("QRB_DEMO_SHOTS");
        if (!shotDir_.isEmpty()) {
            QDir().mkpath(shotDir_);
        }
        QCoreApplication::instance()->installEventFilter(this);
        // Events and paints drive the checks; the timer keeps them going
        // while the program sits still (a window that closed, say).
        auto* poll = new QTimer(this);
        poll->setInterval(100);
        connect(poll, &QTimer::timeout, this, [this] { check(true); });
        poll->start();
    }

  protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (rendering_) {
            return false;
        }
        // Before the event loop delivers its next event (such as a call that
        // sets the next caption): has what it did last changed the screen?
        // Only for events that come from the loop itself, never from inside
        // a paint.
        const QEvent::Type type = event->type();
        if (!checking_ &&
            (type == QEvent::MetaCall || type == QEvent::Timer || type == QEvent::SockAct ||
             type == QEvent::Expose || type >= QEvent::User)) {
            check(true);
        }
        // Only a paint into a window that is on the display shows there: Qt
        // also paints windows that are still being mapped, and then only
        // copies the result to the display, without painting again.
        if (event->type() == QEvent::Paint && onDisplay(object)) {
            if (auto* widget = qobject_cast<QWidget*>(object); widget && widget->isWindow()) {
                windowsPainted_.insert(widget);
            }
            if (auto* label = qobject_cast<QLabel*>(object)) {
                painted_[label] = label->text();
            } else if (auto* box = qobject_cast<QMessageBox*>(object)) {
                painted_[box] = QStringLiteral("shown");
            }
            if (!checkPending_) {
                checkPending_ = true;
                // After the paint and the flush to the display that follows it.
                QTimer::singleShot(0, this, [this] {
                    checkPending_ = false;
                    check();
                });
            }
        } else if (event->type() == QEvent::Hide) {
            painted_.erase(object);
            windowsPainted_.erase(object);
        }
        return false;
    }

  private:
    // The same screen: for the busy panel the same caption, whatever its
    // count says by now.
    static bool same(const QStringList& a, const QStringList& b) {
        if (a.value(0) == QLatin1String("busy") && b.value(0) == QLatin1String("busy")) {
            return a.value(1) == b.value(1);
        }
        return a == b;
    }

    static bool visibleWindow(const QWidget* widget) {
        return widget->isWindow() && widget->isVisible() && !widget->isMinimized();
    }

    static bool onDisplay(QObject* object) {
        auto* widget = qobject_cast<QWidget*>(object);
        const QWindow* handle = widget != nullptr ? widget->window()->windowHandle() : nullptr;
        return handle != nullptr && handle->isExposed();
    }

    static bool allExposed() {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (visibleWindow(window) &&
                (window->windowHandle() == nullptr || !window->windowHandle()->isExposed())) {
                return false;
            }
        }
        return true;
    }

    // Every label in a visible window shows, on the display, its current text.
    bool settled() const {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!visibleWindow(window)) {
                continue;
            }
            if (windowsPainted_.count(window) == 0) {
                return false;
            }
            if (qobject_cast<QMessageBox*>(window) != nullptr && painted_.count(window) == 0) {
                return false;
            }
            for (QLabel* label : window->findChildren<QLabel*>()) {
                if (!label->isVisible()) {
                    continue;
                }
                const auto painted = painted_.find(label);
                if (painted == painted_.end() || painted->second != label->text()) {
                    return false;
                }
            }
        }
        return true;
    }

    // What is on top, with its texts; empty while none of the program's
    // windows shows.
    QStringList describe(QWidget** top) const {
        QWidget* mainWindow = nullptr;
        QWidget* busyPanel = nullptr;
        QMessageBox* alert = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!visibleWindow(window)) {
                continue;
            }
            if (auto* box = qobject_cast<QMessageBox*>(window)) {
                alert = box; // a nested alert is the newest
            } else if (window->objectName() == QLatin1String("busyPanel")) {
                busyPanel = window;
            } else if (window->objectName() == QLatin1String("mainWindow")) {
                mainWindow = window;
            }
        }
        if (alert != nullptr) {
            *top = alert;
            QString icon = QStringLiteral("plain");
            if (alert->icon() == QMessageBox::Warning) {
                icon = QStringLiteral("critical");
            } else if (alert->icon() == QMessageBox::Information) {
                icon = QStringLiteral("informational");
            }
            QStringList fields{QStringLiteral("alert"),
                               QString::number(alert->winId()),
                               icon,
                               alert->text(),
                               alert->informativeText(),
                               alert->defaultButton() != nullptr ? alert->defaultButton()->text()
                                                                 : QString()};
            for (QAbstractButton* button : alert->buttons()) {
                fields << button->text();
            }
            return fields;
        }
        // A window whose captions are not set yet is no screen of its own,
        // nor is a step that counts before it is half way.
        if (busyPanel != nullptr) {
            *top = busyPanel;
            const QString caption = labelText(busyPanel, "progressCaption");
            const QString detail = labelText(busyPanel, "progressDetail");
            const auto* bar =
                busyPanel->findChild<QProgressBar*>(QStringLiteral("progressIndicator"));
            const bool counting = bar != nullptr && bar->maximum() > 0 && !detail.isEmpty();
            if (caption.isEmpty() ||
                (counting && static_cast<qint64>(bar->value()) * 2 < bar->maximum())) {
                return {};
            }
            return {QStringLiteral("busy"), caption, detail};
        }
        if (mainWindow != nullptr) {
            *top = mainWindow;
            const QString caption = labelText(mainWindow, "WelcomeCaption");
            const QString caption2 = labelText(mainWindow, "WelcomeCaption2");
            if (caption.isEmpty() && caption2.isEmpty()) {
                return {};
            }
            return {QStringLiteral("main"), caption, caption2};
        }
        return {};
    }

    // With paintNow, paints the windows at once when the screen changed and
    // they are on the display.
    void check(bool paintNow = false) {
        QWidget* top = nullptr;
        const QStringList screen = describe(&top);
        if (screen.isEmpty() || same(screen, last_) ||
            (retryPending_ && same(screen, retryScreen_))) {
            return;
        }
        checking_ = true;
        if (paintNow && !settled() && allExposed()) {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                if (visibleWindow(window)) {
                    window->repaint();
                }
            }
        }
        checking_ = false;
        if (!settled()) {
            return;
        }

        QImage shot;
        if (!shotDir_.isEmpty()) {
            shot = grab(top);
            // Right after a window is mapped Qt may put its first picture on
            // the display only once the event loop runs again. An alert waits
            // for that; a caption may be gone by then, so its windows are
            // drawn as they paint themselves instead.
            if (blank(shot)) {
                if (qobject_cast<QMessageBox*>(top) != nullptr &&
                    (!same(screen, retryScreen_) || blankRetries_ < 40)) {
                    blankRetries_ = same(screen, retryScreen_) ? blankRetries_ + 1 : 1;
                    retryScreen_ = screen;
                    retryPending_ = true;
                    QTimer::singleShot(50, this, [this] {
                        retryPending_ = false;
                        check(true);
                    });
                    return;
                }
                rendering_ = true;
                shot = render(top);
                rendering_ = false;
            }
        }
        retryScreen_.clear();
        last_ = screen;
        ++count_;
        const QString path = blank(shot) ? QString() : save(shot, screen);
        QStringList fields{QStringLiteral("screen"), QString::number(count_),
                           path.isEmpty() ? QStringLiteral("-") : path};
        for (const QString& field : screen) {
            fields << escaped(field);
        }
        write(fields.join(QLatin1Char('\t')) + QLatin1Char('\n'));
    }

    // The part of the display that the program's visible windows cover.
    static QRect shotArea(const QWidget* top) {
        QRect area;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (visibleWindow(window)) {
                area |= window->frameGeometry();
            }
        }
        return top->screen() != nullptr ? area & top->screen()->geometry() : area;
    }

    static QImage grab(const QWidget* top) {
        QScreen* display = top->screen();
        if (display == nullptr) {
            return {};
        }
        const QRect area = shotArea(top);
        return display->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
    }

    // The same part of the display, drawn from the windows themselves.
    static QImage render(const QWidget* top) {
        const QRect area = shotArea(top);
        QImage image(area.size(), QImage::Format_RGB32);
        image.fill(Qt::black);
        QPainter painter(&image);
        // Alerts are above the other windows.
        for (const bool alerts : {false, true}) {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                if (visibleWindow(window) &&
                    (qobject_cast<QMessageBox*>(window) != nullptr) == alerts) {
                    painter.drawPixmap(window->geometry().topLeft() - area.topLeft(),
                                       window->grab());
                }
            }
        }
        return image;
    }

    // Nothing drawn: one colour all over (or no picture at all).
    static bool blank(const QImage& image) {
        if (image.isNull()) {
            return true;
        }
        const QRgb first = image.pixel(0, 0);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixel(x, y) != first) {
                    return false;
                }
            }
        }
        return true;
    }

    // Saved under a name after the caption that tells the screens apart.
    QString save(const QImage& shot, const QStringList& screen) const {
        QString caption = screen.value(1);
        if (screen.value(0) == QLatin1String("alert")) {
            caption = screen.value(3);
        }
        const QString name = QStringLiteral("%1-%2-%3.png")
                                 .arg(count_, 2, 10, QLatin1Char('0'))
                                 .arg(screen.value(0), slug(caption));
        const QString path = QDir(shotDir_).filePath(name);
        return shot.save(path, "PNG") ? path : QString();
    }

    void write(const QString& line) const {
        const QByteArray bytes = line.toUtf8();
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::write(fd_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            done += n;
        }
    }

    int fd_ = 2;
    QString shotDir_;
    std::map<const QObject*, QString> painted_;
    std::set<const QObject*> windowsPainted_;
    QStringList last_;
    int count_ = 0;
    bool checkPending_ = false;
    bool checking_ = false;
    bool rendering_ = false;
    QStringList retryScreen_; // a screen whose screenshot came out blank
    int blankRetries_ = 0;
    bool retryPending_ = false;
};

} // namespace

class DemoProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "DemoProbe.json")

  public:
    QObject* create(const QString& key, const QString& /*keyList*/) override {
        if (key.compare(QLatin1String("qrbdemoprobe"), Qt::CaseInsensitive) != 0) {
            return nullptr;
        }
        return new ScreenWatcher(QCoreApplication::instance());
    }
};

#include "DemoProbe.moc"
