#include "tools/kalvor-tasks/StoreCommands.h"

#include "common/ControlRequest.h"
#include "common/RegularFile.h"
#include "common/StoreLock.h"
#include "common/Text.h"
#include "common/Utf8.h"
#include "model/StoreSalvage.h"
#include "model/TaskStoreFile.h"
#include "scheduler/LocalZone.h"
#include "scheduler/NextRun.h"

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

namespace tasks_tool {
namespace {

void WriteLine(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
}

void Complain(std::FILE* err, const QString& text)
{
    WriteLine(err, QStringLiteral("kalvor-tasks: ") + text);
}

// A loaded text keeps its tabs and line breaks; this keeps every record on one line with
// exactly its columns whatever the text.
QString OneLine(QString text)
{
    for (QChar& c : text)
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    return text;
}

// A text on one line that can be read back: backslash, tab, line feed and carriage
// return written as \\, \t, \n and \r.
QString Escaped(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            out += QStringLiteral("\\r");
        else
            out += c;
    }
    return out;
}

QString OutcomeWord(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::Running:
        return QStringLiteral("running");
    case RunOutcome::Succeeded:
        return QStringLiteral("ok");
    case RunOutcome::Failed:
        return QStringLiteral("failed");
    case RunOutcome::Unknown:
        return QStringLiteral("unknown");
    case RunOutcome::Stopped:
        return QStringLiteral("stopped");
    case RunOutcome::None:
        break;
    }
    return QStringLiteral("-");
}

// The `task` elements of the store file, read as the program's load reads them: a damaged
// file gives what can be read of it, and the damage is reported on `err` in one line.
// Nothing, with the reason on `err` and the exit status in `status`, when the file cannot
// be read at all.
std::optional<store::Salvage> Load(const std::filesystem::path& file, std::FILE* err, int& status)
{
    const QString name = common::toQString(file);
    const QFileInfo info(name);
    if (!info.exists()) {
        Complain(err, QStringLiteral("no store file at %1").arg(name));
        status = kFileError;
        return std::nullopt;
    }
    if (info.isDir()) {
        Complain(err, QStringLiteral("%1 is a directory, not a store file").arg(name));
        status = kFileError;
        return std::nullopt;
    }
    // Read without waiting: a FIFO or a device at the path is refused, not read; so is a
    // file too large to be a store.
    const common::FileRead read = common::ReadRegularFile(file, store::kMaxStoreBytes);
    if (read.state != common::FileRead::State::Read) {
        Complain(err,
                 QStringLiteral("cannot read %1: %2")
                     .arg(name, read.state == common::FileRead::State::Missing ? QStringLiteral("no such file")
                                                                               : QString::fromStdString(read.error)));
        status = kFileError;
        return std::nullopt;
    }
    store::Salvage salvage = store::SalvageStore(read.bytes);
    if (!salvage.Whole())
        Complain(err, QStringLiteral("%1 is damaged (%2): %3 tasks read, %4 dropped")
                          .arg(name, OneLine(QString::fromStdString(salvage.damage)))
                          .arg(salvage.Recovered())
                          .arg(salvage.Dropped()));
    return salvage;
}

QString LocalTimeText(Instant t, const date::time_zone* zone)
{
    using namespace std::chrono;
    const auto second = floor<seconds>(date::sys_time<nanoseconds>(nanoseconds(t)));
    const date::local_seconds local{(second + ZoneInfo(zone, second).offset).time_since_epoch()};
    return QString::fromStdString(date::format("%Y-%m-%d %H:%M:%S", local));
}

// The next run as the program arms it: a task without a computable run never fires.
Instant NextRun(const store::ParsedTask& p, Instant now, const date::time_zone* zone, std::FILE* err)
{
    try {
        return schedule::NextRun(*p.task, now, zone);
    } catch (const std::exception& e) {
        Complain(err, QStringLiteral("task %1: next run cannot be computed: %2")
                          .arg(p.position)
                          .arg(QString::fromStdString(e.what())));
        return kNeverInstant;
    }
}

