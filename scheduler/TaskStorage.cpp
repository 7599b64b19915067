#include "scheduler/TaskStorage.h"

#include "common/DateTime.h"
#include "common/FloorDiv.h"
#include "common/Logging.h"
#include "common/RegularFile.h"
#include "common/Text.h"
#include "common/UniqueFd.h"
#include "common/Utf8.h"
#include "execution/Actions.h"
#include "execution/Backup.h"
#include "execution/CliPath.h"
#include "execution/TaskLog.h"
#include "model/StoreSalvage.h"
#include "model/TaskStoreFile.h"
#include "repository/Connections.h"
#include "scheduler/StoreSaver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStandardPaths>
#include <QString>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <string_view>
#include <unordered_set>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// How long the saver gathers run-state changes before it writes them all at once: a kill
// may lose the starts and ends of the runs of about this long before it, never a task nor an
// edit (those are written before AddTask, UpdateTask and RemoveTask return).
constexpr std::chrono::milliseconds kRunStateDelay{100};

boost::asio::system_timer::time_point timePoint(Instant t)
{
    return boost::asio::system_timer::time_point(
        std::chrono::duration_cast<boost::asio::system_timer::duration>(std::chrono::nanoseconds(t)));
}

Instant nextRunOrNever(const TaskInfo& task, Instant now)
{
    try {
        return task.NextRun(now);
    } catch (const std::exception& e) {
        qCWarning(lcScheduler, "Cannot compute the next run of a task: %s", e.what());
        return kNeverInstant;
    }
}

QString localTimeText(Instant t)
{
    return common::toDateTime(t).toString(QStringLiteral("dd.MM.yyyy 'в' hh:mm:ss"));
}

// The first line of a reason, as short as a list cell and a notice can show, in
// characters the store can hold.
std::wstring firstLine(const std::wstring& text)
{
    constexpr std::size_t kLongest = 500;
    std::wstring line = text.substr(0, std::min(text.find_first_of(L"\r\n"), kLongest));
    for (wchar_t& c : line)
        if (!store::IsXmlCharacter(static_cast<char32_t>(c)))
            c = L'\xFFFD';
    return line;
}

// Echoes a log line (or a message) that ends in a line break on the console.
void writeErr(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    qCInfo(lcScheduler).noquote() << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

// Removes what an interrupted save of the store left beside it: the writer's temporary
// files, named after the store with a dot and six letters or digits. Only regular files of
// this user are removed.
// Removes the temporary files `prefix` + six letters or digits in `folder` that a save of
// the store or a log's rotation leaves when it is cut short (regular files of ours only).
void removeLeftovers(const std::filesystem::path& folder, const std::string& prefix)
{
    constexpr std::size_t kRandom = 6;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + kRandom || name.compare(0, prefix.size(), prefix) != 0 ||
            !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                         [](unsigned char c) { return std::isalnum(c) != 0; }))
            continue;
        struct stat st
        {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if (::unlink(it->path().c_str()) == 0)
            qCInfo(lcScheduler, "Removed %s, left by an interrupted write.", it->path().c_str());
    }
}

} // namespace

// The worker thread with its event loop. The loop is stopped before the thread is joined,
// also when the service's construction fails after the thread has started.
//
// The tasks' timers wait for instants of the wall clock, but the loop measures its waits on
// the monotonic clock, which stands still while the machine sleeps and does not follow a
// clock that is set. The kernel tells of both through a wall-clock timerfd armed with
// TFD_TIMER_CANCEL_ON_SET: the loop then checks every wait again. Otherwise the worker only
// wakes when a task is due.
struct TaskStorage::Worker
{
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{io.get_executor()};
    boost::asio::posix::stream_descriptor clockChanges{io};
    // Expires at once when the clock changed: the loop measures every wait anew when one of
    // its own timers expires.
    boost::asio::steady_timer recheck{io};
    // Called on the worker when the clock changed, after the waits were measured anew.
    std::function<void()> clockChanged;
    std::thread thread;

    Worker()
    {
        WatchClock();
        thread = std::thread([this] { Run(); });
    }
    ~Worker() { Stop(); }
    void Stop()
    {
        io.stop();
        if (thread.joinable())
            thread.join();
    }
    void WatchClock()
    {
        common::UniqueFd fd(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
        if (fd.get() < 0 || !ArmClockWatch(fd.get())) {
            qCWarning(lcScheduler, "The scheduler is not told when the clock is set: %s", std::strerror(errno));
            return;
        }
        clockChanges.assign(fd.release());
        AwaitClockChange();
    }
    // Armed a year ahead: it is cancelled long before when the clock is set or the machine
    // resumes, and re-armed when it expires.
    static bool ArmClockWatch(int fd)
    {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        itimerspec armed{};
        armed.it_value.tv_sec = now.tv_sec + 365 * 86'400;
        return ::timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &armed, nullptr) == 0;
    }
    void AwaitClockChange()
    {
        clockChanges.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                                [this](const boost::system::error_code& ec) {
                                    if (ec)
                                        return;
                                    // ECANCELED when the clock changed; the count when it expired.
                                    std::uint64_t expirations = 0;
                                    [[maybe_unused]] const auto got =
                                        ::read(clockChanges.native_handle(), &expirations, sizeof expirations);
                                    recheck.expires_after(std::chrono::nanoseconds(0));
                                    recheck.async_wait([](const boost::system::error_code&) {});
                                    if (ArmClockWatch(clockChanges.native_handle()))
                                        AwaitClockChange();
                                    if (clockChanged)
                                        clockChanged();
                                });
    }
    void Run()
    {
        // A job that throws is reported and the loop goes on with the next one.
        for (;;) {
            try {
                io.run();
                return;
            } catch (const std::exception& e) {
                qCWarning(lcScheduler, "A scheduler job failed: %s", e.what());
            } catch (...) {
                qCWarning(lcScheduler, "A scheduler job failed.");
            }
        }
    }
};

