#include "scheduler/RunRecorder.h"

#include "common/DateTime.h"
#include "common/Logging.h"
#include "common/Utf8.h"
#include "model/TaskStoreFile.h"

#include <QDateTime>
#include <QString>

#include <algorithm>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <signal.h>

namespace {

// The first line of a reason, as short as a list cell and a notice can show, in
// characters the store can hold.
std::wstring FirstLine(const std::wstring& text)
{
    constexpr std::size_t kLongest = 500;
    std::wstring line = text.substr(0, std::min(text.find_first_of(L"\r\n"), kLongest));
    for (wchar_t& c : line)
        if (!store::IsXmlCharacter(static_cast<char32_t>(c)))
            c = L'\xFFFD';
    return line;
}

// Echoes a log line that ends in a line break on the console.
void WriteErr(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    qCInfo(lcScheduler).noquote() << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

} // namespace

RunRecorder::RunRecorder(StoredTasks& tasks, TaskTimers& timers, StoreKeeper& keeper, TaskEvents& events,
                         boost::asio::io_context& io)
    : tasks_(tasks)
    , timers_(timers)
    , keeper_(keeper)
    , events_(events)
    , io_(io)
{}

std::optional<Instant> RunRecorder::Begin(const TaskInfo* stored, std::uint64_t serial)
{
    const Instant started = timers_.Now();
    {
        std::lock_guard<std::mutex> lock(tasks_.Mutex());
        TaskEntry* entry = tasks_.FindLocked(stored, serial);
        if (entry == nullptr)
            return std::nullopt;
        entry->record->last_run = LastRun{started, 0, RunOutcome::Running, {}};
        tasks_.ChangedLocked();
    }
    // Written by the saver: the run starts without waiting for the disk.
    keeper_.Request();
    emit events_.runStarted(stored);
    return started;
}

void RunRecorder::End(const TaskInfo* stored, std::uint64_t serial, const RunEnd& end)
{
    const RunOutcome outcome = end.result.outcome;
    const std::wstring reason = outcome == RunOutcome::Stopped ? tr("Остановлено пользователем.").toStdWString()
                                : outcome == RunOutcome::Failed ? FirstLine(end.result.reason)
                                                                : std::wstring();
    std::wstring retryLine;
    {
        std::lock_guard<std::mutex> lock(tasks_.Mutex());
        TaskEntry* entry = tasks_.FindLocked(stored, serial);
        if (entry == nullptr)
            return;
        LastRun& last = entry->record->last_run;
        // A later run has begun meanwhile: its start is what the task keeps now.
        if (last.outcome != RunOutcome::Running || last.started != end.started)
            return;
        last.ended = timers_.Now();
        last.outcome = outcome;
        last.reason = reason;
        retryLine = FollowRunLocked(*entry, outcome);
        tasks_.ChangedLocked();
    }
    keeper_.Request();
    if (!retryLine.empty())
        Log(stored, serial, retryLine, true);
    if (outcome == RunOutcome::Stopped)
        emit events_.runStopped(stored);
    else
        emit events_.runEnded(stored, outcome != RunOutcome::Failed, QString::fromStdWString(reason));
}

void RunRecorder::KeepTimes(const TaskInfo* stored, std::uint64_t serial, const execution::ActionResult& result)
{
    if (result.times.empty())
        return;
    std::lock_guard<std::mutex> lock(tasks_.Mutex());
    TaskEntry* entry = tasks_.FindLocked(stored, serial);
    if (entry == nullptr)
        return;
    // The times belong to the action the run was made for; an action edited meanwhile
    // to another project or file keeps its own.
    Action& action = entry->record->action;
    const std::wstring& key = result.timesKey;
    ModificationTimes* target = nullptr;
    if (auto* e = std::get_if<ExportAction>(&action); e && e->project_path == key && e->only_changed_documents)
        target = &e->modification_times;
    if (auto* c = std::get_if<CheckAction>(&action); c && c->ifc_file == key && c->only_changed_documents)
        target = &c->modification_times;
    if (target == nullptr)
        return;
    for (const auto& [path, time] : result.times)
        (*target)[path] = time;
    tasks_.ChangedLocked(); // written with the end of the run
}

std::wstring RunRecorder::FollowRunLocked(TaskEntry& entry, RunOutcome outcome)
{
    TaskInfo& record = *entry.record;
    if (outcome != RunOutcome::Failed || record.paused || record.retry_attempt >= record.retry_count) {
        record.retry_at = kNeverInstant;
        record.retry_attempt = 0;
        return {};
    }
    ++record.retry_attempt;
    record.retry_at = timers_.Now() + Instant(record.retry_interval_minutes) * 60 * kNanosPerSecond;
    timers_.RearmLocked(entry);
    return tr("Повторная попытка %1 из %2 в %3.")
        .arg(record.retry_attempt)
        .arg(record.retry_count)
        .arg(common::toDateTime(record.retry_at).toString(QStringLiteral("hh:mm:ss dd.MM.yyyy")))
        .toStdWString();
}

void RunRecorder::TakeRetryLocked(TaskEntry& entry)
{
    TaskInfo& record = *entry.record;
    if (record.retry_at == kNeverInstant || record.retry_at > entry.expiry)
        record.retry_attempt = 0; // the regular run came first: a new series
    record.retry_at = kNeverInstant;
}

RunRecorder::LoadedRun RunRecorder::SettleLoaded(TaskInfo& task, Instant now, Instant delay)
{
    LoadedRun loaded;
    bool stoppedPartWay = false;
    // A run kept as going means the program ended during it.
    if (task.last_run.outcome == RunOutcome::Running) {
        task.last_run.ended = task.last_run.started;
        if (std::holds_alternative<CommandAction>(task.action)) {
            // A quit leaves commands running: how this one ended is not known.
            task.last_run.outcome = RunOutcome::Unknown;
            task.last_run.reason =
                tr("Итог неизвестен: программа была остановлена, пока команда выполнялась.").toStdWString();
        } else {
            task.last_run.outcome = RunOutcome::Failed;
            task.last_run.reason = tr("Выполнение прервано: программа была остановлена.").toStdWString();
            stoppedPartWay = true;
        }
        loaded.interrupted = true;
    }
    // Missed runs: while the program runs, the awaited run of a flagged task is always ahead
    // of the clock, because when it falls due the timer fires and the run re-arms the timer
    // for the next one before it saves. An awaited run kept in the past therefore fell due
    // while the program was not running (or while it was stopped during that very run): the
    // task is made up once, a little after this start, however many runs it missed. A run
    // the stop or a kill cut short counts as missed too. A run due while the computer slept
    // is no concern here: the timer fires at the resume.
    loaded.missed = task.run_missed && !task.paused &&
                    (stoppedPartWay || (task.awaited_run != kNeverInstant && task.awaited_run <= now));
    if (task.paused || task.retry_count == 0) {
        task.retry_at = kNeverInstant;
        task.retry_attempt = 0;
    } else if (task.retry_at != kNeverInstant && task.retry_at <= now) {
        task.retry_at = now + delay;
    }
    return loaded;
}

void RunRecorder::CommandStarted(const TaskInfo* stored, std::uint64_t serial, pid_t pid)
{
    std::lock_guard<std::mutex> lock(tasks_.Mutex());
    if (TaskEntry* entry = tasks_.FindLocked(stored, serial))
        entry->commands.push_back({pid, false});
}

void RunRecorder::CommandEnded(const TaskInfo* stored, std::uint64_t serial, Instant started, pid_t pid,
                               execution::ActionResult result)
{
    RunEnd end{started, std::move(result)};
    {
        std::lock_guard<std::mutex> lock(tasks_.Mutex());
        TaskEntry* entry = tasks_.FindLocked(stored, serial);
        if (entry == nullptr)
            return;
        // Collected: its id may be another process's from now on.
        auto& commands = entry->commands;
        const auto it = std::find_if(commands.begin(), commands.end(), [pid](const auto& c) { return c.pid == pid; });
        if (it != commands.end()) {
            if (it->stopped) {
                end.result.outcome = RunOutcome::Stopped;
                entry->stoppedGroups.push_back(pid);
            }
            commands.erase(it);
        }
        // The timer handler keeps it once it has re-armed and written its end line, so the
        // store never holds an awaited run already run and the log stays in order.
        if (entry->finishing) {
            entry->heldEnds.push_back(std::move(end));
            return;
        }
    }
    KeepCommandEnd(stored, serial, end);
}

void RunRecorder::FinishTimedRun(const TaskInfo* stored, std::uint64_t serial)
{
    std::vector<RunEnd> held;
    {
        std::lock_guard<std::mutex> lock(tasks_.Mutex());
        TaskEntry* entry = tasks_.FindLocked(stored, serial);
        if (entry == nullptr)
            return;
        entry->finishing = false;
        held.swap(entry->heldEnds);
    }
    for (const RunEnd& end : held)
        KeepCommandEnd(stored, serial, end);
}

void RunRecorder::KeepCommandEnd(const TaskInfo* stored, std::uint64_t serial, const RunEnd& end)
{
    // The run's end line was written when the command started; this says why it failed.
    if (end.result.outcome == RunOutcome::Stopped)
        Log(stored, serial, tr("Остановлено пользователем.").toStdWString(), true);
    else if (end.result.outcome == RunOutcome::Failed)
        Log(stored, serial,
            tr("Задание не выполнено: %1").arg(QString::fromStdWString(end.result.reason)).toStdWString(), true);
    End(stored, serial, end);
}

bool RunRecorder::StopCommandsLocked(TaskEntry& entry, std::chrono::milliseconds killGrace)
{
    bool signalled = false;
    for (RunningCommand& command : entry.commands) {
        if (command.stopped)
            continue;
        command.stopped = true;
        signalled = true;
        // The command leads its own group; its helpers go with it.
        if (::kill(-command.pid, SIGTERM) != 0)
            ::kill(command.pid, SIGTERM);
    }
    if (signalled) {
        if (!entry.killTimer)
            entry.killTimer = std::make_unique<boost::asio::steady_timer>(io_);
        entry.killTimer->expires_after(killGrace);
        entry.killTimer->async_wait([this, stored = static_cast<const TaskInfo*>(entry.record),
                                     serial = entry.serial](const boost::system::error_code& ec) {
            if (!ec)
                KillStoppedCommands(stored, serial);
        });
    }
    return !entry.commands.empty();
}

void RunRecorder::KillStoppedCommands(const TaskInfo* stored, std::uint64_t serial)
{
    std::lock_guard<std::mutex> lock(tasks_.Mutex());
    TaskEntry* entry = tasks_.FindLocked(stored, serial);
    if (entry == nullptr)
        return;
    // Only commands not yet collected are listed, so no id here is another process's.
    for (const RunningCommand& command : entry->commands)
        if (command.stopped && ::kill(-command.pid, SIGKILL) != 0)
            ::kill(command.pid, SIGKILL);
    for (const pid_t group : entry->stoppedGroups)
        ::kill(-group, SIGKILL);
    entry->stoppedGroups.clear();
}

void RunRecorder::Log(const TaskInfo* task, std::uint64_t serial, const std::wstring& message, bool headed)
{
    const std::string line = execution::FormatLogLine(QDateTime::currentDateTime(), message);
    std::string name;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(tasks_.Mutex());
        if (TaskEntry* entry = tasks_.FindLocked(task, serial)) {
            known = true;
            name = common::toUtf8(task->name);
            if (entry->log)
                entry->log->Write(line);
        }
    }
    WriteErr(headed && known ? "[" + name + "]: " + line : line);
}
