#pragma once

#include "QtApplicationFramework.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qt_testing {

using namespace std::chrono_literals;

// An alert as the user saw it.
struct AlertSeen {
    std::string windowTitle;
    std::string text;
    std::string informativeText;
    std::vector<std::string> buttons; // in the order the box holds them
    std::string defaultButton;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool hasIconPixmap = false;
};

inline std::string str(const QString& text) {
    return text.toStdString();
}

// Works the real message boxes like a user: every few milliseconds, when a
// QMessageBox is the active modal widget, it records it and applies the next
// queued action to it. An alert with no action left fails the test and gets
// its default button.
class AlertAnswerer {
  public:
    using Action = std::function<void(QMessageBox&)>;

    AlertAnswerer() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start();
    }

    void then(Action action) { actions_.push_back(std::move(action)); }
    // Clicks the button with this text.
    void thenClick(const std::string& text) {
        then([text](QMessageBox& box) {
            for (QAbstractButton* button : box.buttons()) {
                if (str(button->text()) == text) {
                    button->click();
                    return;
                }
            }
            ADD_FAILURE() << "no button \"" << text << "\" in alert \"" << str(box.text()) << "\"";
            box.defaultButton()->click();
        });
    }
    // Presses Return where the keyboard focus is, as a user would.
    void thenPressReturn() {
        then([](QMessageBox& box) {
            QWidget* target = box.focusWidget() != nullptr ? box.focusWidget() : &box;
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(target, &press);
            QApplication::sendEvent(target, &release);
        });
    }

    // Presses Escape where the keyboard focus is.
    void thenPressEscape() {
        then([](QMessageBox& box) {
            QWidget* target = box.focusWidget() != nullptr ? box.focusWidget() : &box;
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(target, &press);
            QApplication::sendEvent(target, &release);
        });
    }
    // Moves the keyboard focus on with Tab, then presses Space there.
    void thenTabAndSpace() {
        then([](QMessageBox& box) {
            auto send = [](QWidget* target, Qt::Key key) {
                QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier,
                                key == Qt::Key_Space ? QStringLiteral(" ") : QString());
                QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier,
                                  key == Qt::Key_Space ? QStringLiteral(" ") : QString());
                QApplication::sendEvent(target, &press);
                QApplication::sendEvent(target, &release);
            };
            send(box.focusWidget() != nullptr ? box.focusWidget() : &box, Qt::Key_Tab);
            send(box.focusWidget() != nullptr ? box.focusWidget() : &box, Qt::Key_Space);
        });
    }
    // Closes the alert's window, as its close button in the title bar does.
    void thenCloseWindow() {
        then([](QMessageBox& box) { box.close(); });
    }

    const std::vector<AlertSeen>& seen() const { return seen_; }
    std::size_t actionsLeft() const { return actions_.size(); }

  private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible() || box == handled_) {
            return;
        }
        handled_ = box; // a Return press clicks a little later: act once
        AlertSeen alert{str(box->windowTitle()),
                        str(box->text()),
                        str(box->informativeText()),
                        {},
                        {},
                        box->icon(),
                        !box->iconPixmap().isNull()};
        for (QAbstractButton* button : box->buttons()) {
            alert.buttons.push_back(str(button->text()));
        }
        if (box->defaultButton() != nullptr) {
            alert.defaultButton = str(box->defaultButton()->text());
        }
        seen_.push_back(alert);
        QObject::connect(box, &QObject::destroyed, [this] { handled_ = nullptr; });
        if (actions_.empty()) {
            ADD_FAILURE() << "unexpected alert \"" << alert.text << "\"";
            box->defaultButton()->click();
            return;
        }
        const Action action = std::move(actions_.front());
        actions_.pop_front();
        action(*box);
    }

    QTimer timer_;
    std::deque<Action> actions_;
    std::vector<AlertSeen> seen_;
    QMessageBox* handled_ = nullptr;
};

// Calls action once, on the main thread, as soon as condition holds (polled
// every few milliseconds, also inside alerts).
class When {
  public:
    When(std::function<bool()> condition, std::function<void()> action)
        : condition_(std::move(condition)), action_(std::move(action)) {
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (condition_()) {
                timer_.stop();
                action_();
            }
        });
        timer_.start();
    }
    bool fired() const { return !timer_.isActive(); }

  private:
    QTimer timer_;
    std::function<bool()> condition_;
    std::function<void()> action_;
};

// Runs start and the framework's loop until the application exits (the
// framework must have an exit hook). Past limit the test fails and the
// application is made to exit with status 99.
inline std::optional<int> runWithLimit(QtApplicationFramework& framework,
                                       const std::function<void()>& start,
                                       std::chrono::milliseconds limit = 20s) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&framework, limit] {
        ADD_FAILURE() << "the application did not exit within " << limit.count() << " ms";
        try {
            framework.exit(99);
        } catch (...) { // the framework's unwinding of exit()
        }
    });
    watchdog.start(limit);
    framework.run(start);
    return framework.exitStatus();
}

} // namespace qt_testing