// The backup runs: a small fixed pool of threads, started at the first backup, takes them
// from a queue, so backups together hold a bounded number of descriptors. A task has at
// most one backup queued or running. The pool is stopped and joined before the service
// goes: a running backup ends at its next chunk and keeps the previous copy of the
// document in progress.
struct TaskStorage::Backups
{
    static constexpr std::size_t kThreads = 2;

    struct Job
    {
        const TaskInfo* stored;
        std::uint64_t serial;
        execution::BackupRequest request;
        // Set by the user's stop of this backup, and for every backup when the pool stops.
        std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    };

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> queue;
    std::unordered_set<std::uint64_t> busy; // serials of the tasks queued or running
    std::unordered_map<std::uint64_t, std::shared_ptr<std::atomic<bool>>> stops; // of the busy ones
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    std::size_t running = 0;

    ~Backups() { Stop(); }

    // False when the task already has a backup queued or running.
    bool Start(TaskStorage& service, Job job)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stop)
            return true; // the service is going; nothing starts any more
        if (!busy.insert(job.serial).second)
            return false;
        const std::uint64_t serial = job.serial;
        stops[serial] = job.stop;
        queue.push_back(std::move(job));
        if (threads.size() < kThreads && threads.size() < queue.size() + running) {
            try {
                threads.emplace_back([this, &service] { Serve(service); });
            } catch (...) {
                // With no thread to take it, the job would wait for ever and block the task.
                if (threads.empty()) {
                    queue.pop_back();
                    busy.erase(serial);
                    stops.erase(serial);
                    throw;
                }
            }
        }
        wake.notify_one();
        return true;
    }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
            queue.clear();
            for (auto& [serial, flag] : stops)
                flag->store(true);
        }
        wake.notify_all();
        for (std::thread& t : threads)
            t.join();
        threads.clear();
    }

    // The user's stop of the task's backup, queued or running; false when it has none.
    bool StopOne(std::uint64_t serial)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = stops.find(serial);
        if (it == stops.end())
            return false;
        it->second->store(true);
        return true;
    }

    void Serve(TaskStorage& service)
    {
        const std::filesystem::path connections = SavedConnectionsPath();
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stop || !queue.empty(); });
            if (stop)
                return;
            Job job = std::move(queue.front());
            queue.pop_front();
            ++running;
            lock.unlock();
            std::optional<TaskStorage::RunEnd> end;
            if (const auto started = service.BeginRun(job.stored, job.serial)) {
                // The run's start names its version, not the moment the pool got to it.
                job.request.started = static_cast<std::time_t>(common::floorDiv(*started, kNanosPerSecond));
                const auto result = execution::RunBackup(job.request, *service.core_, connections, job.stop.get());
                const auto lines = execution::BackupReport(result);
                if (job.stop->load() && !stop && !result.ok) {
                    // Stopped by the user: the documents not reached keep their previous copies.
                    service.LogTo(job.stored, job.serial, tr("Остановлено пользователем.").toStdWString(), true);
                    end = TaskStorage::RunEnd{*started, {}, true};
                } else {
                    for (std::size_t i = 0; i < lines.size(); ++i)
                        service.LogTo(job.stored, job.serial, lines[i], i == 0);
                }
                // A backup the quit stopped stays kept as going: the next start takes it
                // as interrupted.
                if (!end && (result.ok || !stop))
                    end = TaskStorage::RunEnd{*started, {}};
                if (!result.ok && end && !end->stopped)
                    end->failure.Note(lines.front());
            }
            // The task may run again from here on, while this run's end is being kept.
            lock.lock();
            --running;
            busy.erase(job.serial);
            stops.erase(job.serial);
            if (end) {
                lock.unlock();
                service.EndRun(job.stored, job.serial, *end);
                lock.lock();
            }
        }
    }
};

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
    : worker_(std::make_unique<Worker>())
    , backups_(std::make_unique<Backups>())
    , storePath_(std::move(storePath))
    , logDirectory_(std::move(logDirectory))
    , core_(std::move(core))
    , clock_(std::move(settings.clock))
    , missedRunDelay_(settings.missedRunDelay)
    , saveRetryDelay_(settings.saveRetryDelay)
{
    // The events cross from the worker to the user-interface thread by queued calls.
    qRegisterMetaType<const TaskInfo*>("const TaskInfo*");
    saver_ = std::make_unique<StoreSaver>([this] { return SaveChanges(); }, kRunStateDelay, saveRetryDelay_);
    // Set before any task is armed; from then on only the worker reads it.
    worker_->clockChanged = [this] { RunDueAfterClockChange(); };
    Load();
}

TaskStorage::~TaskStorage()
{
    Shutdown();
}

