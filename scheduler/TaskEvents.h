#pragma once

// What the task storage service tells the user interface, so it never polls: a run that
// started or ended, a timer armed anew, a save that failed. The object belongs to the
// service and lives on the thread that built the service (the user-interface thread);
// the worker, the backup pool, the command reaper and the saver emit, Qt queues the
// delivery, and no emitter ever waits for a receiver. Receivers re-read what they need
// from the service (TaskStorage::Copy, TaskStorage::ScheduledRun) and ignore a task
// pointer that is no longer stored (TaskStorage::Tasks()).

#include "model/TaskInfo.h"

#include <QObject>
#include <QString>

class TaskEvents : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void runStarted(const TaskInfo* task);
    // `reason` is the first line of why the run failed; empty on success.
    void runEnded(const TaskInfo* task, bool succeeded, const QString& reason);
    // A run the user stopped has ended; it is neither a success nor a failure.
    void runStopped(const TaskInfo* task);
    // The task's next run changed.
    void rearmed(const TaskInfo* task);
    // The store file could not be written; the change is not stored.
    void saveFailed(const QString& reason);
    // The store file was written and holds every change (after a failed save too).
    void saved();
};

Q_DECLARE_METATYPE(const TaskInfo*)
