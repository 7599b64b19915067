#pragma once

// Decides where a stored task's action runs, and bounds it: a backup goes to the backup
// pool, whose thread keeps its start and end; an export, a check or a command runs on the
// calling thread (the worker), and a command's end comes later from the reaper's thread.
// What an action does is execution's (PerformAction); its start and end are kept by the
// run recorder.
//
// Run is called on the worker (and on the user-interface thread by TaskStorage::Perform),
// StopLocked on the user-interface thread under the state lock, which also guards the mark
// of the task whose tool runs; Quit and EndCommands by the service's Shutdown. Set the tool
// and its limits before any run.

#include "execution/Actions.h"
#include "execution/ToolRun.h"
#include "model/TaskInfo.h"
#include "repository/Vadro.h"
#include "scheduler/BackupPool.h"
#include "scheduler/RunRecorder.h"
#include "scheduler/StoredTasks.h"

#include <QCoreApplication>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

class ActionRunner
{
    Q_DECLARE_TR_FUNCTIONS(TaskStorage)

public:
    ActionRunner(StoredTasks& tasks, RunRecorder& recorder, std::shared_ptr<vadro::ICore> core);

    ActionRunner(const ActionRunner&) = delete;
    ActionRunner& operator=(const ActionRunner&) = delete;

    // The product tool of exports and checks; CliExecutablePath() when empty.
    void SetToolPath(std::filesystem::path tool) { toolPath_ = std::move(tool); }
    // By default a tool run may take ToolTimeout().
    void SetToolLimits(const execution::ToolLimits& limits) { toolLimits_ = limits; }

    // Keeps the run's start and performs the copy's action. How it ended, or nothing when
    // the run goes on elsewhere (a backup on the pool, a started command) or did not start.
    // `began` is the run's start once it is kept. Throws what the action throws beyond
    // std::exception.
    std::optional<RunEnd> Run(const TaskInfo* stored, std::uint64_t serial, const TaskInfo& copy,
                              std::optional<Instant>& began);
    // Stops what the entry's task runs now: its tool run, its commands and its backup.
    // False when nothing of it runs.
    bool StopLocked(TaskEntry& entry);
    // Whether a failed end is that of a run the program stopped by quitting: such a run is
    // left kept as going, so the next start takes it as interrupted.
    bool StoppedByQuit(const RunEnd& end) const;

    // Ends the tool run in progress and the backups, and stops the pool; nothing starts
    // afterwards.
    void Quit();
    // Stops collecting commands: an end from here on is not told.
    void EndCommands() { reaper_.reset(); }

private:
    // The pool's job for a backup of the stored task: it keeps the run's start and end.
    BackupPool::Job BackupJob(const TaskInfo* stored, std::uint64_t serial, Action action);
    // Marks the task as running a tool, which StopLocked then cancels.
    void MarkToolRun(const TaskInfo* stored, std::uint64_t serial, bool running);
    execution::ActionRun RunOf(const TaskInfo* stored, std::uint64_t serial, Instant started);
    execution::ToolRunSettings ToolSettings() const;

    StoredTasks& tasks_;
    RunRecorder& recorder_;
    std::shared_ptr<vadro::ICore> core_;
    std::filesystem::path toolPath_;
    std::optional<execution::ToolLimits> toolLimits_;
    // Ends a tool run still going when the service quits, so quitting never waits for a tool.
    execution::ToolStop toolStop_;
    // The user's stop of the tool run on the worker (one at a time), taken back before each
    // run; set only under the state lock while that run's task is marked toolRunning.
    execution::ToolStop toolCancel_;
    BackupPool backups_;
    // Collects started commands as they end, whatever the worker is doing.
    std::unique_ptr<execution::ChildReaper> reaper_ = std::make_unique<execution::ChildReaper>();
};
