#pragma once

// The stored records and what the service keeps beside each of them (TaskEntry), under the
// one state lock. Every thread of the service takes that lock to read or write a record or
// its entry: the user-interface thread for edits, the worker for runs and timers, the
// backup pool and the command reaper for a run's end, the saver for the copies it writes.
// Only the user-interface thread adds and removes records, so it may read the list
// without the lock.
//
// A record is known by its address and the serial it got when it was stored: an address
// may be taken by a later record, whose serial differs, so a run that outlived its record
// never writes into the next one.

#include "execution/Actions.h"
#include "execution/TaskLog.h"
#include "model/TaskInfo.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/system_timer.hpp>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// A run's end as the task's last run keeps it: when it started and how it ended.
struct RunEnd
{
    Instant started = 0;
    execution::ActionResult result;
};

// A command of the task that has started and not yet ended.
struct RunningCommand
{
    pid_t pid = 0;
    bool stopped = false; // by the user (Stop)
};

// What the service keeps per stored record: its timer, its log and what Stop reaches.
struct TaskEntry
{
    TaskInfo* record = nullptr; // the stored record, which the service owns
    std::uint64_t serial = 0;
    // Tells the current wait of the timer from cancelled ones.
    std::uint64_t generation = 0;
    Instant expiry = kNeverInstant;
    // When a missed run is made up (kNeverInstant: none pending). Until it starts, the
    // record keeps the awaited run that was missed, so a stop before it loses nothing.
    Instant makeUpAt = kNeverInstant;
    // Set while the timer handler has yet to re-arm and write its end line: a command
    // that ends meanwhile leaves its end here for the handler to keep after it.
    bool finishing = false;
    std::vector<RunEnd> heldEnds;
    // What Stop reaches: the tool run of the task on the worker and its commands.
    bool toolRunning = false;
    std::vector<RunningCommand> commands;
    // Groups of stopped commands whose leader was collected before the kill: helpers
    // that ignore SIGTERM still get SIGKILL (the group keeps its id while one lives).
    std::vector<pid_t> stoppedGroups;
    // Ends the stopped commands that outlive the kill grace; made at the first stop.
    std::unique_ptr<boost::asio::steady_timer> killTimer;
    std::unique_ptr<boost::asio::system_timer> timer;
    std::unique_ptr<execution::TaskLog> log;
};

class StoredTasks
{
public:
    using TaskList = std::list<std::unique_ptr<TaskInfo>>;
    using Entries = std::unordered_map<const TaskInfo*, TaskEntry>;
    // Accepted by FindLocked for any record stored at the address.
    static constexpr std::uint64_t kAnySerial = 0;

    StoredTasks() = default;
    StoredTasks(const StoredTasks&) = delete;
    StoredTasks& operator=(const StoredTasks&) = delete;

    // The state lock.
    std::mutex& Mutex() const { return mutex_; }
    const TaskList& List() const { return tasks_; }

    // Stores the record at `position` in the list (past the end appends) with an entry of
    // a new serial, and counts the change.
    TaskEntry& InsertLocked(std::unique_ptr<TaskInfo> task, std::size_t position);
    // Forgets the record and its entry, and counts the change (also when it was not stored).
    void EraseLocked(const TaskInfo* task);
    // The entry of the record stored at `task` with `serial`, or null.
    TaskEntry* FindLocked(const TaskInfo* task, std::uint64_t serial);
    const TaskEntry* FindLocked(const TaskInfo* task, std::uint64_t serial) const;
    Entries& EntriesLocked() { return entries_; }

    // Counts the changes of stored state, so the store keeper knows what a file holds.
    void ChangedLocked() { ++changes_; }
    std::uint64_t ChangesLocked() const { return changes_; }

private:
    mutable std::mutex mutex_;
    TaskList tasks_;
    // Declared after the records: the timers go before what their handlers name.
    Entries entries_;
    std::uint64_t nextSerial_ = 1;
    std::uint64_t changes_ = 0;
};
