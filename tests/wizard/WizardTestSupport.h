#pragma once

// Helpers shared by the wizard tests: real repository folders, the saved-connections file
// under the test's own data directory, and a way to answer modal dialogs without hanging.

#include "repository/Connections.h"
#include "repository/Vadro.h"
#include "scheduler/TaskStorage.h"
#include "wizard/WizardContext.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace wiztest {

inline std::filesystem::path fsPath(const QString& text)
{
    return std::filesystem::u8path(text.toStdString());
}

// The wizard's context as the application builds it: the service's core and tasks, and
// the scheduler's own computation of runs.
inline WizardContext storageContext()
{
    WizardContext context;
    context.core = TaskStorage::Instance().Core();
    context.storedTasks = [] {
        std::vector<const TaskInfo*> tasks;
        for (const auto& task : TaskStorage::Instance().Tasks())
            tasks.push_back(task.get());
        return tasks;
    };
    context.nextRun = [](const TaskInfo& task, Instant now) { return task.NextRun(now); };
    context.canRunOnlyOnWorkingDays = [](const TaskInfo& task) { return task.CanRunOnlyOnWorkingDays(); };
    return context;
}

inline void setApplicationNames()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Holmiq"));
    QCoreApplication::setApplicationName(QStringLiteral("KalvorScheduler"));
}

inline bool makeFile(const QString& path, const QByteArray& content = QByteArrayLiteral("content"))
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline vadro_cm::Connection folderConnection(const QString& name, const QString& folder)
{
    vadro_cm::Connection connection;
    connection.name = name.toStdWString();
    connection.address = vadro_cm::ServerAddress{folder.toStdWString(), 0};
    return connection;
}

// Replaces the saved-connections file that the wizard reads.
inline void saveConnections(const std::vector<vadro_cm::Connection>& connections)
{
    Config config(SavedConnectionsPath());
    ConnectionsModel model(config);
    model.UpdateConnections(connections);
}

// Runs `action` on the next modal widget of type T once it is open. Gives up after five
// seconds, or once the returned flag is cleared, so a dialog that never opens fails the
// caller's own check instead of hanging or catching a later dialog.
template <class T>
std::shared_ptr<bool> onModal(std::function<void(T*)> action)
{
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    auto armed = std::make_shared<bool>(true);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, armed, action] {
        if (!*armed) {
            timer->stop();
            timer->deleteLater();
        } else if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget())) {
            *armed = false;
            timer->stop();
            timer->deleteLater();
            action(widget);
        } else if (++*tries > 500) {
            *armed = false;
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
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
inline std::shared_ptr<SeenMessage> closeNextMessageBox(QMessageBox::StandardButton answer = QMessageBox::Ok)
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

// Rejects the next modal dialog of type T (a chooser the user cancels).
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

} // namespace wiztest
