#pragma once

// The one object that holds the tasks while the program runs: it owns the stored
// records, keeps the store file in step with them, arms one timer per task on a worker
// thread and performs the tasks when they are due.
//
// Threads and state: the list, the stored records, the timers and the log entries are
// guarded by one state lock. The user-interface thread takes it for AddTask, UpdateTask
// and RemoveTask; the worker takes it to read a record before a run (runs work on a
// copy, so a long tool run never holds it), to write the run's results back, to log and
// to re-arm. Timers are only ever touched under that lock. Save additionally holds the
// store lock for the whole write (it copies the records under the state lock and formats
// and writes them without it), so saves never interleave; the same lock guards what the
// load found damaged (Load, Damage). The store lock is always taken before the state lock.
//
// Edits save on the calling thread before they return. A run's start and end only mark the
// state changed: a saver thread of its own (StoreSaver) writes the newest state shortly
// after, one write for every change made meanwhile, so no run waits for the disk. Backups
// run on a small pool of their own that keeps its runs' starts and ends like the worker;
// the pool is stopped before the worker, the saver last.

#include "execution/Actions.h"
#include "execution/ToolRun.h"
#include "model/TaskInfo.h"
#include "repository/Vadro.h"
#include "scheduler/TaskEvents.h"

#include <QCoreApplication>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/system_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace execution {
class TaskLog;
}
class StoreSaver;

// What a service may take from elsewhere than the machine (tests pin them).
struct TaskStorageSettings
{
    // The current instant; the system clock when empty. The timers still wait on the
    // system clock: the clock decides which instant each timer is armed for.
    std::function<Instant()> clock;
    // How long after the start a missed run is made up.
    std::chrono::milliseconds missedRunDelay{std::chrono::minutes(2)};
    // While the store holds less than the service, a save is tried again this often.
    std::chrono::milliseconds saveRetryDelay{std::chrono::minutes(1)};
};

class TaskStorage
{
    Q_DECLARE_TR_FUNCTIONS(TaskStorage)

public:
    using TaskList = std::list<std::unique_ptr<TaskInfo>>;

    // The single service, built at the first call (thread-safe) and destroyed at exit.
    static TaskStorage& Instance();

    // A service on explicit places, for tests and tools: the store file, the log
    // directory and the core. Instance() uses the user's places and vadro::CreateCore().
    using Settings = TaskStorageSettings;
    TaskStorage(std::filesystem::path storePath, std::filesystem::path logDirectory, std::shared_ptr<vadro::ICore> core,
                Settings settings = {});
    ~TaskStorage();

    // Ends the tool runs and backups in progress and stops the worker and the command
    // reaper: nothing runs or is told after it. The program calls it while Qt still runs;
    // the destructor does it otherwise. Changes made afterwards are still saved.
    void Shutdown();

    TaskStorage(const TaskStorage&) = delete;
    TaskStorage& operator=(const TaskStorage&) = delete;

    // The stored records, in list order. Read it on the user-interface thread only; the
    // worker never adds or removes records.
    const TaskList& Tasks() const { return tasks_; }
    std::shared_ptr<vadro::ICore> Core() const { return core_; }
    // A copy of a stored record taken under the state lock: a run on the worker may be
    // writing the record's modification times at that moment. Throws std::out_of_range
    // for a record the service does not hold.
    TaskInfo Copy(const TaskInfo* stored) const;

    // Stores a copy, arms its timer, opens its log and saves. The copy has not run: it
    // starts without a last run. Returns the stored record.
    // `position` is the place in the list (and so in the store file); past the end appends.
    const TaskInfo* AddTask(const TaskInfo& task, std::size_t position = SIZE_MAX);
    // Assigns `edited` to the stored record in place, re-arms and saves; the last run the
    // service keeps stays as it is, whatever `edited` holds. Throws
    // std::out_of_range for a record the service does not hold, changing nothing.
    void UpdateTask(const TaskInfo* stored, const TaskInfo& edited);
    // Forgets the task, deletes its log file and saves (also when it was not found).
    void RemoveTask(const TaskInfo* stored);
    // Has the worker perform the task once, without touching its schedule; returns at once.
    void RunNow(const TaskInfo* stored);
    // Pauses or resumes the task, re-arms and saves. A pause drops a pending retry or
    // make-up run; a resumed task waits for its next run after now. False for a record the
    // service does not hold; true, changing nothing, when the task is so already.
    bool SetPaused(const TaskInfo* stored, bool paused);
    // Stops what the task runs now: its tool run, its commands (SIGTERM to their process
    // groups, SIGKILL after the tool limits' kill grace) and its backup (at its next
    // document). Each such run ends as stopped. False when nothing of the task runs.
    bool Stop(const TaskInfo* stored);

    // Writes every stored task into the store file. A store that the load found damaged
    // is first kept beside it (see Damage()); when that fails, nothing is written. A save
    // that fails says why on standard error and through Events().saveFailed. False then.
    bool Save();
    // True from a failed save until the next save that succeeds: changes are held in memory
    // only, and the saver tries again every saveRetryDelay. Safe from any thread.
    bool HasUnsavedChanges() const { return unsaved_.load(); }

