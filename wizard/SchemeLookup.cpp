#include "wizard/SchemeLookup.h"

#include "common/Text.h"
#include "execution/CliPath.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProgressDialog>
#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <istream>
#include <limits>
#include <optional>
#include <string_view>

#include <signal.h>
#include <unistd.h>

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
        if (code.empty() && takeValue(line, "CODE:", code))
            return;
        if (name.empty())
            takeValue(line, "NAME:", name);
    }

private:
    // A value runs to the end of the line; a line with a carriage return left inside is no
    // reply line.
    static bool takeValue(std::string_view line, std::string_view prefix, std::string& value)
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

// The tool leads a process group of its own, so that ending the lookup ends whatever the
// tool started too.
class GroupLeaderProcess : public QProcess
{
public:
    // Ends the tool's group; should the group be missing, the tool alone. Only while the
    // tool has not been waited for: until then its group cannot vanish or be reused.
    void KillGroup()
    {
        if (state() == QProcess::NotRunning)
            return;
        const auto pid = static_cast<pid_t>(processId());
        if (pid <= 0 || ::kill(-pid, SIGKILL) != 0)
            kill();
    }

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

class BusyCursor
{
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::BusyCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QString startFailureText(const QString& program, const QString& reason)
{
    return SchemeLookupText::tr("Не удалось запустить программу %1:\n%2\n\nКаталог программы задаёт ключ "
                                "«Paths/Kalvor-III» в файле %3.")
        .arg(program, reason, QString::fromStdString(CliConfigPath().string()));
}

QString timeoutText(const QString& program, std::chrono::milliseconds limit)
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
    const QString program = QString::fromStdString(tool.string());
    SchemeSelection result;

    // The empty word is still passed: the tool sees four arguments whatever the format.
    GroupLeaderProcess process;
    process.setProgram(program);
    process.setArguments({QStringLiteral("--action"), QStringLiteral("select"), QStringLiteral("--format"),
                          QString::fromStdString(formatWord)});
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(QIODevice::ReadOnly);
    // Starting is a fork and an exec; waiting for it here lets a failure be told before any
    // dialog shows.
    if (!process.waitForStarted(static_cast<int>(limits.timeLimit.count()))) {
        result.outcome = Outcome::FailedToStart;
        result.failure = startFailureText(program, process.errorString());
        return result;
    }

    const BusyCursor busy;
    QProgressDialog dialog(parent);
    dialog.setWindowTitle(SchemeLookupText::tr("Выбор схемы"));
    dialog.setLabelText(SchemeLookupText::tr("Ожидание ответа программы %1…").arg(program));
    dialog.setCancelButtonText(SchemeLookupText::tr("Отмена"));
    dialog.setRange(0, 0);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setMinimumDuration(0);

    ReplyReader reader(limits.replyCap);
    bool readingDone = false;
    bool timedOut = false;
    QTimer grace;
    grace.setSingleShot(true);
    QObject::connect(&grace, &QTimer::timeout, &dialog, [&dialog] { dialog.done(QDialog::Accepted); });

    const auto finishReading = [&] {
        readingDone = true;
        // What the tool writes from now on is drained and dropped, so it never blocks on a full pipe.
        process.closeReadChannel(QProcess::StandardOutput);
        const auto remaining = limits.timeLimit - std::chrono::milliseconds(clock.elapsed());
        grace.start(static_cast<int>(std::max<qint64>(0, std::min(kExitGrace, remaining).count())));
    };
    const auto readAvailable = [&] {
        char chunk[64 * 1024];
        while (!readingDone) {
            const qint64 size = process.read(chunk, sizeof chunk);
            if (size <= 0)
                break;
            if (!reader.Feed(chunk, size))
                finishReading();
        }
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &dialog, readAvailable);
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &dialog, [&] {
        readAvailable();
        if (!readingDone) {
            reader.Finish();
            readingDone = true;
        }
        dialog.done(QDialog::Accepted);
    });

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &dialog, [&] {
        timedOut = !readingDone;
        dialog.done(QDialog::Rejected);
    });
    deadline.start(static_cast<int>(std::max<qint64>(0, limits.timeLimit.count() - clock.elapsed())));

    // Returns when the tool has exited, the grace after a complete reply has passed, the time
    // limit is reached, or the user has cancelled (or closed) the dialog.
    // A cancel after the reply was read only stops the wait for the tool's exit.
    dialog.exec();

    if (timedOut) {
        result.outcome = Outcome::TimedOut;
        result.failure = timeoutText(program, limits.timeLimit);
    } else if (!readingDone) {
        result.outcome = Outcome::Cancelled;
    } else {
        result.code = std::move(reader.parser.code);
        result.name = std::move(reader.parser.name);
    }
    QObject::disconnect(&process, nullptr, &dialog, nullptr);
    if (process.state() != QProcess::NotRunning) {
        process.KillGroup();
        process.waitForFinished(5000);
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