void TaskStorage::Shutdown()
{
    // A tool the worker runs at this moment is ended now, so the job ends soon.
    toolStop_->Request();
    // Backups log through the service, so they end while it is whole.
    backups_->Stop();
    // The job running at this moment ends first; nothing queued runs afterwards. The
    // loop itself lives on until the timers, declared after it, are gone.
    worker_->Stop();
    // A command that ends from here on is not told: the store keeps its run as going, and
    // the next start says its outcome is unknown. The commands themselves are left running.
    reaper_.reset();
    // The run state changed until now is written before the program goes on to quit.
    saver_->Stop();
}

void TaskStorage::Load()
{
    if (!store::CreateFolderOf(storePath_))
        return;
    removeLeftovers(storePath_.parent_path(), storePath_.filename().string() + ".");
    removeLeftovers(logDirectory_, ".log-rotate.");
    // A store beyond the bound is never read: it is moved aside at the first save.
    common::FileRead file = common::ReadRegularFile(storePath_, store::kMaxStoreBytes);
    if (file.state == common::FileRead::State::Missing)
        return;
    std::vector<store::ParsedTask> parsed;
    {
        std::lock_guard<std::mutex> storeLock(storeMutex_);
        if (file.state == common::FileRead::State::Refused) {
            damage_.reason = "cannot be read: " + file.error;
            damagedUnreadable_ = true;
        } else {
            store::Salvage salvage = store::SalvageStore(file.bytes);
            damage_.recovered = salvage.Recovered();
            damage_.dropped = salvage.Dropped();
            if (!salvage.Whole() || salvage.Dropped() > 0) {
                damage_.reason = salvage.Whole() ? "tasks that cannot be read" : salvage.damage;
                damagedBytes_ = std::move(file.bytes);
            }
            parsed = std::move(salvage.tasks);
        }
        if (!damage_.reason.empty())
            qCWarning(lcScheduler,
                      "The task store %s is damaged (%s): %zu tasks loaded, %zu dropped. The file is kept beside "
                      "it before the first change is saved.",
                      storePath_.c_str(), damage_.reason.c_str(), damage_.recovered, damage_.dropped);
    }
    file = {};
    // A run kept as going means the program ended during it.
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
        std::lock_guard<std::mutex> lock(stateMutex_);
        for (auto& p : parsed) {
            if (!p.task)
                continue;
            auto task = std::make_unique<TaskInfo>(std::move(*p.task));
            bool stoppedPartWay = false;
            const bool wasRunning = task->last_run.outcome == RunOutcome::Running;
            if (wasRunning) {
                task->last_run.ended = task->last_run.started;
                if (std::holds_alternative<CommandAction>(task->action)) {
                    // A quit leaves commands running: how this one ended is not known.
                    task->last_run.outcome = RunOutcome::Unknown;
                    task->last_run.reason =
                        tr("Итог неизвестен: программа была остановлена, пока команда выполнялась.").toStdWString();
                } else {
                    task->last_run.outcome = RunOutcome::Failed;
                    task->last_run.reason = tr("Выполнение прервано: программа была остановлена.").toStdWString();
                    stoppedPartWay = true;
                }
                interrupted = true;
            }
            // Missed runs: while the program runs, the awaited run of a flagged task is
            // always ahead of the clock, because when it falls due the timer fires and the
            // run re-arms the timer for the next one before it saves. An awaited run kept in
            // the past therefore fell due while the program was not running (or while it was
            // stopped during that very run): the task is made up once, a little after this
            // start, however many runs it missed. A run the stop or a kill cut short counts
            // as missed too. A run due while the computer slept is no concern here: the
            // timer fires at the resume.
            const bool missed = task->run_missed && !task->paused &&
                                (stoppedPartWay || (task->awaited_run != kNeverInstant && task->awaited_run <= now));
            HonourPendingRetry(*task, now, delay);
            const std::wstring cutShort = wasRunning ? task->last_run.reason : std::wstring();
            const Instant awaitedInFile = task->awaited_run;
            const TaskInfo* stored = ArmLocked(std::move(task), SIZE_MAX, missed ? now + delay : kNeverInstant);
            awaitedAdded = awaitedAdded || (awaitedInFile == kNeverInstant && stored->awaited_run != kNeverInstant);
            // The log the failure notice opens tells how the cut-short run ended, too.
            if (const Entry* entry = FindLocked(stored, 0); !cutShort.empty() && entry && entry->log)
                entry->log->Write(execution::FormatLogLine(QDateTime::currentDateTime(), cutShort));
        }
    }
    parsed.clear();
    {
        // What was loaded is what the file holds (an awaited run that moved on is written
        // with the next change).
        std::lock_guard<std::mutex> storeLock(storeMutex_);
        std::lock_guard<std::mutex> lock(stateMutex_);
        savedChanges_ = changes_;
    }
    // The failed run is written down at once, so the store tells the truth from now on.
    if (interrupted || awaitedAdded)
        Save();
    // The parse tree of a large store leaves most of its pages with the allocator; hand
    // them back, so a program that lives in the tray does not keep them for its lifetime.
    ::malloc_trim(0);
}