    // What the load found wrong with the store file: set when the file exists but does
    // not parse as a whole, cannot be read, or holds a task that was dropped.
    struct StoreDamage
    {
        std::string reason;           // empty when the store loaded whole
        std::size_t recovered = 0;    // tasks loaded from it, damaged or not
        std::size_t dropped = 0;      // `task` elements that could not be read
        std::filesystem::path keptAs; // the damaged file beside the store; empty until the first save
    };
    StoreDamage Damage() const;

    // Writes one time-stamped line into the task's log and echoes it on standard error.
    // Safe from any thread; a task that is no longer stored logs to standard error only.
    void Log(const TaskInfo* task, const std::wstring& message, bool headed);

    // Where the service reports runs, re-arms and failed saves (see TaskEvents).
    TaskEvents& Events() { return *events_; }

    const std::filesystem::path& StorePath() const { return storePath_; }
    const std::filesystem::path& LogDirectory() const { return logDirectory_; }
    // The log file of a stored task; empty when it has none.
    std::filesystem::path LogFilePath(const TaskInfo* task) const;
    // When the stored task's timer fires next (kNeverInstant when it never does).
    Instant ScheduledRun(const TaskInfo* task) const;

    // Points the export and check runs at another product tool (tests use stand-ins);
    // by default the tool is CliExecutablePath(). Call before any run.
    void SetToolPath(std::filesystem::path tool) { toolPath_ = std::move(tool); }
    // Bounds the tool runs differently (tests use short limits); by default a run may take
    // ToolTimeout(). Call before any run.
    void SetToolLimits(const execution::ToolLimits& limits) { toolLimits_ = limits; }

    // Called on the worker when a task's timer fires, before its start line (for
    // measurements). Set it before any task is due.
    void SetStartObserver(std::function<void(const TaskInfo*)> observer) { startObserver_ = std::move(observer); }

    // Performs the action of a stored task once on the calling thread (the worker, in the
    // program) and keeps its outcome as the task's last run (a backup's when it ends on the
    // backup pool, a command's on the worker when the command ends). Never throws.
    void Perform(const TaskInfo* task);

    // Creates the log entry of a stored task. Throws std::filesystem::filesystem_error
    // when the log directory cannot be created.
    void AddLogger(const TaskInfo& task);

    // The user's places: the store file under the generic data location and the log
    // directory in the cache location.
    static std::filesystem::path DefaultStorePath();
    static std::filesystem::path DefaultLogDirectory();

private:
    struct Worker;
    struct Backups;
    // A run's start and end as the task's last run (see BeginRun and EndRun).
    struct RunEnd
    {
        Instant started = 0;
        execution::RunFailure failure;
        bool stopped = false; // by the user (Stop)
    };
    // A command of the task that has started and not yet ended.
    struct RunningCommand
    {
        pid_t pid = 0;
        bool stopped = false;
    };
    // What the service keeps per stored record: its timer and its log. `serial` tells a
    // record apart from a later one stored at the same address; `generation` tells the
    // current wait of the timer from cancelled ones.
    struct Entry
    {
        std::uint64_t serial = 0;
        std::uint64_t generation = 0;
        Instant expiry = kNeverInstant;
        // When a missed run is made up (kNeverInstant: none pending). Until it starts, the
        // record keeps the awaited run that was missed, so a stop before it loses nothing.
        Instant makeUpAt = kNeverInstant;
        // Set while the timer handler has yet to re-arm and write its end line: a command
        // that ends meanwhile leaves its end here for the handler to keep after it.
        bool finishing = false;
        std::vector<RunEnd> heldEnds;
        // What Stop reaches: the tool run of the task on the worker (through toolCancel_)
        // and its commands.
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

