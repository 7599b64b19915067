#include "scheduler/TaskTimers.h"

#include "common/Logging.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

namespace {

boost::asio::system_timer::time_point TimePoint(Instant t)
{
    return boost::asio::system_timer::time_point(
        std::chrono::duration_cast<boost::asio::system_timer::duration>(std::chrono::nanoseconds(t)));
}

Instant NextRunOrNever(const TaskInfo& task, Instant now)
{
    try {
        return task.NextRun(now);
    } catch (const std::exception& e) {
        qCWarning(lcScheduler, "Cannot compute the next run of a task: %s", e.what());
        return kNeverInstant;
    }
}

} // namespace

TaskTimers::TaskTimers(StoredTasks& tasks, boost::asio::io_context& io, std::function<Instant()> clock, Fired fired)
    : tasks_(tasks)
    , io_(io)
    , clock_(std::move(clock))
    , fired_(std::move(fired))
{}

void TaskTimers::ArmLocked(TaskEntry& entry)
{
    entry.timer = std::make_unique<boost::asio::system_timer>(io_);
    RearmLocked(entry);
}

void TaskTimers::RearmLocked(TaskEntry& entry)
{
    TaskInfo& record = *entry.record;
    tasks_.ChangedLocked(); // the awaited run moves on
    if (!record.run_missed || record.paused)
        entry.makeUpAt = kNeverInstant;
    // A paused task waits for nothing, so it awaits no run that could be missed either.
    const Instant next = record.paused ? kNeverInstant : NextRunOrNever(record, Now());
    const Instant retry = record.paused ? kNeverInstant : record.retry_at;
    StartWaitLocked(entry, std::min({next, entry.makeUpAt, retry}));
    if (!record.run_missed)
        record.awaited_run = kNeverInstant;
    else if (entry.makeUpAt == kNeverInstant)
        record.awaited_run = next;
}

void TaskTimers::StartWaitLocked(TaskEntry& entry, Instant expiry)
{
    entry.generation = nextGeneration_++;
    entry.expiry = expiry;
    entry.timer->expires_at(TimePoint(expiry));
    entry.timer->async_wait([this, task = static_cast<const TaskInfo*>(entry.record), serial = entry.serial,
                             generation = entry.generation](const boost::system::error_code& ec) {
        if (ec == boost::asio::error::operation_aborted)
            return;
        fired_(task, serial, generation);
    });
}

void TaskTimers::RunDueAfterClockChange()
{
    // The waits that the new time has made due run now, also where the loop cannot measure
    // them anew (a wait due at once is armed as an absolute instant, which a process whose
    // clock is faked cannot arm). A wait that fires as well finds its generation changed.
    const Instant now = CurrentInstant();
    std::lock_guard<std::mutex> lock(tasks_.Mutex());
    for (auto& [task, entry] : tasks_.EntriesLocked()) {
        if (entry.expiry > now)
            continue;
        entry.timer->cancel();
        boost::asio::post(io_, [this, task = task, serial = entry.serial, generation = entry.generation] {
            fired_(task, serial, generation);
        });
    }
}