const TaskInfo* TaskStorage::ArmLocked(std::unique_ptr<TaskInfo> task, std::size_t position, Instant makeUpAt)
{
    const TaskInfo* stored = task.get();
    auto place = tasks_.begin();
    std::advance(place, std::min(position, tasks_.size()));
    tasks_.insert(place, std::move(task));
    ++changes_;
    Entry& entry = entries_[stored];
    entry.serial = nextSerial_++;
    entry.timer = std::make_unique<boost::asio::system_timer>(worker_->io);
    entry.makeUpAt = makeUpAt;
    RearmLocked(stored, entry);
    try {
        entry.log = OpenLog(*stored);
    } catch (const std::exception& e) {
        qCWarning(lcScheduler, "Cannot open the log of a task: %s", e.what());
        entry.log = std::make_unique<execution::TaskLog>(std::nullopt);
    }
    return stored;
}

std::unique_ptr<execution::TaskLog> TaskStorage::OpenLog(const TaskInfo& task)
{
    std::filesystem::create_directories(logDirectory_);
    return std::make_unique<execution::TaskLog>(execution::LogFilePathFor(logDirectory_, task.name));
}

void TaskStorage::AddLogger(const TaskInfo& task)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto it = entries_.find(&task);
    if (it != entries_.end() && !it->second.log)
        it->second.log = OpenLog(task);
}

Instant TaskStorage::NextRunOf(const TaskInfo& task) const
{
    return nextRunOrNever(task, Now());
}

void TaskStorage::RearmLocked(const TaskInfo* task, Entry& entry)
{
    auto* record = const_cast<TaskInfo*>(task); // the service owns it
    ++changes_;                                 // the awaited run moves on
    if (!record->run_missed || record->paused)
        entry.makeUpAt = kNeverInstant;
    // A paused task waits for nothing, so it awaits no run that could be missed either.
    const Instant next = record->paused ? kNeverInstant : NextRunOf(*record);
    const Instant retry = record->paused ? kNeverInstant : record->retry_at;
    StartWaitLocked(task, entry, std::min({next, entry.makeUpAt, retry}));
    if (!record->run_missed)
        record->awaited_run = kNeverInstant;
    else if (entry.makeUpAt == kNeverInstant)
        record->awaited_run = next;
}

void TaskStorage::StartWaitLocked(const TaskInfo* task, Entry& entry, Instant expiry)
{
    entry.generation = nextGeneration_++;
    entry.expiry = expiry;
    entry.timer->expires_at(timePoint(expiry));
    entry.timer->async_wait(
        [this, task, serial = entry.serial, generation = entry.generation](const boost::system::error_code& ec) {
            if (ec == boost::asio::error::operation_aborted)
                return;
            OnTimer(task, serial, generation);
        });
}

void TaskStorage::RunDueAfterClockChange()
{
    // The waits that the new time has made due run now, also where the loop cannot measure
    // them anew (a wait due at once is armed as an absolute instant, which a process whose
    // clock is faked cannot arm). A wait that fires as well finds its generation changed.
    const Instant now = CurrentInstant();
    std::lock_guard<std::mutex> lock(stateMutex_);
    for (auto& [task, entry] : entries_) {
        if (entry.expiry > now)
            continue;
        entry.timer->cancel();
        boost::asio::post(worker_->io, [this, task = task, serial = entry.serial, generation = entry.generation] {
            OnTimer(task, serial, generation);
        });
    }
}

TaskStorage::Entry* TaskStorage::FindLocked(const TaskInfo* task, std::uint64_t serial)
{
    auto it = entries_.find(task);
    if (it == entries_.end() || (serial != 0 && it->second.serial != serial))
        return nullptr;
    return &it->second;
}

const TaskInfo* TaskStorage::AddTask(const TaskInfo& task, std::size_t position)
{
    const TaskInfo* stored;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        auto copy = std::make_unique<TaskInfo>(task);
        copy->last_run = LastRun{};
        copy->awaited_run = kNeverInstant;
        copy->retry_at = kNeverInstant;
        copy->retry_attempt = 0;
        stored = ArmLocked(std::move(copy), position);
    }
    Save();
    return stored;
}

void TaskStorage::UpdateTask(const TaskInfo* stored, const TaskInfo& edited)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(stored, 0);
        if (entry == nullptr)
            throw std::out_of_range("the task storage service holds no such task");
        entry->timer->cancel();
        auto* record = const_cast<TaskInfo*>(stored); // the service owns it
        const auto* oldExport = std::get_if<ExportAction>(&record->action);
        const std::wstring oldProject = oldExport ? oldExport->project_path : std::wstring();
        const std::wstring oldName = record->name;
        record->name = edited.name;
        record->description = edited.description;
        record->starting_point = edited.starting_point;
        record->trigger = edited.trigger;
        record->run_only_on_working_days = edited.run_only_on_working_days;
        record->action = edited.action;
        record->run_missed = edited.run_missed;
        // Whether it is paused, and where its retries stand, the service keeps.
        record->retry_count = edited.retry_count;
        record->retry_interval_minutes = edited.retry_interval_minutes;
        if (record->retry_attempt > record->retry_count) {
            record->retry_at = kNeverInstant;
            record->retry_attempt = 0;
        }
        if (auto* e = std::get_if<ExportAction>(&record->action); e && e->project_path != oldProject)
            e->modification_times.clear();
        // The log follows the task to its new name; a log that name has already is kept
        // and continued, and the old file stays.
        if (record->name != oldName && entry->log && entry->log->File()) {
            const auto renamed = execution::LogFilePathFor(logDirectory_, record->name);
            execution::MoveLog(*entry->log->File(), renamed);
            entry->log = std::make_unique<execution::TaskLog>(renamed);
        }
        RearmLocked(stored, *entry);
    }
    Save();
    emit events_->rearmed(stored);
}