// Hands every task of the store that loads to `each` with its next run; the exit status.
template <typename Each>
int EachTask(const std::filesystem::path& store, Instant now, const date::time_zone* zone, std::FILE* err, Each each)
{
    int status = kOk;
    const auto salvage = Load(store, err, status);
    if (!salvage)
        return status;
    for (const store::ParsedTask& p : salvage->tasks)
        if (p.task)
            each(p, NextRun(p, now, zone, err));
    return salvage->Whole() ? kOk : kProblemsFound;
}

} // namespace

int List(const std::filesystem::path& store, Instant now, const date::time_zone* zone, std::FILE* out, std::FILE* err)
{
    return EachTask(store, now, zone, err, [&](const store::ParsedTask& p, Instant next) {
        const bool never = next == kNeverInstant || p.task->paused;
        const QString neverText = p.task->paused ? QStringLiteral("paused") : QStringLiteral("never");
        WriteLine(out, QString::number(p.position) + QLatin1Char('\t') + (never ? neverText : QString::number(next)) +
                           QLatin1Char('\t') + (never ? neverText : LocalTimeText(next, zone)) + QLatin1Char('\t') +
                           OneLine(QString::fromStdWString(p.task->name)));
    });
}

int Status(const std::filesystem::path& store, Instant now, const date::time_zone* zone, std::FILE* out, std::FILE* err)
{
    return EachTask(store, now, zone, err, [&](const store::ParsedTask& p, Instant next) {
        const TaskInfo& task = *p.task;
        const LastRun& last = task.last_run;
        const bool ran = last.outcome != RunOutcome::None;
        const QString nextText = task.paused             ? QStringLiteral("paused")
                                 : next == kNeverInstant ? QStringLiteral("never")
                                                         : LocalTimeText(next, zone);
        // The pending retry, after the name so the earlier columns keep their places.
        const QString retry = task.retry_at == kNeverInstant || task.paused
                                  ? QStringLiteral("-")
                                  : QStringLiteral("%1/%2 %3")
                                        .arg(task.retry_attempt)
                                        .arg(task.retry_count)
                                        .arg(LocalTimeText(task.retry_at, zone));
        WriteLine(out, QString::number(p.position) + QLatin1Char('\t') + nextText + QLatin1Char('\t') +
                           (ran ? LocalTimeText(last.started, zone) : QStringLiteral("-")) + QLatin1Char('\t') +
                           OutcomeWord(last.outcome) + QLatin1Char('\t') + Escaped(QString::fromStdWString(task.name)) +
                           QLatin1Char('\t') + retry);
    });
}

int Validate(const std::filesystem::path& store, std::FILE* out, std::FILE* err)
{
    int status = kOk;
    const auto salvage = Load(store, err, status);
    if (!salvage)
        return status;
    if (!salvage->Whole())
        status = kProblemsFound;
    for (const store::ParsedTask& p : salvage->tasks) {
        const QString position = QString::number(p.position) + QLatin1Char('\t');
        if (!p.task) {
            WriteLine(out, position + OneLine(QString::fromStdString(p.error)));
            status = kProblemsFound;
            continue;
        }
        // Kept tasks with values the schedule cannot use: reported, but not a problem.
        for (const std::string& warning : p.warnings)
            WriteLine(out, position + QStringLiteral("warning: ") + OneLine(QString::fromStdString(warning)));
    }
    return status;
}

