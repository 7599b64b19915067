#pragma once

// What an action does when its task runs. Exports, checks and the start of commands run
// on the scheduler's worker thread, one action at a time; backups on a thread of the
// scheduler's backup pool. Every run works on a copy of the task's action.

#include "execution/ToolRun.h"
#include "model/TaskInfo.h"
#include "repository/Vadro.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace execution {

// Where a run writes its log lines (headed lines carry the task's name on standard error).
using LogFunction = std::function<void(const std::wstring& message, bool headed)>;

// Whether a run failed and why: the first failure it met. Runs note a failure exactly where
// they log "not done"; the service keeps it as the task's last outcome.
struct RunFailure
{
    bool failed = false;
    std::wstring reason;
    // Keeps the first failure only.
    void Note(const std::wstring& why)
    {
        if (failed)
            return;
        failed = true;
        reason = why;
    }
};

// Modification times a run wants to keep, by path text.
using TimeUpdates = std::vector<std::pair<std::wstring, Instant>>;

// How a run of an action ended, as the scheduler keeps it: Succeeded, Failed (with the
// first reason met) or Stopped by the user, and the modification times it keeps for the
// project or file `timesKey` of the action it ran.
struct ActionResult
{
    RunOutcome outcome = RunOutcome::Succeeded;
    std::wstring reason;
    std::wstring timesKey;
    TimeUpdates times;
};

// Where a run of an action reports, what bounds it and where its later results go.
struct ActionRun
{
    LogFunction log;
    // The run's start: a backup's version is named after it.
    Instant started = 0;
    vadro::ICore* core = nullptr;
    // The product tool of exports and checks, and how its runs are bounded and stopped.
    std::filesystem::path tool;
    ToolRunSettings settings;
    // A backup's saved connections, its stop (the user's or the quit's) and the quit's alone.
    std::filesystem::path connections;
    const std::atomic<bool>* stop = nullptr;
    const std::atomic<bool>* quit = nullptr;
    // Collects a started command (null while the program quits: nothing starts then); the
    // command's id is told to `commandStarted`, its result to `commandEnded` on the reaper's
    // thread.
    ChildReaper* reaper = nullptr;
    ChildStarted commandStarted;
    std::function<void(ActionResult)> commandEnded;
};

// Performs the action on the calling thread and answers how it ended, or nothing for a
// command that started: its result comes through `commandEnded` when it ends. Logs as the
// run goes; a std::exception a run throws ends it as failed.
std::optional<ActionResult> PerformAction(const Action& action, const ActionRun& run);

// Why a repository path must not run with `connection`, its task's connection: the product's
// tool finds a project by the connection name the path holds (the first saved connection of
// that name), so a path naming another connection, or a name saved twice, would read
// another repository. Empty when the path leads to `connection`. `server` is the path's
// connection name. Throws exceptions::Error for a saved-connections file that cannot be read.
std::wstring PathConnectionProblem(const std::wstring& path, const std::wstring& server,
                                   const vadro_cm::Connection& connection,
                                   const std::filesystem::path& connectionsFile);

// The argument list of one exported project, the tool first.
std::vector<std::string> ExportArguments(const std::filesystem::path& tool, const ExportAction& action,
                                         const std::wstring& projectPath);

// Exports the project, or every document directly in the folder, that `action` names.
// With only-changed on, unchanged documents are skipped; the time of a project is kept
// only when the tool ended with code 0. Returns the times to keep. An output folder that
// cannot be made (or none at all) is passed on: the tool reports it.
TimeUpdates RunExport(const ExportAction& action, vadro::ICore& core, const std::filesystem::path& tool,
                      const LogFunction& log, const ToolRunSettings& settings = {}, RunFailure* failure = nullptr);

// The sources of a check run and their new times: the file itself, or with only-changed
// on the *.ifc files of a directory whose time differs from the recorded one. `paths`
// are the names as the file system holds them (not always UTF-8), `files` their texts,
// which key the recorded times.
struct CheckSources
{
    std::vector<std::string> paths;
    std::vector<std::wstring> files;
    TimeUpdates times;
};
CheckSources CollectCheckSources(const CheckAction& action);

std::vector<std::string> CheckArguments(const std::filesystem::path& tool, const CheckAction& action,
                                        const std::vector<std::string>& sourcePaths);

struct CheckOutcome
{
    TimeUpdates times; // the times to keep (none when the tool could not be started)
};
CheckOutcome RunCheck(const CheckAction& action, const std::filesystem::path& tool, const LogFunction& log,
                      const ToolRunSettings& settings = {}, RunFailure* failure = nullptr);

// Starts the command and returns at once, true when it started; `reaper` collects it when
// it ends and hands its wait status to `ended` (on the reaper's thread); `started` learns
// its process id (which leads its process group) first. A command that
// cannot start (no program, a start directory that does not exist, a failed launch) is not
// run elsewhere: its log gets the failure line and the reason, and `ended` is never called.
bool StartCommand(const CommandAction& action, ChildReaper& reaper, const LogFunction& log,
                  RunFailure* failure = nullptr, ChildEnd ended = {}, const ChildStarted& started = {});

// Why a command with this wait status failed (its exit code or signal, first line only),
// or nothing when it ended with code 0.
std::optional<std::wstring> CommandEndFailure(int waitStatus);

// The directory a command starts in and the program it runs.
std::filesystem::path CommandStartDirectory(const CommandAction& action);
std::filesystem::path CommandProgram(const CommandAction& action);

// Modification time of a repository document in whole milliseconds, as an instant; a
// fixed placeholder for a document without a valid time.
Instant DocumentTime(const vadro::ItemInfo& item);

} // namespace execution
