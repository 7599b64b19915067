#pragma once

// The task storage service as the tests see it: its tasks by name, its logs without their
// time stamps, and the application-wide instance emptied between cases.

#include "scheduler/TaskStorage.h"

#include <QStringList>

namespace testsupport {

// The names of the service's tasks, in list order.
QStringList taskNames(const TaskStorage& service);

// Removes every task of TaskStorage::Instance().
void clearService();

// The messages of a task's log without their "dd.MM.yyyy hh:mm:ss " stamps; a message
// that ends in a line break leaves an empty line. A line without a valid stamp comes back
// as the one entry "bad stamp: <line>", which no expected log equals.
QStringList logMessages(const TaskStorage& service, const TaskInfo* task);
QStringList logMessages(const QByteArray& logText);

} // namespace testsupport
