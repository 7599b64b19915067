#pragma once

// The timer of every stored task, armed on the worker's loop for the task's next run, its
// pending retry or its make-up run, whichever comes first. Arming happens under the state
// lock (StoredTasks) on the thread that changed the task: the user-interface thread for
// edits, the worker for runs, the thread that keeps a run's end for a retry. A timer fires
// on the worker, which calls `fired` without any lock held.

#include "model/TaskInfo.h"
#include "scheduler/StoredTasks.h"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>

class TaskTimers
{
public:
    using Fired = std::function<void(const TaskInfo* task, std::uint64_t serial, std::uint64_t generation)>;

    // `clock` is the current instant (the system clock when empty); the timers still wait on
    // the system clock: the clock decides which instant each timer is armed for.
    TaskTimers(StoredTasks& tasks, boost::asio::io_context& io, std::function<Instant()> clock, Fired fired);

    Instant Now() const { return clock_ ? clock_() : CurrentInstant(); }

    // Gives a newly stored entry its timer and arms it.
    void ArmLocked(TaskEntry& entry);
    // Arms the task's timer for its next run, or for a pending retry or make-up run when
    // sooner, and moves the awaited run on.
    void RearmLocked(TaskEntry& entry);
    // On the worker when the wall clock was set or the machine resumed: the waits the new
    // time has made due fire now.
    void RunDueAfterClockChange();

private:
    void StartWaitLocked(TaskEntry& entry, Instant expiry);

    StoredTasks& tasks_;
    boost::asio::io_context& io_;
    std::function<Instant()> clock_;
    Fired fired_;
    std::uint64_t nextGeneration_ = 1; // state lock
};
