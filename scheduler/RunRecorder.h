#pragma once

// Keeps what runs do to the stored records: a run's start and end as the task's last run
// (told through TaskEvents and written by the saver), the series of retries a failure
// starts, the modification times a run keeps, the commands a run left going until the
// reaper tells their ends, and the runs' log lines.
//
// Called from the worker (runs), the backup pool (a backup's start and end), the reaper's
// thread (a command's end) and the user-interface thread (Stop, logs). Each method takes
// the state lock (StoredTasks) itself, except those named ...Locked, which expect it held;
// events are emitted and lines echoed after it is released.

#include "execution/Actions.h"
#include "model/TaskInfo.h"
#include "scheduler/StoreKeeper.h"
#include "scheduler/StoredTasks.h"
#include "scheduler/TaskEvents.h"
#include "scheduler/TaskTimers.h"

#include <QCoreApplication>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class RunRecorder
{
    Q_DECLARE_TR_FUNCTIONS(TaskStorage)

public:
    // The timers of stopped commands wait on `io` (the worker's loop).
    RunRecorder(StoredTasks& tasks, TaskTimers& timers, StoreKeeper& keeper, TaskEvents& events,
                boost::asio::io_context& io);

    // Keeps the run's start as the task's last run: the start, or nothing for a record that
    // is no longer stored.
    std::optional<Instant> Begin(const TaskInfo* stored, std::uint64_t serial);
    // Keeps the run's end while the run that started then is the last one, and follows it
    // with a retry when it failed and the series has one left.
    void End(const TaskInfo* stored, std::uint64_t serial, const RunEnd& end);
    // Keeps the modification times of `result` while the task's action is still the one
    // the run was made for; they reach the store with the run's end.
    void KeepTimes(const TaskInfo* stored, std::uint64_t serial, const execution::ActionResult& result);

    // A command of the run started at `started` runs as `pid` (until CommandEnded).
    void CommandStarted(const TaskInfo* stored, std::uint64_t serial, pid_t pid);
    // The command has ended (on the reaper's thread): its end is kept at once unless the
    // timer handler of its run has yet to finish, which keeps it then (FinishTimedRun).
    void CommandEnded(const TaskInfo* stored, std::uint64_t serial, Instant started, pid_t pid,
                      execution::ActionResult result);
    // Clears the entry's `finishing` and keeps the command ends held meanwhile.
    void FinishTimedRun(const TaskInfo* stored, std::uint64_t serial);
    // The user's stop of the entry's commands: SIGTERM to their groups now, SIGKILL after
    // `killGrace`. True when the task has commands running.
    bool StopCommandsLocked(TaskEntry& entry, std::chrono::milliseconds killGrace);

    // Writes one time-stamped line into the task's log and echoes it on standard error;
    // a task that is no longer stored logs to standard error only.
    void Log(const TaskInfo* task, std::uint64_t serial, const std::wstring& message, bool headed);

    // The timer of `entry` has fired: whether for the pending retry (kept as this run's
    // attempt) or for a regular or made-up run (which starts a new series).
    static void TakeRetryLocked(TaskEntry& entry);
    // What a start makes of the run state the store kept for a task: a run kept as going
    // ended with the program, a missed run is made up `delay` after `now`, and so is a
    // pending retry that fell due meanwhile.
    struct LoadedRun
    {
        bool interrupted = false; // the last run was cut short; its reason says how
        bool missed = false;      // a run is to be made up
    };
    static LoadedRun SettleLoaded(TaskInfo& task, Instant now, Instant delay);

private:
    // The series of retries after a run that ended with `outcome`: a failure arms the next
    // attempt while the series has one left; anything else ends it. The log line for an
    // armed attempt, else empty.
    std::wstring FollowRunLocked(TaskEntry& entry, RunOutcome outcome);
    void KeepCommandEnd(const TaskInfo* stored, std::uint64_t serial, const RunEnd& end);
    void KillStoppedCommands(const TaskInfo* stored, std::uint64_t serial);

    StoredTasks& tasks_;
    TaskTimers& timers_;
    StoreKeeper& keeper_;
    TaskEvents& events_;
    boost::asio::io_context& io_;
};
