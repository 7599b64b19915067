#pragma once

// Helpers shared by the wizard tests: real repository folders, the saved-connections file
// under the test's own data directory, and a way to answer modal dialogs without hanging.

#include "app/ServiceWizardContext.h"
#include "scheduler/TaskStorage.h"
#include "support/Connections.h"
#include "support/Files.h"
#include "support/Modal.h"
#include "support/Widgets.h"
#include "wizard/TaskWizard.h"
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

using testsupport::child;

namespace wiztest {

using testsupport::closeNextMessageBox;
using testsupport::folderConnection;
using testsupport::fsPath;
using testsupport::onModal;
using testsupport::rejectNext;
using testsupport::saveConnections;
using testsupport::SeenMessage;
using testsupport::setApplicationNames;

// The wizard's context as the application builds it.
inline WizardContext storageContext()
{
    return ServiceWizardContext(TaskStorage::Instance());
}

inline bool makeFile(const QString& path, const QByteArray& content = QByteArrayLiteral("content"))
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A task named "Задача" that performs `action`.
inline TaskInfo namedTask(const Action& action)
{
    TaskInfo task;
    task.name = L"Задача";
    task.action = action;
    return task;
}

// Moves forward until page `id` is current or the wizard refuses to go on.
inline void goTo(TaskWizard& wizard, int id)
{
    while (wizard.currentId() != id) {
        const int before = wizard.currentId();
        wizard.next();
        if (wizard.currentId() == before)
            return;
    }
}

} // namespace wiztest