    void Load();
    // Stores and arms a record; `makeUpAt` is when a missed run is made up, if one is.
    const TaskInfo* ArmLocked(std::unique_ptr<TaskInfo> task, std::size_t position = SIZE_MAX,
                              Instant makeUpAt = kNeverInstant);
    // Writes the store under the store lock; the reason when that failed, else empty.
    QString SaveLocked();
    void StartWaitLocked(const TaskInfo* task, Entry& entry, Instant expiry);
    // Arms the task's timer for its next run, or for a pending make-up run when sooner.
    void RearmLocked(const TaskInfo* task, Entry& entry);
    Instant NextRunOf(const TaskInfo& task) const;
    Instant Now() const { return clock_ ? clock_() : CurrentInstant(); }
    // The run's start and end as the task's last run: kept, saved and told (Events()).
    // BeginRun answers the start, or nothing for a record that is no longer stored. EndRun
    // keeps the end only while the run that started then is the last one.
    std::optional<Instant> BeginRun(const TaskInfo* stored, std::uint64_t serial);
    void EndRun(const TaskInfo* stored, std::uint64_t serial, const RunEnd& end);
    // Performs the action; how it ended, or nothing when the run goes on elsewhere (a
    // backup on the pool, a started command) or did not start. `began` is the run's start
    // once it is kept.
    std::optional<RunEnd> RunAction(const TaskInfo* stored, std::uint64_t serial, const TaskInfo& copy,
                                    std::optional<Instant>& began);
    // RunAction (after the start observer and the start line when `timed`) that never
    // throws: whatever fails the start is logged and ends the run as failed.
    std::optional<RunEnd> RunGuarded(const TaskInfo* stored, std::uint64_t serial, const TaskInfo& copy, bool timed);
    // Whether a failed end is that of a run the program stopped by quitting: such a run is
    // left kept as going, so the next start takes it as interrupted.
    bool StoppedByQuit(const RunEnd& end) const;
    // Keeps the end of a command started at `started`, from its wait status (on the reaper's
    // thread), at once unless the timer handler of its run has yet to finish.
    void EndCommand(const TaskInfo* stored, std::uint64_t serial, Instant started, int waitStatus, pid_t pid);
    void KeepCommandEnd(const TaskInfo* stored, std::uint64_t serial, const RunEnd& end);
    // Clears `finishing` and keeps the command ends held meanwhile.
    void FinishTimedRun(const TaskInfo* stored, std::uint64_t serial);
    // The series of retries after a run that ended with `outcome`: a failure arms the next
    // attempt while the series has one left; anything else ends it. The log line for an
    // armed attempt, else empty.
    std::wstring FollowRunLocked(TaskInfo& record, Entry& entry, RunOutcome outcome);
    // The timer of `entry` has fired: whether for the pending retry (kept as this run's
    // attempt) or for a regular or made-up run (which starts a new series).
    static void TakeRetryLocked(TaskInfo& record, const Entry& entry);
    // A pending retry found at load that fell due meanwhile runs `delay` after `now`.
    static void HonourPendingRetry(TaskInfo& task, Instant now, Instant delay);
    void KillStoppedCommands(const TaskInfo* stored, std::uint64_t serial);
    // The saver's write: saves when anything changed since the last save, or a save failed.
    bool SaveChanges();
    void OnTimer(const TaskInfo* task, std::uint64_t serial, std::uint64_t generation);
    // On the worker when the wall clock was set or the machine resumed.
    void RunDueAfterClockChange();
    Entry* FindLocked(const TaskInfo* task, std::uint64_t serial);
    // Performs a stored task on a copy taken under the lock; serial 0 accepts any record
    // stored at that address.
    void PerformStored(const TaskInfo* task, std::uint64_t serial);
    void LogTo(const TaskInfo* task, std::uint64_t serial, const std::wstring& message, bool headed);
    void KeepTimes(const TaskInfo* stored, std::uint64_t serial, const std::wstring& key,
                   const std::vector<std::pair<std::wstring, Instant>>& times);
    std::unique_ptr<execution::TaskLog> OpenLog(const TaskInfo& task);
    std::filesystem::path ToolPath() const;
    execution::ToolRunSettings ToolSettings() const;

    // Built first, so it lives on the constructing thread and outlives every emitter.
    std::unique_ptr<TaskEvents> events_ = std::make_unique<TaskEvents>();
    std::unique_ptr<Worker> worker_;
    std::unique_ptr<Backups> backups_;
    TaskList tasks_;
    std::unordered_map<const TaskInfo*, Entry> entries_;
    std::filesystem::path storePath_;
    std::filesystem::path logDirectory_;
    std::shared_ptr<vadro::ICore> core_;
    std::filesystem::path toolPath_;
    std::function<void(const TaskInfo*)> startObserver_;
    std::function<Instant()> clock_;
    std::chrono::milliseconds missedRunDelay_;
    std::chrono::milliseconds saveRetryDelay_;
    mutable std::mutex stateMutex_;
    mutable std::mutex storeMutex_;
    // Guarded by the store lock. The damaged file's bytes wait here for the first save;
    // an unreadable one is moved aside instead.
    StoreDamage damage_;
    std::string damagedBytes_;
    bool damagedUnreadable_ = false;
    std::atomic<bool> unsaved_{false};
    // Counts the changes of stored state (state lock); the count the file holds (store lock).
    std::uint64_t changes_ = 0;
    std::uint64_t savedChanges_ = 0;
    std::uint64_t nextSerial_ = 1;
    std::uint64_t nextGeneration_ = 1;
    std::optional<execution::ToolLimits> toolLimits_;
    // Ends a tool run still going when the service is destroyed, so quitting never waits
    // for a tool.
    std::unique_ptr<execution::ToolStop> toolStop_ = std::make_unique<execution::ToolStop>();
    // The user's stop of the tool run on the worker (one at a time), taken back before each
    // run; set only under the state lock while that run's task is marked toolRunning.
    std::unique_ptr<execution::ToolStop> toolCancel_ = std::make_unique<execution::ToolStop>();
    // Collects started commands as they end, whatever the worker is doing. Destroyed first,
    // after the worker's loop has stopped and before it is gone: its ends are posted there.
    std::unique_ptr<execution::ChildReaper> reaper_ = std::make_unique<execution::ChildReaper>();
    // Writes the run state; declared last, so it stops before anything it writes is gone.
    std::unique_ptr<StoreSaver> saver_;
};
