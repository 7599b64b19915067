#include "scheduler/TaskStorage.h"

#include "common/DateTime.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "execution/CliPath.h"
#include "execution/TaskLog.h"

#include <QDateTime>
#include <QStandardPaths>
#include <QString>

#include <boost/asio/post.hpp>

#include <stdexcept>
#include <variant>

#include <malloc.h>

namespace {

// How long the saver gathers run-state changes before it writes them all at once: a kill
// may lose the starts and ends of the runs of about this long before it, never a task nor an
// edit (those are written before AddTask, UpdateTask and RemoveTask return).
constexpr std::chrono::milliseconds kRunStateDelay{100};

QString LocalTimeText(Instant t)
{
    return common::toDateTime(t).toString(QStringLiteral("dd.MM.yyyy 'в' hh:mm:ss"));
}

} // namespace

TaskStorage& TaskStorage::Instance()
{
    static TaskStorage instance(DefaultStorePath(), DefaultLogDirectory(), vadro::CreateCore());
    // A limit in config.ini that cannot be used is told at start, not at the first run.
    ToolTimeout();
    return instance;
}

std::filesystem::path TaskStorage::DefaultStorePath()
{
    const QString text = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/Holmiq/KalvorScheduler/storage.xml");
    return common::toPath(text);
}