void TaskStorage::RemoveTask(const TaskInfo* stored)
{
    std::string message;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        auto it = entries_.find(stored);
        if (it != entries_.end()) {
            it->second.timer->cancel();
            if (it->second.log) {
                const auto file = it->second.log->File();
                it->second.log.reset();
                // Only a file inside the log directory is ever deleted.
                std::error_code ec;
                if (file)
                    std::filesystem::remove(execution::OlderLogPath(*file), ec);
                if (!file || !std::filesystem::remove(*file, ec))
                    message = (ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory)).message() + "\n";
            }
            entries_.erase(it);
        }
        tasks_.remove_if([stored](const std::unique_ptr<TaskInfo>& t) { return t.get() == stored; });
        ++changes_;
    }
    if (!message.empty())
        writeErr(message);
    Save();
}

void TaskStorage::RunNow(const TaskInfo* stored)
{
    std::uint64_t serial;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(stored, 0);
        if (entry == nullptr)
            return;
        serial = entry->serial;
    }
    boost::asio::post(worker_->io, [this, stored, serial] { PerformStored(stored, serial); });
}

bool TaskStorage::SetPaused(const TaskInfo* stored, bool paused)
{
    Instant next;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(stored, 0);
        if (entry == nullptr)
            return false;
        auto* record = const_cast<TaskInfo*>(stored); // the service owns it
        if (record->paused == paused)
            return true;
        record->paused = paused;
        // A pause ends the series of retries; nothing of it is made up at the resume.
        record->retry_at = kNeverInstant;
        record->retry_attempt = 0;
        RearmLocked(stored, *entry);
        next = entry->expiry;
    }
    Save();
    emit events_->rearmed(stored);
    LogTo(stored, 0,
          paused ? tr("Задание приостановлено.").toStdWString()
                 : tr("Задание возобновлено. Следующий запуск: %1.")
                       .arg(next == kNeverInstant ? tr("не запланирован") : localTimeText(next))
                       .toStdWString(),
          true);
    return true;
}

bool TaskStorage::Stop(const TaskInfo* stored)
{
    bool stopping = false;
    std::uint64_t serial;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(stored, 0);
        if (entry == nullptr)
            return false;
        serial = entry->serial;
        if (entry->toolRunning) {
            toolCancel_->Request();
            stopping = true;
        }
        bool signalled = false;
        for (RunningCommand& command : entry->commands) {
            if (command.stopped)
                continue;
            command.stopped = true;
            signalled = true;
            // The command leads its own group; its helpers go with it.
            if (::kill(-command.pid, SIGTERM) != 0)
                ::kill(command.pid, SIGTERM);
        }
        stopping = stopping || !entry->commands.empty();
        if (signalled) {
            if (!entry->killTimer)
                entry->killTimer = std::make_unique<boost::asio::steady_timer>(worker_->io);
            entry->killTimer->expires_after(ToolSettings().limits.killGrace);
            entry->killTimer->async_wait([this, stored, serial](const boost::system::error_code& ec) {
                if (!ec)
                    KillStoppedCommands(stored, serial);
            });
        }
    }
    return backups_->StopOne(serial) || stopping;
}

void TaskStorage::KillStoppedCommands(const TaskInfo* stored, std::uint64_t serial)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    Entry* entry = FindLocked(stored, serial);
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

std::wstring TaskStorage::FollowRunLocked(TaskInfo& record, Entry& entry, RunOutcome outcome)
{
    if (outcome != RunOutcome::Failed || record.paused || record.retry_attempt >= record.retry_count) {
        record.retry_at = kNeverInstant;
        record.retry_attempt = 0;
        return {};
    }
    ++record.retry_attempt;
    record.retry_at = Now() + Instant(record.retry_interval_minutes) * 60 * kNanosPerSecond;
    RearmLocked(&record, entry);
    return tr("Повторная попытка %1 из %2 в %3.")
        .arg(record.retry_attempt)
        .arg(record.retry_count)
        .arg(common::toDateTime(record.retry_at).toString(QStringLiteral("hh:mm:ss dd.MM.yyyy")))
        .toStdWString();
}

void TaskStorage::TakeRetryLocked(TaskInfo& record, const Entry& entry)
{
    if (record.retry_at == kNeverInstant || record.retry_at > entry.expiry)
        record.retry_attempt = 0; // the regular run came first: a new series
    record.retry_at = kNeverInstant;
}

void TaskStorage::HonourPendingRetry(TaskInfo& task, Instant now, Instant delay)
{
    if (task.paused || task.retry_count == 0) {
        task.retry_at = kNeverInstant;
        task.retry_attempt = 0;
    } else if (task.retry_at != kNeverInstant && task.retry_at <= now) {
        task.retry_at = now + delay;
    }
}

void TaskStorage::Perform(const TaskInfo* task)
{
    PerformStored(task, 0);
}

void TaskStorage::PerformStored(const TaskInfo* task, std::uint64_t serial)
{
    TaskInfo copy;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(task, serial);
        if (entry == nullptr)
            return;
        serial = entry->serial;
        copy = *task;
    }
    if (const auto end = RunGuarded(task, serial, copy, false); end && !StoppedByQuit(*end))
        EndRun(task, serial, *end);
}

