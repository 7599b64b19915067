#include "support/Modal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QPushButton>
#include <QTimer>

namespace testsupport {
namespace {

class ModalWatch final : public QObject
{
public:
    ModalWatch(std::function<bool(QWidget*)> matches, std::function<void(QWidget*)> act, std::shared_ptr<bool> armed,
               int timeoutMs)
        : matches_(std::move(matches))
        , act_(std::move(act))
        , armed_(std::move(armed))
    {
        qApp->installEventFilter(this);
        // The dialog is modal from its show() on; exec() then runs this zero-time shot.
        QTimer::singleShot(0, this, [this] { check(); });
        QTimer::singleShot(timeoutMs, this, [this] { finish(); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // A dialog opened later than the next pass of the event loop is caught once shown.
        if (event->type() == QEvent::Show && watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow())
            QTimer::singleShot(0, this, [this] { check(); });
        return false;
    }

private:
    void check()
    {
        if (done_)
            return;
        if (!*armed_) {
            finish();
            return;
        }
        QWidget* widget = QApplication::activeModalWidget();
        if (widget == nullptr || !matches_(widget))
            return;
        const auto act = act_;
        finish();
        act(widget);
    }

    void finish()
    {
        if (done_)
            return;
        done_ = true;
        *armed_ = false;
        qApp->removeEventFilter(this);
        deleteLater();
    }

    std::function<bool(QWidget*)> matches_;
    std::function<void(QWidget*)> act_;
    std::shared_ptr<bool> armed_;
    bool done_ = false;
};

} // namespace

namespace detail {
void watchModal(std::function<bool(QWidget*)> matches, std::function<void(QWidget*)> act, std::shared_ptr<bool> armed,
                int timeoutMs)
{
    new ModalWatch(std::move(matches), std::move(act), std::move(armed), timeoutMs);
}
} // namespace detail

std::shared_ptr<SeenMessage> closeNextMessageBox(QMessageBox::StandardButton answer)
{
    auto seen = std::make_shared<SeenMessage>();
    seen->armed = onModal<QMessageBox>([seen, answer](QMessageBox* box) {
        seen->seen = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->buttons = box->standardButtons();
        seen->defaultButton = box->standardButton(box->defaultButton());
        // The static helpers answer the button clicked, not the dialog's result.
        if (QAbstractButton* button = box->button(answer))
            button->click();
        else
            box->done(answer);
    });
    return seen;
}

} // namespace testsupport
