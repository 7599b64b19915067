#include "tools/kalvor-tasks/StoreCommands.h"

#include "common/RegularFile.h"
#include "common/StoreLock.h"
#include "common/Text.h"
#include "model/StoreSalvage.h"
#include "model/TaskStoreFile.h"
#include "scheduler/LocalZone.h"
#include "scheduler/NextRun.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

namespace tasks_tool {
namespace {

void writeLine(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
}

void complain(std::FILE* err, const QString& text)
{
    writeLine(err, QStringLiteral("kalvor-tasks: ") + text);
}

// A loaded text keeps its tabs and line breaks; this keeps every record on one line with
// exactly its columns whatever the text.
QString oneLine(QString text)
{
    for (QChar& c : text)
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    return text;
}

// A text on one line that can be read back: backslash, tab, line feed and carriage
// return written as \\, \t, \n and \r.
QString escaped(const QString& text)
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

QString outcomeWord(RunOutcome outcome)
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
    case RunOutcome::None:
        break;
    }
    return QStringLiteral("-");
}

// The `task` elements of the store file, read as the program's load reads them: a damaged
// file gives what can be read of it, and the damage is reported on `err` in one line.
// Nothing, with the reason on `err` and the exit status in `status`, when the file cannot
// be read at all.
std::optional<store::Salvage> load(const std::filesystem::path& file, std::FILE* err, int& status)
{
    const QString name = common::toQString(file);
    const QFileInfo info(name);
    if (!info.exists()) {
        complain(err, QStringLiteral("no store file at %1").arg(name));
        status = kFileError;
        return std::nullopt;
    }
    if (info.isDir()) {
        complain(err, QStringLiteral("%1 is a directory, not a store file").arg(name));
        status = kFileError;
        return std::nullopt;
    }
    // Read without waiting: a FIFO or a device at the path is refused, not read; so is a
    // file too large to be a store.
    const common::FileRead read = common::ReadRegularFile(file, store::kMaxStoreBytes);
    if (read.state != common::FileRead::State::Read) {
        complain(err,
                 QStringLiteral("cannot read %1: %2")
                     .arg(name, read.state == common::FileRead::State::Missing ? QStringLiteral("no such file")
                                                                               : QString::fromStdString(read.error)));
        status = kFileError;
        return std::nullopt;
    }
    store::Salvage salvage = store::SalvageStore(read.bytes);
    if (!salvage.Whole())
        complain(err, QStringLiteral("%1 is damaged (%2): %3 tasks read, %4 dropped")
                          .arg(name, oneLine(QString::fromStdString(salvage.damage)))
                          .arg(salvage.Recovered())
                          .arg(salvage.Dropped()));
    return salvage;
}

QString localTimeText(Instant t, const date::time_zone* zone)
{
    using namespace std::chrono;
    const auto second = floor<seconds>(date::sys_time<nanoseconds>(nanoseconds(t)));
    const date::local_seconds local{(second + ZoneInfo(zone, second).offset).time_since_epoch()};
    return QString::fromStdString(date::format("%Y-%m-%d %H:%M:%S", local));
}

// The next run as the program arms it: a task without a computable run never fires.
Instant nextRun(const store::ParsedTask& p, Instant now, const date::time_zone* zone, std::FILE* err)
{
    try {
        return schedule::NextRun(*p.task, now, zone);
    } catch (const std::exception& e) {
        complain(err, QStringLiteral("task %1: next run cannot be computed: %2")
                          .arg(p.position)
                          .arg(QString::fromStdString(e.what())));
        return kNeverInstant;
    }
}

// Hands every task of the store that loads to `each` with its next run; the exit status.
template <typename Each>
int eachTask(const std::filesystem::path& store, Instant now, const date::time_zone* zone, std::FILE* err, Each each)
{
    int status = kOk;
    const auto salvage = load(store, err, status);
    if (!salvage)
        return status;
    for (const store::ParsedTask& p : salvage->tasks)
        if (p.task)
            each(p, nextRun(p, now, zone, err));
    return salvage->Whole() ? kOk : kProblemsFound;
}

} // namespace

int List(const std::filesystem::path& store, Instant now, const date::time_zone* zone, std::FILE* out, std::FILE* err)
{
    return eachTask(store, now, zone, err, [&](const store::ParsedTask& p, Instant next) {
        const bool never = next == kNeverInstant;
        const QString neverText = QStringLiteral("never");
        writeLine(out, QString::number(p.position) + QLatin1Char('\t') + (never ? neverText : QString::number(next)) +
                           QLatin1Char('\t') + (never ? neverText : localTimeText(next, zone)) + QLatin1Char('\t') +
                           oneLine(QString::fromStdWString(p.task->name)));
    });
}

int Status(const std::filesystem::path& store, Instant now, const date::time_zone* zone, std::FILE* out, std::FILE* err)
{
    return eachTask(store, now, zone, err, [&](const store::ParsedTask& p, Instant next) {
        const LastRun& last = p.task->last_run;
        const bool ran = last.outcome != RunOutcome::None;
        writeLine(out, QString::number(p.position) + QLatin1Char('\t') +
                           (next == kNeverInstant ? QStringLiteral("never") : localTimeText(next, zone)) +
                           QLatin1Char('\t') + (ran ? localTimeText(last.started, zone) : QStringLiteral("-")) +
                           QLatin1Char('\t') + outcomeWord(last.outcome) + QLatin1Char('\t') +
                           escaped(QString::fromStdWString(p.task->name)));
    });
}

int Validate(const std::filesystem::path& store, std::FILE* out, std::FILE* err)
{
    int status = kOk;
    const auto salvage = load(store, err, status);
    if (!salvage)
        return status;
    if (!salvage->Whole())
        status = kProblemsFound;
    for (const store::ParsedTask& p : salvage->tasks) {
        const QString position = QString::number(p.position) + QLatin1Char('\t');
        if (!p.task) {
            writeLine(out, position + oneLine(QString::fromStdString(p.error)));
            status = kProblemsFound;
            continue;
        }
        // Kept tasks with values the schedule cannot use: reported, but not a problem.
        for (const std::string& warning : p.warnings)
            writeLine(out, position + QStringLiteral("warning: ") + oneLine(QString::fromStdString(warning)));
    }
    return status;
}

int Repair(const std::filesystem::path& store, const std::filesystem::path& output, std::FILE* out, std::FILE* err)
{
    // equivalent() also sees through symbolic links, hard links and spellings such as
    // "dir/../store.xml"; an output that does not exist yet cannot be the store.
    std::error_code ec;
    if (std::filesystem::equivalent(store, output, ec)) {
        complain(err, QStringLiteral("refusing to overwrite the store file %1 with its own repair")
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
            complain(err, QStringLiteral("refusing to write %1: it is the store of a running scheduler (%2)")
                              .arg(common::toQString(output),
                                   pid > 0 ? QStringLiteral("process %1").arg(static_cast<qint64>(pid))
                                           : QStringLiteral("its lock is held by another process")));
            return kFileError;
        }
    }

    int status = kOk;
    const auto salvage = load(store, err, status);
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
        complain(err, QStringLiteral("cannot write the tasks: %1").arg(QString::fromStdString(e.what())));
        return kFileError;
    }
    if (!store::WriteFile(output, document)) {
        complain(err, QStringLiteral("cannot write %1").arg(common::toQString(output)));
        return kFileError;
    }
    writeLine(out, QStringLiteral("%1 tasks written, %2 dropped").arg(kept.size()).arg(parsed->size() - kept.size()));
    return kOk;
}

} // namespace tasks_tool