void TaskStorage::OnTimer(const TaskInfo* task, std::uint64_t serial, std::uint64_t generation)
{
    TaskInfo copy;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(task, serial);
        if (entry == nullptr || entry->generation != generation)
            return; // removed or re-armed since this wait completed
        TakeRetryLocked(*const_cast<TaskInfo*>(task), *entry);
        // A pending make-up run is done by this one.
        entry->makeUpAt = kNeverInstant;
        entry->finishing = true;
        copy = *task;
    }
    const auto end = RunGuarded(task, serial, copy, true);
    try {
        Instant next;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            Entry* entry = FindLocked(task, serial);
            if (entry == nullptr)
                return;
            if (entry->generation == generation)
                RearmLocked(task, *entry);
            next = entry->expiry; // an update during the run has armed it already
        }
        // The end is saved after the re-arm, so the store never keeps an awaited run that
        // has already been run.
        if (end && !StoppedByQuit(*end))
            EndRun(task, serial, *end);
        else if (copy.run_missed)
            saver_->Request();
        emit events_->rearmed(task);
        LogTo(task, serial,
              tr("Завершение выполнения задания. Следующий запуск: %2.")
                  .arg(next == kNeverInstant ? tr("не запланирован") : localTimeText(next))
                  .toStdWString(),
              true);
    } catch (...) {
        FinishTimedRun(task, serial);
        throw;
    }
    FinishTimedRun(task, serial);
}

void TaskStorage::FinishTimedRun(const TaskInfo* task, std::uint64_t serial)
{
    std::vector<RunEnd> held;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(task, serial);
        if (entry == nullptr)
            return;
        entry->finishing = false;
        held.swap(entry->heldEnds);
    }
    for (const RunEnd& end : held)
        KeepCommandEnd(task, serial, end);
}

std::optional<TaskStorage::RunEnd> TaskStorage::RunGuarded(const TaskInfo* stored, std::uint64_t serial,
                                                           const TaskInfo& copy, bool timed)
{
    std::optional<Instant> began;
    QString why;
    try {
        if (timed) {
            if (startObserver_)
                startObserver_(stored);
            LogTo(stored, serial, tr("Начало выполнения задания.").toStdWString(), true);
        }
        return RunAction(stored, serial, copy, began);
    } catch (const std::exception& e) {
        why = QString::fromLocal8Bit(e.what());
    } catch (...) {
        why = tr("непредвиденная ошибка");
    }
    qCWarning(lcScheduler, "A run could not be performed: %s", qUtf8Printable(why));
    try {
        LogTo(stored, serial, tr("Задание не выполнено: %1").arg(why).toStdWString(), true);
        if (!began)
            began = BeginRun(stored, serial);
    } catch (...) {
    }
    if (!began)
        return std::nullopt;
    RunEnd end{*began, {}};
    end.failure.Note(why.toStdWString());
    return end;
}

bool TaskStorage::StoppedByQuit(const RunEnd& end) const
{
    return end.failure.failed && toolStop_->Requested();
}

std::optional<Instant> TaskStorage::BeginRun(const TaskInfo* stored, std::uint64_t serial)
{
    const Instant started = Now();
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (FindLocked(stored, serial) == nullptr)
            return std::nullopt;
        auto* record = const_cast<TaskInfo*>(stored); // the service owns it
        record->last_run = LastRun{started, 0, RunOutcome::Running, {}};
        ++changes_;
    }
    // Written by the saver: the run starts without waiting for the disk.
    saver_->Request();
    emit events_->runStarted(stored);
    return started;
}

void TaskStorage::EndRun(const TaskInfo* stored, std::uint64_t serial, const RunEnd& end)
{
    const execution::RunFailure& failure = end.failure;
    const std::wstring reason = end.stopped ? tr("Остановлено пользователем.").toStdWString()
                                : failure.failed ? firstLine(failure.reason)
                                                 : std::wstring();
    std::wstring retryLine;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(stored, serial);
        if (entry == nullptr)
            return;
        auto* record = const_cast<TaskInfo*>(stored);
        // A later run has begun meanwhile: its start is what the task keeps now.
        if (record->last_run.outcome != RunOutcome::Running || record->last_run.started != end.started)
            return;
        record->last_run.ended = Now();
        record->last_run.outcome = end.stopped      ? RunOutcome::Stopped
                                   : failure.failed ? RunOutcome::Failed
                                                    : RunOutcome::Succeeded;
        record->last_run.reason = reason;
        retryLine = FollowRunLocked(*record, *entry, record->last_run.outcome);
        ++changes_;
    }
    saver_->Request();
    if (!retryLine.empty())
        LogTo(stored, serial, retryLine, true);
    if (end.stopped)
        emit events_->runStopped(stored);
    else
        emit events_->runEnded(stored, !failure.failed, QString::fromStdWString(reason));
}