int Repair(const std::filesystem::path& store, const std::filesystem::path& output, std::FILE* out, std::FILE* err)
{
    // equivalent() also sees through symbolic links, hard links and spellings such as
    // "dir/../store.xml"; an output that does not exist yet cannot be the store.
    std::error_code ec;
    if (std::filesystem::equivalent(store, output, ec)) {
        Complain(err, QStringLiteral("refusing to overwrite the store file %1 with its own repair")
                          .arg(common::toQString(output)));
        return kUsage;
    }

    // The store of a running scheduler is never replaced behind its back. The scheduler
    // locks the folder its store is in (found through symbolic links), so the output is
    // resolved the same way; in a folder locked by another process the repair writes any
    // file but the store there (the scheduler names it "storage.xml"; any other with a lock
    // file beside it counts as well).
    // An output in a free folder is locked while it is written.
    common::StoreLock lock(output, common::StoreLock::Open::ExistingOnly);
    if (lock.IsOpen() && !lock.TryLock()) {
        std::filesystem::path name = lock.Path();
        name.replace_extension();
        if (name.filename() == "storage.xml" ||
            std::filesystem::symlink_status(lock.Path(), ec).type() != std::filesystem::file_type::not_found) {
            const pid_t pid = lock.Holder().pid;
            Complain(err, QStringLiteral("refusing to write %1: it is the store of a running scheduler (%2)")
                              .arg(common::toQString(output),
                                   pid > 0 ? QStringLiteral("process %1").arg(static_cast<qint64>(pid))
                                           : QStringLiteral("its lock is held by another process")));
            return kFileError;
        }
    }

    int status = kOk;
    const auto salvage = Load(store, err, status);
    if (!salvage)
        return status;
    const std::vector<store::ParsedTask>* parsed = &salvage->tasks;
    std::vector<const TaskInfo*> kept;
    for (const store::ParsedTask& p : *parsed)
        if (p.task)
            kept.push_back(&*p.task);

    std::wstring document;
    try {
        document = store::WriteTasks(kept);
    } catch (const std::exception& e) {
        Complain(err, QStringLiteral("cannot write the tasks: %1").arg(QString::fromStdString(e.what())));
        return kFileError;
    }
    if (!store::WriteFile(output, document)) {
        Complain(err, QStringLiteral("cannot write %1").arg(common::toQString(output)));
        return kFileError;
    }
    WriteLine(out, QStringLiteral("%1 tasks written, %2 dropped").arg(kept.size()).arg(parsed->size() - kept.size()));
    return kOk;
}

namespace {

// The task that `wanted` names among those a load keeps: a position as list prints it, or
// else an exact name that one task alone has. Nothing, with the reason on `err`, otherwise.
const store::ParsedTask* FindTask(const store::Salvage& salvage, const std::string& wanted, std::FILE* err)
{
    const bool position = !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos;
    std::vector<const store::ParsedTask*> found;
    for (const store::ParsedTask& p : salvage.tasks) {
        if (!p.task)
            continue;
        if (position ? QString::number(p.position) == QString::fromStdString(wanted)
                     : common::toUtf8(p.task->name) == wanted)
            found.push_back(&p);
    }
    const QString shown = QString::fromStdString(wanted);
    if (found.empty()) {
        Complain(err, position ? QStringLiteral("no task that loads at position %1").arg(shown)
                               : QStringLiteral("no task is named \"%1\"").arg(OneLine(shown)));
        return nullptr;
    }
    if (found.size() > 1) {
        QStringList places;
        for (const store::ParsedTask* p : found)
            places << QString::number(p->position);
        Complain(err, QStringLiteral("%1 tasks are named \"%2\" (positions %3); name one by its position")
                          .arg(found.size())
                          .arg(OneLine(shown), places.join(QStringLiteral(", "))));
        return nullptr;
    }
    return found.front();
}

} // namespace

