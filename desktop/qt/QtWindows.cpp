// The Qt application framework's two windows, their captions and progress
// bars, and what the controller does with them.

#include "QtApplicationFrameworkImpl.h"

#include <QAccessible>
#include <QColor>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QMetaObject>
#include <QPalette>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

using qtframework::OutletWindow;
using qtframework::toQString;

// --- Building the windows ------------------------------------------------------------------

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
