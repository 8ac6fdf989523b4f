// The Qt application framework's modal alerts.

#include "QtApplicationFrameworkImpl.h"

#include <QAbstractButton>
#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

#include <algorithm>
#include <utility>
#include <vector>

using qtframework::ExitUnwind;
using qtframework::toQString;

namespace {

// The least width of an alert's text, in pixels.
constexpr int kAlertTextWidth = 360;

} // namespace

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
