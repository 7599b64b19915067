#include "wizard/SchemeLookup.h"

#include "common/Text.h"
#include "execution/CliPath.h"
#include "execution/ToolRun.h"

#include <QApplication>
#include <QCoreApplication>
#include <QProgressDialog>
#include <QSettings>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <istream>
#include <limits>
#include <mutex>
#include <string_view>
#include <thread>

namespace {

class SchemeLookupText
{
    Q_DECLARE_TR_FUNCTIONS(SchemeLookup)
};

// A tool that has answered gets this long to exit before it is killed.
constexpr std::chrono::milliseconds kExitGrace{2000};

struct ReplyParser
{
    std::string code;
    std::string name;

    bool Done() const { return !code.empty() && !name.empty(); }

    // Plain prefix checks: the reply may be any length, so nothing here may recurse per character.
    void Take(std::string_view line)
    {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (code.empty() && TakeValue(line, "CODE:", code))
            return;
        if (name.empty())
            TakeValue(line, "NAME:", name);
    }

private:
    // A value runs to the end of the line; a line with a carriage return left inside is no
    // reply line.
    static bool TakeValue(std::string_view line, std::string_view prefix, std::string& value)
    {
        if (line.substr(0, prefix.size()) != prefix)
            return false;
        line.remove_prefix(prefix.size());
        if (line.find('\r') != std::string_view::npos)
            return false;
        value.assign(line);
        return true;
    }
};

// Splits output that arrives in chunks into lines, in one pass, and stops at the cap: the
// part of a line that the cap cuts off is not a line.
class ReplyReader
{
public:
    explicit ReplyReader(qint64 cap)
        : left_(std::max<qint64>(cap, 0))
    {}

    // False once no more output is wanted: the reply is complete or the cap is reached.
    bool Feed(const char* data, qint64 size)
    {
        if (stopped_)
            return false;
        size = std::min(size, left_);
        left_ -= size;
        const char* const end = data + size;
        while (data < end) {
            const auto* lineFeed =
                static_cast<const char*>(std::memchr(data, '\n', static_cast<std::size_t>(end - data)));
            if (lineFeed == nullptr) {
                pending_.append(data, end);
                break;
            }
            pending_.append(data, lineFeed);
            parser.Take(pending_);
            pending_.clear();
            if (parser.Done()) {
                stopped_ = true;
                return false;
            }
            data = lineFeed + 1;
        }
        if (left_ == 0) {
            stopped_ = true;
            pending_.clear();
            pending_.shrink_to_fit();
        }
        return !stopped_;
    }

    // The output ended: a last line without a line feed still counts.
    void Finish()
    {
        if (!stopped_ && !pending_.empty())
            parser.Take(pending_);
        stopped_ = true;
    }