std::optional<TaskStorage::RunEnd> TaskStorage::RunAction(const TaskInfo* stored, std::uint64_t serial,
                                                          const TaskInfo& copy, std::optional<Instant>& began)
{
    if (const auto* backup = std::get_if<BackupAction>(&copy.action)) {
        // The run holds copies and the shared core, never the record; the pool keeps its
        // outcome.
        execution::BackupRequest request{backup->connection_id, backup->source_path, backup->destination_path,
                                         backup->keep_versions};
        if (!backups_->Start(*this, {stored, serial, std::move(request)}))
            LogTo(stored, serial,
                  tr("Резервное копирование уже выполняется; повторный запуск пропущен.").toStdWString(), true);
        return std::nullopt;
    }
    const auto started = BeginRun(stored, serial);
    if (!started)
        return std::nullopt;
    began = started;
    const execution::LogFunction log = [this, stored, serial](const std::wstring& message, bool headed) {
        LogTo(stored, serial, message, headed);
    };
    execution::RunFailure failure;
    // The user's stop of a tool run reaches it while the task is marked as running one.
    execution::ToolRunSettings settings = ToolSettings();
    settings.cancel = toolCancel_.get();
    const auto registerCancel = [&](bool on) {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (on)
            toolCancel_->Reset();
        if (Entry* entry = FindLocked(stored, serial))
            entry->toolRunning = on;
    };
    try {
        if (const auto* exp = std::get_if<ExportAction>(&copy.action)) {
            registerCancel(true);
            const auto kept = execution::RunExport(*exp, *core_, ToolPath(), log, settings, &failure);
            registerCancel(false);
            KeepTimes(stored, serial, exp->project_path, kept);
        } else if (const auto* check = std::get_if<CheckAction>(&copy.action)) {
            registerCancel(true);
            const auto outcome = execution::RunCheck(*check, ToolPath(), log, settings, &failure);
            registerCancel(false);
            KeepTimes(stored, serial, check->ifc_file, outcome.times);
        } else if (const auto* command = std::get_if<CommandAction>(&copy.action)) {
            // Kept on the reaper's thread when the command ends, whatever the worker does then.
            auto pid = std::make_shared<pid_t>(0);
            auto ended = [this, stored, serial, at = *started, pid](int waitStatus) {
                EndCommand(stored, serial, at, waitStatus, *pid);
            };
            // Known to Stop until the reaper tells its end, which cannot come before this.
            auto known = [this, stored, serial, pid](pid_t child) {
                *pid = child;
                std::lock_guard<std::mutex> lock(stateMutex_);
                if (Entry* entry = FindLocked(stored, serial))
                    entry->commands.push_back({child, false});
            };
            // A started command stays running until the reaper tells its end.
            if (!reaper_)
                failure.Note(tr("программа завершает работу").toStdWString());
            else if (execution::StartCommand(*command, *reaper_, log, &failure, std::move(ended), known))
                return std::nullopt;
        }
    } catch (const std::exception& e) {
        registerCancel(false);
        qCWarning(lcScheduler, "%s", e.what());
        failure.Note(QString::fromLocal8Bit(e.what()).toStdWString());
    }
    // The times kept above reach the store with the end of the run. A run the quit cut
    // short stays one the quit stopped.
    return RunEnd{*started, failure,
                  toolCancel_->Requested() && !toolStop_->Requested() &&
                      !std::holds_alternative<CommandAction>(copy.action)};
}

void TaskStorage::EndCommand(const TaskInfo* stored, std::uint64_t serial, Instant started, int waitStatus, pid_t pid)
{
    RunEnd end{started, {}};
    if (const auto reason = execution::CommandEndFailure(waitStatus))
        end.failure.Note(*reason);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        Entry* entry = FindLocked(stored, serial);
        if (entry == nullptr)
            return;
        // Collected: its id may be another process's from now on.
        auto& commands = entry->commands;
        const auto it = std::find_if(commands.begin(), commands.end(), [pid](const auto& c) { return c.pid == pid; });
        if (it != commands.end()) {
            end.stopped = it->stopped;
            if (it->stopped)
                entry->stoppedGroups.push_back(pid);
            commands.erase(it);
        }
        // The timer handler keeps it once it has re-armed and written its end line, so the
        // store never holds an awaited run already run and the log stays in order.
        if (entry->finishing) {
            entry->heldEnds.push_back(end);
            return;
        }
    }
    KeepCommandEnd(stored, serial, end);
}

void TaskStorage::KeepCommandEnd(const TaskInfo* stored, std::uint64_t serial, const RunEnd& end)
{
    // The run's end line was written when the command started; this says why it failed.
    if (end.stopped)
        LogTo(stored, serial, tr("Остановлено пользователем.").toStdWString(), true);
    else if (end.failure.failed)
        LogTo(stored, serial,
              tr("Задание не выполнено: %1").arg(QString::fromStdWString(end.failure.reason)).toStdWString(), true);
    EndRun(stored, serial, end);
}

std::filesystem::path TaskStorage::ToolPath() const
{
    return toolPath_.empty() ? CliExecutablePath() : toolPath_;
}

execution::ToolRunSettings TaskStorage::ToolSettings() const
{
    execution::ToolRunSettings settings;
    if (toolLimits_)
        settings.limits = *toolLimits_;
    else
        settings.limits.timeout = ToolTimeout();
    settings.stop = toolStop_.get();
    return settings;
}

