#pragma once

// The one object that holds the tasks while the program runs: it owns the stored
// records, keeps the store file in step with them, arms one timer per task and performs
// the tasks when they are due. Its parts have files of their own:
// - StoredTasks: the records and their entries under the one state lock, and their
//   identity (address and serial);
// - Worker: the thread whose loop the timers wait on and where runs are performed;
// - TaskTimers: arming each task's timer for its next run, retry or make-up run;
// - RunRecorder: a run's start and end as the task's last run, retries, the commands a run
//   left going, events and log lines;
// - StoreKeeper: the store file (load, damage, saves) and the saver thread;
// - TaskLogs: each task's log file, opened, renamed and deleted with the task;
// - ActionRunner: where an action runs and how its tool runs are bounded and stopped;
// - BackupPool: the threads that run backups (held by the runner).
//
// Threads: the user-interface thread edits (AddTask, UpdateTask, RemoveTask, SetPaused)
// and saves before each edit returns. The worker performs exports, checks and the starts
// of commands on a copy of the record, so a long tool run never holds the state lock.
// Backups run on the pool, whose threads keep their starts and ends; a command's end comes
// from the reaper's thread; each writes the run's end under the state lock. The starts and
// ends of runs only count as changes: the saver writes the newest state shortly after. The
// store lock (StoreKeeper) is always taken before the state lock.
//
// Shutdown stops the pool before the worker, then the reaper, the saver last.

#include "execution/Actions.h"
#include "execution/ToolRun.h"
#include "model/TaskInfo.h"
#include "repository/Vadro.h"
#include "scheduler/ActionRunner.h"
#include "scheduler/BackupPool.h"
#include "scheduler/RunRecorder.h"
#include "scheduler/StoreKeeper.h"
#include "scheduler/StoredTasks.h"
#include "scheduler/TaskEvents.h"
#include "scheduler/TaskLogs.h"
#include "scheduler/TaskTimers.h"
#include "scheduler/Worker.h"

#include <QCoreApplication>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

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
    using TaskList = StoredTasks::TaskList;

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
    const TaskList& Tasks() const { return tasks_->List(); }
    std::shared_ptr<vadro::ICore> Core() const { return core_; }
    // A copy of a stored record taken under the state lock: a run on the worker may be
    // writing the record's modification times at that moment. Throws std::out_of_range
    // for a record the service does not hold.
    TaskInfo Copy(const TaskInfo* stored) const;

    // Stores a copy, arms its timer, opens its log and saves. The copy has not run: it
    // starts without a last run. Returns the stored record.
    // `position` is the place in the list (and so in the store file); past the end appends.
    const TaskInfo* AddTask(const TaskInfo& task, std::size_t position = SIZE_MAX);
    // Assigns `edited` to the stored record in place, re-arms and saves; the run state the
    // service keeps (last run, awaited run, pause, pending retry) stays as it is, whatever
    // `edited` holds. Throws std::out_of_range for a record the service does not hold,
    // changing nothing.
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
    bool HasUnsavedChanges() const { return keeper_->HasUnsavedChanges(); }

    // What the load found wrong with the store file (see StoreDamage).
    using StoreDamage = ::StoreDamage;
    StoreDamage Damage() const { return keeper_->Damage(); }

    // Writes one time-stamped line into the task's log and echoes it on standard error.
    // Safe from any thread; a task that is no longer stored logs to standard error only.
    void Log(const TaskInfo* task, const std::wstring& message, bool headed);

    // Where the service reports runs, re-arms and failed saves (see TaskEvents).
    TaskEvents& Events() { return *events_; }

    const std::filesystem::path& StorePath() const { return keeper_->StorePath(); }
    const std::filesystem::path& LogDirectory() const { return logs_.Directory(); }
    // The log file of a stored task; empty when it has none.
    std::filesystem::path LogFilePath(const TaskInfo* task) const;
    // When the stored task's timer fires next (kNeverInstant when it never does).
    Instant ScheduledRun(const TaskInfo* task) const;

    // Points the export and check runs at another product tool (tests use stand-ins);
    // by default the tool is CliExecutablePath(). Call before any run.
    void SetToolPath(std::filesystem::path tool) { runner_->SetToolPath(std::move(tool)); }
    // Bounds the tool runs differently (tests use short limits); by default a run may take
    // ToolTimeout(). Call before any run.
    void SetToolLimits(const execution::ToolLimits& limits) { runner_->SetToolLimits(limits); }

    // Called on the worker when a task's timer fires, before its start line (for
    // measurements). Set it before any task is due.
    void SetStartObserver(std::function<void(const TaskInfo*)> observer) { startObserver_ = std::move(observer); }

    // Performs the action of a stored task once on the calling thread (the worker, in the
    // program) and keeps its outcome as the task's last run (a backup's when it ends on the
    // backup pool, a command's on the reaper's thread when the command ends). Never throws.
    void Perform(const TaskInfo* task);

    // Creates the log entry of a stored task. Throws std::filesystem::filesystem_error
    // when the log directory cannot be created.
    void AddLogger(const TaskInfo& task);

    // The user's places: the store file under the generic data location and the log
    // directory in the cache location.
    static std::filesystem::path DefaultStorePath();
    static std::filesystem::path DefaultLogDirectory();

private:
    void Load();
    // Stores and arms a record; `makeUpAt` is when a missed run is made up, if one is.
    TaskEntry& ArmLocked(std::unique_ptr<TaskInfo> task, std::size_t position = SIZE_MAX,
                         Instant makeUpAt = kNeverInstant);
    Instant Now() const { return timers_->Now(); }
    void OnTimer(const TaskInfo* task, std::uint64_t serial, std::uint64_t generation);
    // Performs a stored task on a copy taken under the lock; serial 0 accepts any record
    // stored at that address.
    void PerformStored(const TaskInfo* task, std::uint64_t serial);
    // The runner's Run (after the start observer and the start line when `timed`) that
    // never throws: whatever fails the start is logged and ends the run as failed.
    std::optional<RunEnd> RunGuarded(const TaskInfo* stored, std::uint64_t serial, const TaskInfo& copy, bool timed);
    // Whether the run's end is kept: not that of a run the quit cut short (see ActionRunner).
    bool KeepsEnd(const std::optional<RunEnd>& end) const { return end && !runner_->StoppedByQuit(*end); }

    // Built first, so it lives on the constructing thread and outlives every emitter.
    std::unique_ptr<TaskEvents> events_ = std::make_unique<TaskEvents>();
    // The loop lives on until the timers, declared after it, are gone.
    std::unique_ptr<Worker> worker_ = std::make_unique<Worker>();
    std::unique_ptr<StoredTasks> tasks_ = std::make_unique<StoredTasks>();
    std::unique_ptr<TaskTimers> timers_;
    std::unique_ptr<StoreKeeper> keeper_;
    std::unique_ptr<RunRecorder> recorder_;
    TaskLogs logs_;
    std::shared_ptr<vadro::ICore> core_;
    std::function<void(const TaskInfo*)> startObserver_;
    std::chrono::milliseconds missedRunDelay_;
    // Declared last: its backups and commands end, and stop reporting, before the parts
    // they report to are gone.
    std::unique_ptr<ActionRunner> runner_;
};