    ReplyParser parser;

private:
    std::string pending_;
    qint64 left_;
    bool stopped_ = false;
};

class BusyCursor
{
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::BusyCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QString StartFailureText(const QString& program, const QString& reason)
{
    return SchemeLookupText::tr("Не удалось запустить программу %1:\n%2\n\nКаталог программы задаёт ключ "
                                "«Paths/Kalvor-III» в файле %3.")
        .arg(program, reason, common::toQString(CliConfigPath()));
}

QString TimeoutText(const QString& program, std::chrono::milliseconds limit)
{
    return SchemeLookupText::tr("Программа %1 не ответила за %2 с и остановлена.")
        .arg(program, QString::number(static_cast<double>(limit.count()) / 1000.0));
}

} // namespace

std::pair<std::string, std::string> ParseSchemeReply(std::istream& output)
{
    ReplyParser parser;
    std::string line;
    while (!parser.Done() && std::getline(output, line))
        parser.Take(line);
    return {parser.code, parser.name};
}

SchemeSelection SelectScheme(const std::filesystem::path& tool, const std::string& formatWord, QWidget* parent,
                             const SchemeLookupLimits& limits)
{
    using Outcome = SchemeSelection::Outcome;
    const QString program = common::toQString(tool);
    SchemeSelection result;

    // The tool runs on a thread of its own, through the launcher that tool runs use; this
    // thread keeps the dialog going. The reader is the other thread's until it is joined.
    ReplyReader reader(limits.replyCap);
    bool answered = false;
    execution::ToolReply reply;
    reply.exitGrace = kExitGrace;
    reply.take = [&reader, &answered](const char* data, std::size_t size) {
        answered = !reader.Feed(data, static_cast<qint64>(size));
        return !answered;
    };
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false; // guarded by mutex
    bool ended = false;   // guarded by mutex
    reply.started = [&] {
        const std::lock_guard<std::mutex> lock(mutex);
        started = true;
        changed.notify_all();
    };
    execution::ToolLimits toolLimits;
    toolLimits.timeout = limits.timeLimit;
    toolLimits.killGrace = std::chrono::milliseconds(0); // a lookup past its limit is killed at once
    execution::ToolStop stop;
    execution::ToolResult run;
    QProgressDialog dialog(parent);
    QObject endNotice; // receives the other thread's word that the run has ended
    // The empty word is still passed: the tool sees four arguments whatever the format.
    std::thread runner([&] {
        try {
            run = execution::RunTool({tool.string(), "--action", "select", "--format", formatWord}, toolLimits, &stop,
                                     reply);
        } catch (const std::exception& e) {
            run.launchError = QString::fromLocal8Bit(e.what());
        }
        const std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        changed.notify_all();
        QMetaObject::invokeMethod(
            &endNotice, [&dialog] { dialog.done(QDialog::Accepted); }, Qt::QueuedConnection);
    });
    bool launched = false;
    {
        // Starting is a fork and an exec; waiting for it here lets a failure be told before
        // any dialog shows.
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return started || ended; });
        launched = started;
    }

    if (!launched) {
        runner.join();
    } else {
        const BusyCursor busy;
        dialog.setWindowTitle(SchemeLookupText::tr("Выбор схемы"));
        dialog.setLabelText(SchemeLookupText::tr("Ожидание ответа программы %1…").arg(program));
        dialog.setCancelButtonText(SchemeLookupText::tr("Отмена"));
        dialog.setRange(0, 0);
        dialog.setAutoClose(false);
        dialog.setAutoReset(false);
        dialog.setMinimumDuration(0);
        // Returns when the run has ended (the tool exited, was killed after a complete reply
        // or at the time limit) or the user has cancelled (or closed) the dialog. A cancel
        // after the reply was read only stops the wait for the tool's exit.
        dialog.exec();
        stop.Request();
        runner.join();
    }

    if (!run.started) {
        result.outcome = Outcome::FailedToStart;
        result.failure = StartFailureText(program, run.launchError);
    } else if (run.timedOut) {
        result.outcome = Outcome::TimedOut;
        result.failure = TimeoutText(program, limits.timeLimit);
    } else if (run.stopped && !answered) {
        result.outcome = Outcome::Cancelled;
    } else {
        reader.Finish();
        result.code = std::move(reader.parser.code);
        result.name = std::move(reader.parser.name);
    }
    return result;
}

SchemeSelection SelectScheme(const std::string& formatWord, QWidget* parent)
{
    SchemeLookupLimits limits;
    limits.timeLimit = SchemeLookupTimeout();
    return SelectScheme(CliExecutablePath(), formatWord, parent, limits);
}

std::chrono::minutes SchemeLookupTimeoutFrom(const std::filesystem::path& configIni)
{
    constexpr std::chrono::minutes fallback{10};
    // The lookup's timers count milliseconds in an int.
    constexpr qlonglong longest = std::numeric_limits<int>::max() / 60'000;
    QSettings settings(common::toQString(configIni), QSettings::IniFormat);
    bool ok = false;
    const qlonglong minutes = settings.value(QStringLiteral("Limits/SchemeLookupMinutes")).toLongLong(&ok);
    if (!ok || minutes < 1 || minutes > longest)
        return fallback;
    return std::chrono::minutes(minutes);
}

std::chrono::minutes SchemeLookupTimeout()
{
    return SchemeLookupTimeoutFrom(CliConfigPath());
}