void TaskStorage::KeepTimes(const TaskInfo* stored, std::uint64_t serial, const std::wstring& key,
                            const std::vector<std::pair<std::wstring, Instant>>& times)
{
    if (times.empty())
        return;
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (FindLocked(stored, serial) == nullptr)
        return;
    // The times belong to the action the run was made for; an action edited meanwhile
    // to another project or file keeps its own.
    auto* record = const_cast<TaskInfo*>(stored);
    ModificationTimes* target = nullptr;
    if (auto* e = std::get_if<ExportAction>(&record->action); e && e->project_path == key && e->only_changed_documents)
        target = &e->modification_times;
    if (auto* c = std::get_if<CheckAction>(&record->action); c && c->ifc_file == key && c->only_changed_documents)
        target = &c->modification_times;
    if (target == nullptr)
        return;
    for (const auto& [path, time] : times)
        (*target)[path] = time;
    ++changes_; // written with the end of the run
}

void TaskInfo::Log(const std::wstring& message, bool headed) const
{
    TaskStorage::Instance().Log(this, message, headed);
}

void TaskStorage::Log(const TaskInfo* task, const std::wstring& message, bool headed)
{
    LogTo(task, 0, message, headed);
}

void TaskStorage::LogTo(const TaskInfo* task, std::uint64_t serial, const std::wstring& message, bool headed)
{
    const std::string line = execution::FormatLogLine(QDateTime::currentDateTime(), message);
    std::string name;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (Entry* entry = FindLocked(task, serial)) {
            known = true;
            name = common::toUtf8(task->name);
            if (entry->log)
                entry->log->Write(line);
        }
    }
    writeErr(headed && known ? "[" + name + "]: " + line : line);
}

bool TaskStorage::Save()
{
    QString failed;
    try {
        failed = SaveLocked();
    } catch (const std::exception& e) {
        qCWarning(lcScheduler, "The task store was not saved: %s", e.what());
        failed = tr("Список заданий не сохранён: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    unsaved_ = !failed.isEmpty();
    // Told outside the locks: a receiver on this thread is called at once and may ask the
    // service for more.
    if (failed.isEmpty()) {
        emit events_->saved();
        return true;
    }
    saver_->RetryLater();
    emit events_->saveFailed(failed);
    return false;
}

bool TaskStorage::SaveChanges()
{
    {
        std::lock_guard<std::mutex> storeLock(storeMutex_);
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (changes_ == savedChanges_ && !unsaved_)
            return true; // an edit's own save wrote it already
    }
    return Save();
}

QString TaskStorage::SaveLocked()
{
    std::lock_guard<std::mutex> storeLock(storeMutex_);
    if (!store::CreateFolderOf(storePath_))
        return tr("Не удалось создать папку %1.").arg(QString::fromStdString(storePath_.parent_path().string()));
    std::wstring document;
    std::uint64_t covered = 0;
    try {
        // Copied under the state lock and written out without it, so a run never waits for
        // the store to be formatted.
        std::vector<TaskInfo> copies;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            copies.reserve(tasks_.size());
            for (const auto& t : tasks_)
                copies.push_back(*t);
            covered = changes_;
        }
        std::vector<const TaskInfo*> list;
        list.reserve(copies.size());
        for (const TaskInfo& t : copies)
            list.push_back(&t);
        document = store::WriteTasks(list);
    } catch (const boost::property_tree::xml_parser_error& e) {
        qCWarning(lcScheduler, "The task store was not saved: %s", e.what());
        return tr("Список заданий не сохранён: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    // A damaged store is never replaced before it is kept: when keeping it fails, this
    // save is given up and the next one tries again.
    if (!damage_.reason.empty() && damage_.keptAs.empty()) {
        std::string error;
        damage_.keptAs = damagedUnreadable_ ? store::MoveDamagedAside(storePath_, error)
                                            : store::KeepDamagedCopy(storePath_, damagedBytes_, error);
        if (damage_.keptAs.empty()) {
            qCWarning(lcScheduler, "The task store was not saved: the damaged %s could not be kept: %s",
                      storePath_.c_str(), error.c_str());
            return tr("Не удалось сохранить копию повреждённого файла заданий %1: %2")
                .arg(QString::fromStdString(storePath_.string()), QString::fromLocal8Bit(error.c_str()));
        }
        std::string().swap(damagedBytes_);
        qCWarning(lcScheduler, "The damaged task store was kept as %s", damage_.keptAs.c_str());
    }
    // A failed save leaves the previous file whole.
    std::string error;
    if (!store::WriteFile(storePath_, document, &error)) {
        qCWarning(lcScheduler, "The task store could not be written: %s: %s", storePath_.c_str(), error.c_str());
        return tr("Не удалось записать файл заданий %1: %2")
            .arg(QString::fromStdString(storePath_.string()), QString::fromStdString(error));
    }
    savedChanges_ = covered;
    return {};
}

TaskStorage::StoreDamage TaskStorage::Damage() const
{
    std::lock_guard<std::mutex> storeLock(storeMutex_);
    return damage_;
}

TaskInfo TaskStorage::Copy(const TaskInfo* stored) const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (entries_.count(stored) == 0)
        throw std::out_of_range("the task storage service holds no such task");
    return *stored;
}

std::filesystem::path TaskStorage::LogFilePath(const TaskInfo* task) const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto it = entries_.find(task);
    if (it == entries_.end() || !it->second.log || !it->second.log->File())
        return {};
    return *it->second.log->File();
}

Instant TaskStorage::ScheduledRun(const TaskInfo* task) const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto it = entries_.find(task);
    return it == entries_.end() ? kNeverInstant : it->second.expiry;
}