std::filesystem::path TaskStorage::DefaultLogDirectory()
{
    return common::toPath(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
}

TaskStorage::TaskStorage(std::filesystem::path storePath, std::filesystem::path logDirectory,
                         std::shared_ptr<vadro::ICore> core, Settings settings)
    : timers_(std::make_unique<TaskTimers>(*tasks_, worker_->Io(), std::move(settings.clock),
                                           [this](const TaskInfo* task, std::uint64_t serial,
                                                  std::uint64_t generation) { OnTimer(task, serial, generation); }))
    , keeper_(std::make_unique<StoreKeeper>(*tasks_, *events_, std::move(storePath), logDirectory, kRunStateDelay,
                                            settings.saveRetryDelay))
    , recorder_(std::make_unique<RunRecorder>(*tasks_, *timers_, *keeper_, *events_, worker_->Io()))
    , logs_(std::move(logDirectory))
    , core_(std::move(core))
    , missedRunDelay_(settings.missedRunDelay)
    , runner_(std::make_unique<ActionRunner>(*tasks_, *recorder_, core_))
{
    // The events cross from the worker to the user-interface thread by queued calls.
    qRegisterMetaType<const TaskInfo*>("const TaskInfo*");
    worker_->SetClockChanged([this] { timers_->RunDueAfterClockChange(); });
    Load();
}

TaskStorage::~TaskStorage()
{
    Shutdown();
}

void TaskStorage::Shutdown()
{
    // The tool run and the backups in progress end now, so the worker's job ends soon.
    runner_->Quit();
    // The job running at this moment ends first; nothing queued runs afterwards.
    worker_->Stop();
    // A command that ends from here on is not told: the store keeps its run as going, and
    // the next start says its outcome is unknown. The commands themselves are left running.
    runner_->EndCommands();
    // The run state changed until now is written before the program goes on to quit.
    keeper_->Stop();
}

void TaskStorage::Load()
{
    std::vector<store::ParsedTask> parsed = keeper_->Read();
    if (parsed.empty())
        return;
    // Some task's run was cut short by the end of the program.
    bool interrupted = false;
    // A flagged task whose file lacks the run it awaits (written by hand, or flagged by an
    // older version) must have it on disk before its first run: a kill at that run's start,
    // before the saver wrote it, would otherwise leave nothing to make up.
    bool awaitedAdded = false;
    const Instant now = Now();
    const Instant delay = std::chrono::duration_cast<std::chrono::nanoseconds>(missedRunDelay_).count();
    {
        // Every task is stored and armed before any timer handler can look at the list, so
        // no run and no save sees part of the store.
        std::lock_guard<std::mutex> lock(tasks_->Mutex());
        for (auto& p : parsed) {
            if (!p.task)
                continue;
            auto task = std::make_unique<TaskInfo>(std::move(*p.task));
            const RunRecorder::LoadedRun loaded = RunRecorder::SettleLoaded(*task, now, delay);
            interrupted = interrupted || loaded.interrupted;
            const Instant awaitedInFile = task->awaited_run;
            TaskEntry& entry = ArmLocked(std::move(task), SIZE_MAX, loaded.missed ? now + delay : kNeverInstant);
            const TaskInfo& stored = *entry.record;
            awaitedAdded = awaitedAdded || (awaitedInFile == kNeverInstant && stored.awaited_run != kNeverInstant);
            // The log the failure notice opens tells how the cut-short run ended, too.
            if (loaded.interrupted && entry.log)
                entry.log->Write(execution::FormatLogLine(QDateTime::currentDateTime(), stored.last_run.reason));
        }
    }
    parsed.clear();
    // What was loaded is what the file holds (an awaited run that moved on is written
    // with the next change).
    keeper_->MarkRead();
    // The failed run is written down at once, so the store tells the truth from now on.
    if (interrupted || awaitedAdded)
        Save();
    // The parse tree of a large store leaves most of its pages with the allocator; hand
    // them back, so a program that lives in the tray does not keep them for its lifetime.
    ::malloc_trim(0);
}

TaskEntry& TaskStorage::ArmLocked(std::unique_ptr<TaskInfo> task, std::size_t position, Instant makeUpAt)
{
    TaskEntry& entry = tasks_->InsertLocked(std::move(task), position);
    entry.makeUpAt = makeUpAt;
    timers_->ArmLocked(entry);
    logs_.OpenLocked(entry);
    return entry;
}

void TaskStorage::AddLogger(const TaskInfo& task)
{
    std::lock_guard<std::mutex> lock(tasks_->Mutex());
    TaskEntry* entry = tasks_->FindLocked(&task, StoredTasks::kAnySerial);
    if (entry != nullptr && !entry->log)
        entry->log = logs_.Open(task);
}

const TaskInfo* TaskStorage::AddTask(const TaskInfo& task, std::size_t position)
{
    const TaskInfo* stored;
    {
        std::lock_guard<std::mutex> lock(tasks_->Mutex());
        auto copy = std::make_unique<TaskInfo>(task);
        copy->last_run = LastRun{};
        copy->awaited_run = kNeverInstant;
        copy->retry_at = kNeverInstant;
        copy->retry_attempt = 0;
        stored = ArmLocked(std::move(copy), position).record;
    }
    Save();
    return stored;
}

void TaskStorage::UpdateTask(const TaskInfo* stored, const TaskInfo& edited)
{
    {
        std::lock_guard<std::mutex> lock(tasks_->Mutex());
        TaskEntry* entry = tasks_->FindLocked(stored, StoredTasks::kAnySerial);
        if (entry == nullptr)
            throw std::out_of_range("the task storage service holds no such task");
        entry->timer->cancel();
        TaskInfo& record = *entry->record;
        const auto* oldExport = std::get_if<ExportAction>(&record.action);
        const std::wstring oldProject = oldExport ? oldExport->project_path : std::wstring();
        const std::wstring oldName = record.name;
        // The edit replaces the record but for the run state the service keeps: the last
        // run, the awaited run, whether it is paused and where its retries stand.
        TaskInfo updated = edited;
        updated.last_run = std::move(record.last_run);
        updated.awaited_run = record.awaited_run;
        updated.paused = record.paused;
        updated.retry_at = record.retry_at;
        updated.retry_attempt = record.retry_attempt;
        record = std::move(updated);
        if (record.retry_attempt > record.retry_count) {
            record.retry_at = kNeverInstant;
            record.retry_attempt = 0;
        }
        if (auto* e = std::get_if<ExportAction>(&record.action); e && e->project_path != oldProject)
            e->modification_times.clear();
        logs_.RenameLocked(*entry, oldName);
        timers_->RearmLocked(*entry);
    }
    Save();
    emit events_->rearmed(stored);
}

void TaskStorage::RemoveTask(const TaskInfo* stored)
{
    std::string message;
    {
        std::lock_guard<std::mutex> lock(tasks_->Mutex());
        if (TaskEntry* entry = tasks_->FindLocked(stored, StoredTasks::kAnySerial)) {
            entry->timer->cancel();
            message = logs_.RemoveLocked(*entry);
        }
        tasks_->EraseLocked(stored);
    }
    if (!message.empty())
        qCInfo(lcScheduler).noquote() << QString::fromStdString(message);
    Save();
}

void TaskStorage::RunNow(const TaskInfo* stored)
{
    std::uint64_t serial;
    {
        std::lock_guard<std::mutex> lock(tasks_->Mutex());
        const TaskEntry* entry = tasks_->FindLocked(stored, StoredTasks::kAnySerial);
        if (entry == nullptr)
            return;
        serial = entry->serial;
    }
    boost::asio::post(worker_->Io(), [this, stored, serial] { PerformStored(stored, serial); });
}

bool TaskStorage::SetPaused(const TaskInfo* stored, bool paused)
{
    Instant next;
    {
        std::lock_guard<std::mutex> lock(tasks_->Mutex());
        TaskEntry* entry = tasks_->FindLocked(stored, StoredTasks::kAnySerial);
        if (entry == nullptr)
            return false;
        TaskInfo& record = *entry->record;
        if (record.paused == paused)
            return true;
        record.paused = paused;
        // A pause ends the series of retries; nothing of it is made up at the resume.
        record.retry_at = kNeverInstant;
        record.retry_attempt = 0;
        timers_->RearmLocked(*entry);
        next = entry->expiry;
    }
    Save();
    emit events_->rearmed(stored);
    recorder_->Log(stored, StoredTasks::kAnySerial,
                   paused ? tr("Задание приостановлено.").toStdWString()
                          : tr("Задание возобновлено. Следующий запуск: %1.")
                                .arg(next == kNeverInstant ? tr("не запланирован") : LocalTimeText(next))
                                .toStdWString(),
                   true);
    return true;
}

bool TaskStorage::Stop(const TaskInfo* stored)
{
    std::lock_guard<std::mutex> lock(tasks_->Mutex());
    TaskEntry* entry = tasks_->FindLocked(stored, StoredTasks::kAnySerial);
    return entry != nullptr && runner_->StopLocked(*entry);
}

void TaskStorage::Perform(const TaskInfo* task)
{
    PerformStored(task, StoredTasks::kAnySerial);
}

void TaskStorage::PerformStored(const TaskInfo* task, std::uint64_t serial)
{
    TaskInfo copy;
    {
        std::lock_guard<std::mutex> lock(tasks_->Mutex());
        const TaskEntry* entry = tasks_->FindLocked(task, serial);
        if (entry == nullptr)
            return;
        serial = entry->serial;
        copy = *task;
    }
    if (const auto end = RunGuarded(task, serial, copy, false); KeepsEnd(end))
        recorder_->End(task, serial, *end);
}

void TaskStorage::OnTimer(const TaskInfo* task, std::uint64_t serial, std::uint64_t generation)
{
    TaskInfo copy;
    {
        std::lock_guard<std::mutex> lock(tasks_->Mutex());
        TaskEntry* entry = tasks_->FindLocked(task, serial);
        if (entry == nullptr || entry->generation != generation)
            return; // removed or re-armed since this wait completed
        RunRecorder::TakeRetryLocked(*entry);
        // A pending make-up run is done by this one.
        entry->makeUpAt = kNeverInstant;
        entry->finishing = true;
        copy = *task;
    }
    const auto end = RunGuarded(task, serial, copy, true);
    try {
        Instant next;
        {
            std::lock_guard<std::mutex> lock(tasks_->Mutex());
            TaskEntry* entry = tasks_->FindLocked(task, serial);
            if (entry == nullptr)
                return;
            if (entry->generation == generation)
                timers_->RearmLocked(*entry);
            next = entry->expiry; // an update during the run has armed it already
        }
        // The end is saved after the re-arm, so the store never keeps an awaited run that
        // has already been run.
        if (KeepsEnd(end))
            recorder_->End(task, serial, *end);
        else if (copy.run_missed)
            keeper_->Request();
        emit events_->rearmed(task);
        recorder_->Log(task, serial,
                       tr("Завершение выполнения задания. Следующий запуск: %2.")
                           .arg(next == kNeverInstant ? tr("не запланирован") : LocalTimeText(next))
                           .toStdWString(),
                       true);
    } catch (...) {
        recorder_->FinishTimedRun(task, serial);
        throw;
    }
    recorder_->FinishTimedRun(task, serial);
}

std::optional<RunEnd> TaskStorage::RunGuarded(const TaskInfo* stored, std::uint64_t serial, const TaskInfo& copy,
                                              bool timed)
{
    std::optional<Instant> began;
    QString why;
    try {
        if (timed) {
            if (startObserver_)
                startObserver_(stored);
            recorder_->Log(stored, serial, tr("Начало выполнения задания.").toStdWString(), true);
        }
        return runner_->Run(stored, serial, copy, began);
    } catch (const std::exception& e) {
        why = QString::fromLocal8Bit(e.what());
    } catch (...) {
        why = tr("непредвиденная ошибка");
    }
    qCWarning(lcScheduler, "A run could not be performed: %s", qUtf8Printable(why));
    try {
        recorder_->Log(stored, serial, tr("Задание не выполнено: %1").arg(why).toStdWString(), true);
        if (!began)
            began = recorder_->Begin(stored, serial);
    } catch (...) {
    }
    if (!began)
        return std::nullopt;
    RunEnd end{*began, {}};
    end.result.outcome = RunOutcome::Failed;
    end.result.reason = why.toStdWString();
    return end;
}

void TaskInfo::Log(const std::wstring& message, bool headed) const
{
    TaskStorage::Instance().Log(this, message, headed);
}

void TaskStorage::Log(const TaskInfo* task, const std::wstring& message, bool headed)
{
    recorder_->Log(task, StoredTasks::kAnySerial, message, headed);
}

bool TaskStorage::Save()
{
    return keeper_->Save();
}

TaskInfo TaskStorage::Copy(const TaskInfo* stored) const
{
    std::lock_guard<std::mutex> lock(tasks_->Mutex());
    if (tasks_->FindLocked(stored, StoredTasks::kAnySerial) == nullptr)
        throw std::out_of_range("the task storage service holds no such task");
    return *stored;
}

std::filesystem::path TaskStorage::LogFilePath(const TaskInfo* task) const
{
    std::lock_guard<std::mutex> lock(tasks_->Mutex());
    const TaskEntry* entry = tasks_->FindLocked(task, StoredTasks::kAnySerial);
    if (entry == nullptr || !entry->log || !entry->log->File())
        return {};
    return *entry->log->File();
}

Instant TaskStorage::ScheduledRun(const TaskInfo* task) const
{
    std::lock_guard<std::mutex> lock(tasks_->Mutex());
    const TaskEntry* entry = tasks_->FindLocked(task, StoredTasks::kAnySerial);
    return entry == nullptr ? kNeverInstant : entry->expiry;
}
