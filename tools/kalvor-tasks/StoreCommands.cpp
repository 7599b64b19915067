#include "tools/kalvor-tasks/StoreCommands.h"

#include "common/RegularFile.h"
#include "common/Text.h"
#include "model/StoreSalvage.h"
#include "model/TaskStoreFile.h"
#include "scheduler/NextRun.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <boost/property_tree/xml_parser.hpp>

#include <chrono>
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

// The parsed `task` elements of the store file; nothing, with the reason on `err` and
// the exit status in `status`, when the file cannot be read or is not XML. With
// `salvage`, a file that does not parse as a whole gives the task elements that can be
// read on their own, as the program's load does, and the damage is reported on `err`.
std::optional<std::vector<store::ParsedTask>> load(const std::filesystem::path& file, std::FILE* err, int& status,
                                                   bool salvage = false)
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
    // Read without waiting: a FIFO or a device at the path is refused, not read.
    const common::FileRead read = common::ReadRegularFile(file);
    if (read.state != common::FileRead::State::Read) {
        complain(err,
                 QStringLiteral("cannot read %1: %2")
                     .arg(name, read.state == common::FileRead::State::Missing ? QStringLiteral("no such file")
                                                                               : QString::fromStdString(read.error)));
        status = kFileError;
        return std::nullopt;
    }
    const std::wstring text = store::TextOfFile(read.bytes);
    if (salvage) {
        store::Salvage salvaged = store::SalvageTasks(text);
        if (!salvaged.Whole())
            complain(err, QStringLiteral("%1 does not parse as a whole (%2); its task elements were read one by one")
                              .arg(name, oneLine(QString::fromStdString(salvaged.damage))));
        return std::move(salvaged.tasks);
    }
    try {
        return store::ParseTasksBounded(text);
    } catch (const boost::property_tree::xml_parser_error& e) {
        complain(err, QStringLiteral("%1 does not parse: line %2: %3")
                          .arg(name)
                          .arg(e.line())
                          .arg(oneLine(QString::fromStdString(e.message()))));
    } catch (const std::exception& e) {
        complain(err, QStringLiteral("%1 does not parse: %2").arg(name, oneLine(QString::fromStdString(e.what()))));
    }
    status = kProblemsFound;
    return std::nullopt;
}

QString localTimeText(Instant t, const date::time_zone* zone)
{
    using namespace std::chrono;
    const auto second = floor<seconds>(date::sys_time<nanoseconds>(nanoseconds(t)));
    return QString::fromStdString(date::format("%Y-%m-%d %H:%M:%S", date::make_zoned(zone, second)));
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
    const auto parsed = load(store, err, status);
    if (!parsed)
        return status;
    for (const store::ParsedTask& p : *parsed)
        if (p.task)
            each(p, nextRun(p, now, zone, err));
    return kOk;
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
    const auto parsed = load(store, err, status);
    if (!parsed)
        return status;
    for (const store::ParsedTask& p : *parsed) {
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

    int status = kOk;
    const auto parsed = load(store, err, status, true);
    if (!parsed)
        return status;
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
