#pragma once

// Helpers shared by the wizard tests: real repository folders, the saved-connections file
// under the test's own data directory, and a way to answer modal dialogs without hanging.

#include "scheduler/TaskStorage.h"
#include "support/Connections.h"
#include "support/Files.h"
#include "support/Modal.h"
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

using testsupport::closeNextMessageBox;
using testsupport::folderConnection;
using testsupport::fsPath;
using testsupport::onModal;
using testsupport::rejectNext;
using testsupport::saveConnections;
using testsupport::SeenMessage;
using testsupport::setApplicationNames;

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

inline bool makeFile(const QString& path, const QByteArray& content = QByteArrayLiteral("content"))
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace wiztest
