#include "scheduler/ActionRunner.h"

#include "execution/CliPath.h"
#include "repository/Connections.h"

#include <utility>
#include <variant>

ActionRunner::ActionRunner(StoredTasks& tasks, RunRecorder& recorder, std::shared_ptr<vadro::ICore> core)
    : tasks_(tasks)
    , recorder_(recorder)
    , core_(std::move(core))
{}

std::optional<RunEnd> ActionRunner::Run(const TaskInfo* stored, std::uint64_t serial, const TaskInfo& copy,
                                        std::optional<Instant>& began)
{
    if (std::holds_alternative<BackupAction>(copy.action)) {
        if (!backups_.Start(serial, BackupJob(stored, serial, copy.action)))
            recorder_.Log(stored, serial,
                          tr("Резервное копирование уже выполняется; повторный запуск пропущен.").toStdWString(), true);
        return std::nullopt;
    }
    const auto started = recorder_.Begin(stored, serial);
    if (!started)
        return std::nullopt;
    began = started;
    execution::ActionRun run = RunOf(stored, serial, *started);
    run.settings = ToolSettings();
    std::optional<execution::ActionResult> result;
    if (std::holds_alternative<CommandAction>(copy.action)) {
        // Known to Stop until the reaper tells its end, which cannot come before this; the
        // end is kept on the reaper's thread, whatever the worker does then.
        auto pid = std::make_shared<pid_t>(0);
        run.reaper = reaper_.get();
        run.commandStarted = [this, stored, serial, pid](pid_t child) {
            *pid = child;
            recorder_.CommandStarted(stored, serial, child);
        };
        run.commandEnded = [this, stored, serial, at = *started, pid](execution::ActionResult ended) {
            recorder_.CommandEnded(stored, serial, at, *pid, std::move(ended));
        };
        result = execution::PerformAction(copy.action, run);
    } else {
        // The user's stop of a tool run reaches it while the task is marked as running one.
        run.tool = toolPath_.empty() ? CliExecutablePath() : toolPath_;
        run.settings.cancel = &toolCancel_;
        MarkToolRun(stored, serial, true);
        try {
            result = execution::PerformAction(copy.action, run);
        } catch (...) {
            MarkToolRun(stored, serial, false);
            throw;
        }
        MarkToolRun(stored, serial, false);
    }
    if (!result)
        return std::nullopt;
    // The times kept here reach the store with the end of the run.
    recorder_.KeepTimes(stored, serial, *result);
    return RunEnd{*started, std::move(*result)};
}

BackupPool::Job ActionRunner::BackupJob(const TaskInfo* stored, std::uint64_t serial, Action action)
{
    // The job holds copies and the shared core, never the record.
    return [this, stored, serial, action = std::move(action)](const std::atomic<bool>& stop) -> std::function<void()> {
        const auto started = recorder_.Begin(stored, serial);
        if (!started)
            return {};
        execution::ActionRun run = RunOf(stored, serial, *started);
        run.connections = SavedConnectionsPath();
        run.stop = &stop;
        run.quit = &backups_.Stopping();
        auto result = execution::PerformAction(action, run);
        // A backup the quit stopped stays kept as going: the next start takes it as
        // interrupted.
        if (!result || (result->outcome == RunOutcome::Failed && backups_.Stopping()))
            return {};
        return
            [this, stored, serial, end = RunEnd{*started, std::move(*result)}] { recorder_.End(stored, serial, end); };
    };
}

bool ActionRunner::StopLocked(TaskEntry& entry)
{
    bool stopping = false;
    if (entry.toolRunning) {
        toolCancel_.Request();
        stopping = true;
    }
    stopping = recorder_.StopCommandsLocked(entry, ToolSettings().limits.killGrace) || stopping;
    return backups_.StopOne(entry.serial) || stopping;
}

bool ActionRunner::StoppedByQuit(const RunEnd& end) const
{
    return end.result.outcome != RunOutcome::Succeeded && toolStop_.Requested();
}

void ActionRunner::Quit()
{
    // A tool the worker runs at this moment is ended now, so the job ends soon.
    toolStop_.Request();
    // Backups log through the service, so they end while it is whole.
    backups_.Stop();
}

void ActionRunner::MarkToolRun(const TaskInfo* stored, std::uint64_t serial, bool running)
{
    std::lock_guard<std::mutex> lock(tasks_.Mutex());
    if (running)
        toolCancel_.Reset();
    if (TaskEntry* entry = tasks_.FindLocked(stored, serial))
        entry->toolRunning = running;
}

execution::ActionRun ActionRunner::RunOf(const TaskInfo* stored, std::uint64_t serial, Instant started)
{
    execution::ActionRun run;
    run.log = [this, stored, serial](const std::wstring& message, bool headed) {
        recorder_.Log(stored, serial, message, headed);
    };
    run.started = started;
    run.core = core_.get();
    return run;
}

execution::ToolRunSettings ActionRunner::ToolSettings() const
{
    execution::ToolRunSettings settings;
    if (toolLimits_)
        settings.limits = *toolLimits_;
    else
        settings.limits.timeout = ToolTimeout();
    settings.stop = &toolStop_;
    return settings;
}
