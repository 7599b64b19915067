#pragma once

// The task storage service as the tests see it: its tasks by name, its logs without their
// time stamps, and the application-wide instance emptied between cases.

#include "scheduler/TaskStorage.h"

#include <QStringList>

#include <memory>

namespace testsupport {

// The names of the service's tasks, in list order.
QStringList taskNames(const TaskStorage& service);

// A service of its own below `root`: its store in a folder that no other service made here
// uses, its logs in `root`/logs, and the built stand-in as its product tool.
std::unique_ptr<TaskStorage> serviceIn(const QString& root, std::shared_ptr<vadro::ICore> core = vadro::CreateCore(),
                                       TaskStorage::Settings settings = {});

// Removes every task of TaskStorage::Instance().
void clearService();

// The messages of a task's log without their "dd.MM.yyyy hh:mm:ss " stamps; a message
// that ends in a line break leaves an empty line. A line without a valid stamp comes back
// as the one entry "bad stamp: <line>", which no expected log equals.
QStringList logMessages(const TaskStorage& service, const TaskInfo* task);
QStringList logMessages(const QByteArray& logText);

} // namespace testsupport
