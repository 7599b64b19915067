#pragma once

// Drives modal dialogs: the interaction is armed before the code under test opens the
// dialog and runs inside the dialog's own event loop, the way a user would answer it.

#include <QMessageBox>
#include <QWidget>

#include <functional>
#include <memory>

namespace testsupport {

namespace detail {
// Runs `act` on the active modal widget once `matches` accepts it. It looks when the event
// loop next runs and again after each window is shown, never on a clock; it stops once it
// has acted, once `armed` is cleared, or after `timeoutMs`, clearing `armed` itself.
void watchModal(std::function<bool(QWidget*)> matches, std::function<void(QWidget*)> act, std::shared_ptr<bool> armed,
                int timeoutMs);
} // namespace detail

// Runs `action` on the next modal widget of type T once it is open. The returned flag is
// cleared when the action has run or the watch gave up (after `timeoutMs`); clear it to
// stop watching, so that a dialog that never opens fails the caller's own check instead
// of hanging the test or catching a later dialog.
template <class T>
std::shared_ptr<bool> onModal(std::function<void(T*)> action, int timeoutMs = 5000)
{
    auto armed = std::make_shared<bool>(true);
    detail::watchModal([](QWidget* widget) { return qobject_cast<T*>(widget) != nullptr; },
                       [action](QWidget* widget) { action(qobject_cast<T*>(widget)); }, armed, timeoutMs);
    return armed;
}

struct SeenMessage
{
    bool seen = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::NoButton;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    // Cleared to stop waiting for a box that should not come.
    std::shared_ptr<bool> armed;
};

// Closes the next message box with `answer` and records what it said.
std::shared_ptr<SeenMessage> closeNextMessageBox(QMessageBox::StandardButton answer = QMessageBox::Ok);

// Rejects the next modal dialog of type T (a chooser the user cancels); the flag tells
// whether one was rejected.
template <class T>
std::shared_ptr<bool> rejectNext()
{
    auto seen = std::make_shared<bool>(false);
    onModal<T>([seen](T* dialog) {
        *seen = true;
        dialog->reject();
    });
    return seen;
}

} // namespace testsupport