int Control(const std::string& verb, const std::string& wanted, const std::filesystem::path& store, std::FILE* out,
            std::FILE* err)
{
    const auto action = common::ControlVerbOf(verb);
    if (!action) {
        Complain(err, QStringLiteral("unknown command %1").arg(QString::fromStdString(verb)));
        return kUsage;
    }
    // Taken when no scheduler holds it, so nothing else writes the store meanwhile.
    common::StoreLock lock(store, common::StoreLock::Open::ExistingOnly);
    if (!lock.IsOpen() && !lock.Error().empty()) {
        Complain(err, QStringLiteral("the store's lock cannot be used: %1").arg(QString::fromStdString(lock.Error())));
        return kFileError;
    }
    const bool schedulerRuns = lock.IsOpen() && !lock.TryLock();
    int status = kOk;
    const auto salvage = Load(store, err, status);
    if (!salvage)
        return status;
    const store::ParsedTask* found = FindTask(*salvage, wanted, err);
    if (!found)
        return kUsage;
    const QString name =
        QStringLiteral("task %1 \"%2\"").arg(found->position).arg(OneLine(QString::fromStdWString(found->task->name)));
    const bool pause = *action == common::ControlVerb::Pause;

    if (schedulerRuns) {
        const common::StoreLockHolder holder = lock.Holder();
        const QString who = holder.pid > 0 ? QStringLiteral("process %1").arg(static_cast<qint64>(holder.pid))
                                           : QStringLiteral("another process");
        if (holder.socket.empty()) {
            Complain(err, QStringLiteral("the store is in use by %1, which cannot be reached").arg(who));
            return kProblemsFound;
        }
        common::ControlRequest request;
        request.verb = *action;
        request.name = common::toUtf8(found->task->name);
        // The scheduler holds the tasks that load, in store order.
        for (const store::ParsedTask& p : salvage->tasks)
            if (&p != found && p.task && p.position < found->position)
                ++request.index;
        const auto timeout = *action == common::ControlVerb::Stop ? std::chrono::seconds(30) : std::chrono::seconds(10);
        const common::ControlReply reply = common::SendControlRequest(holder.socket, request, timeout);
        if (!reply.reached) {
            Complain(err, QStringLiteral("the scheduler (%1) did not carry the request out: %2")
                              .arg(who, QString::fromStdString(reply.text)));
            return kProblemsFound;
        }
        if (!reply.ok) {
            Complain(err, QStringLiteral("%1: %2").arg(name, QString::fromStdString(reply.text)));
            return kProblemsFound;
        }
        WriteLine(out, QStringLiteral("%1: %2").arg(name, QString::fromStdString(reply.text)));
        return kOk;
    }

    if (*action == common::ControlVerb::Run || *action == common::ControlVerb::Stop) {
        Complain(err, QStringLiteral("no scheduler is running for %1; nothing to %2")
                          .arg(common::toQString(store), QString::fromStdString(verb)));
        return kFileError;
    }
    if (found->task->paused == pause) {
        WriteLine(out, name + (pause ? QStringLiteral(" is paused already") : QStringLiteral(" is not paused")));
        return kOk;
    }
    // Every task must survive the rewrite.
    if (!salvage->Whole() || salvage->Dropped() > 0) {
        Complain(err, QStringLiteral("the store holds tasks that do not load; it is not changed (see validate and "
                                     "repair)"));
        return kProblemsFound;
    }
    std::vector<TaskInfo> tasks;
    for (const store::ParsedTask& p : salvage->tasks)
        tasks.push_back(*p.task);
    TaskInfo& changed = tasks[static_cast<std::size_t>(&*found - salvage->tasks.data())];
    changed.paused = pause;
    // Nothing that fell due while paused is made up, and a pause ends a series of retries.
    changed.awaited_run = kNeverInstant;
    changed.retry_at = kNeverInstant;
    changed.retry_attempt = 0;
    std::vector<const TaskInfo*> list;
    for (const TaskInfo& t : tasks)
        list.push_back(&t);
    std::string error;
    if (!store::WriteFile(store, store::WriteTasks(list), &error)) {
        Complain(err,
                 QStringLiteral("cannot write %1: %2").arg(common::toQString(store), QString::fromStdString(error)));
        return kFileError;
    }
    WriteLine(out, name + (pause ? QStringLiteral(" paused") : QStringLiteral(" resumed")) +
                       QStringLiteral(" in the store (no scheduler is running)"));
    return kOk;
}

} // namespace tasks_tool
