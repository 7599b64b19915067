#include "WizardTestSupport.h"

#include "wizard/SchemeLookup.h"
#include "wizard/TaskActionPage.h"
#include "wizard/TaskWizard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <sstream>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using Outcome = SchemeSelection::Outcome;
using Env = QList<QPair<QByteArray, QByteArray>>;
Q_DECLARE_METATYPE(Outcome)

namespace {

std::filesystem::path cliPath()
{
    const QString path = testsupport::binPath(QStringLiteral("KalvorCLI"));
    return std::filesystem::u8path(path.toStdString());
}

// Environment variables for the tool, set for the lifetime of the object.
class ToolEnvironment
{
public:
    ToolEnvironment(const Env& values)
        : values_(values)
    {
        for (const auto& [name, value] : values_)
            qputenv(name.constData(), value);
    }
    ~ToolEnvironment()
    {
        for (const auto& value : values_)
            qunsetenv(value.first.constData());
    }

private:
    Env values_;
};

// Our child processes that run the stand-in tool, from /proc.
QList<pid_t> toolChildren()
{
    QList<pid_t> pids;
    const QString self = QString::number(::getpid());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (text.contains("(KalvorCLI)") && fields.size() > 1 && fields[1] == self.toLatin1())
            pids << entry.toInt();
    }
    return pids;
}

bool processGone(pid_t pid)
{
    // A killed child that was not waited for would still answer as a zombie.
    return ::kill(pid, 0) == -1 && errno == ESRCH;
}

// AddressSanitizer keeps freed blocks in quarantine, so output that is read and dropped
// still raises the peak there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeakMemoryMeansHeld = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPeakMemoryMeansHeld = false;
#else
constexpr bool kPeakMemoryMeansHeld = true;
#endif
#else
constexpr bool kPeakMemoryMeansHeld = true;
#endif

long peakMemoryKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

class SchemeLookupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(std::filesystem::exists(cliPath()), "the stand-in tool is built beside the program");
    }

    void parseReply_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("unread");

        QTest::newRow("name before code, reading stops after the code")
            << QByteArray("NAME:Слои\nCODE:C1\nCODE:C2\n") << QByteArray("C1") << QByteArray("Слои")
            << QByteArray("CODE:C2\n");
        QTest::newRow("two codes then a name, CRLF")
            << QByteArray("CODE:first\r\nCODE:second\r\nNAME:n\r\nrest\r\n") << QByteArray("first") << QByteArray("n")
            << QByteArray("rest\r\n");
        QTest::newRow("only a code") << QByteArray("CODE:X\n") << QByteArray("X") << QByteArray() << QByteArray();
        QTest::newRow("lower-case prefix and leading space ignored")
            << QByteArray("code:a\n CODE:b\nName:c\n NAME:d\n") << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("empty code lets a later one count")
            << QByteArray("CODE:\nNAME:n\nCODE:late\n") << QByteArray("late") << QByteArray("n") << QByteArray();
        QTest::newRow("value keeps colons and spaces; a second CR spoils the line")
            << QByteArray("CODE:bad\r\r\nCODE: a:b \nNAME:x") << QByteArray(" a:b ") << QByteArray("x") << QByteArray();
        QTest::newRow("no output") << QByteArray() << QByteArray() << QByteArray() << QByteArray();
    }

    void parseReply()
    {
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, code);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, unread);
        std::istringstream stream(output.toStdString());
        const auto result = ParseSchemeReply(stream);
        QCOMPARE(QByteArray::fromStdString(result.first), code);
        QCOMPARE(QByteArray::fromStdString(result.second), name);
        const std::string rest(std::istreambuf_iterator<char>(stream), {});
        QCOMPARE(QByteArray::fromStdString(rest), unread);
    }

    void toolCommandLine_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QString>("name");
        QTest::newRow("DXF") << QStringLiteral("DXF") << QByteArray("DXF-GOST-21.101")
                             << QStringLiteral("ГОСТ 21.101: слои по разделам проекта");
        QTest::newRow("IFC") << QStringLiteral("IFC") << QByteArray("IFC-DEFAULT")
                             << QStringLiteral("Соответствие классов IFC по умолчанию");
        QTest::newRow("empty word") << QString() << QByteArray() << QString();
    }

    void toolCommandLine()
    {
        QFETCH(QString, word);
        QFETCH(QByteArray, code);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("record.jsonl"));
        const ToolEnvironment env(Env{{"KALVORCLI_RECORD", record.toUtf8()}});
        const auto result = SelectScheme(cliPath(), word.toStdString());
        QCOMPARE(result.outcome, Outcome::Replied);
        QCOMPARE(QByteArray::fromStdString(result.code), code);
        QCOMPARE(QString::fromStdString(result.name), name);

        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray args =
            QJsonDocument::fromJson(file.readLine()).object().value(QStringLiteral("args")).toArray();
        QCOMPARE(args.size(), 4);
        QCOMPARE(args.at(0).toString(), QStringLiteral("--action"));
        QCOMPARE(args.at(1).toString(), QStringLiteral("select"));
        QCOMPARE(args.at(2).toString(), QStringLiteral("--format"));
        QCOMPARE(args.at(3).toString(), word);
    }

    void toolReplies_data()
    {
        QTest::addColumn<QByteArray>("stdoutText");
        QTest::addColumn<QByteArray>("exitCode");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("name first, failing exit status not looked at")
            << QByteArray("NAME:имя\\nCODE:K\\n") << QByteArray("3") << QByteArray("K") << QByteArray("имя");
        QTest::newRow("CRLF and a second code") << QByteArray("CODE:A\\r\\nCODE:B\\r\\nNAME:N\\r\\n") << QByteArray("0")
                                                << QByteArray("A") << QByteArray("N");
        QTest::newRow("last line without a line feed")
            << QByteArray("CODE:c\\nNAME:n") << QByteArray("0") << QByteArray("c") << QByteArray("n");
        QTest::newRow("nothing recognised")
            << QByteArray("code:a\\n CODE:b\\n") << QByteArray("0") << QByteArray() << QByteArray();
    }

    void toolReplies()
    {
        QFETCH(QByteArray, stdoutText);
        QFETCH(QByteArray, exitCode);
        QFETCH(QByteArray, code);
        QFETCH(QByteArray, name);
        const ToolEnvironment env(Env{{"KALVORCLI_STDOUT", stdoutText},
                                      {"KALVORCLI_EXIT_CODE", exitCode},
                                      {"KALVORCLI_STDERR", QByteArray("noise on the error stream\\n")}});
        const auto result = SelectScheme(cliPath(), "DXF");
        QCOMPARE(QByteArray::fromStdString(result.code), code);
        QCOMPARE(QByteArray::fromStdString(result.name), name);
    }

    void toolThatKeepsWritingDoesNotBlock()
    {
        // Far more than a pipe holds: the tool would block on a full pipe if nobody read or closed it.
        const ToolEnvironment env(Env{{"KALVORCLI_TRAILING_STDOUT_BYTES", QByteArray("50000000")}});
        QElapsedTimer timer;
        timer.start();
        const auto result = SelectScheme(cliPath(), "DWG");
        QCOMPARE(QByteArray::fromStdString(result.code), QByteArray("DWG-GOST-21.101"));
        QVERIFY2(timer.elapsed() < 20000, "the wait ended");
    }

    void toolInAFolderWithACyrillicName()
    {
        QTemporaryDir dir;
        const QString copy = dir.filePath(QStringLiteral("Продукт/KalvorCLI"));
        QVERIFY(QDir().mkpath(QFileInfo(copy).absolutePath()));
        QVERIFY(QFile::copy(QString::fromStdString(cliPath().string()), copy));
        const auto result = SelectScheme(std::filesystem::u8path(copy.toStdString()), "PNR");
        QCOMPARE(QByteArray::fromStdString(result.code), QByteArray("PNR-TXF-SXF"));
    }

    void childInheritsInputAndEnvironmentAndLosesErrors()
    {
        // A tool that reports where its standard input and error lead, and a variable of ours.
        QTemporaryDir dir;
        const QString tool = dir.filePath(QStringLiteral("probe"));
        QFile script(tool);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\n"
                     "echo \"CODE:in=$(readlink /proc/self/fd/0)\"\n"
                     "echo \"NAME:err=$(readlink /proc/self/fd/2) var=$SCHEME_LOOKUP_PROBE\"\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        const ToolEnvironment env(Env{{"SCHEME_LOOKUP_PROBE", QByteArray("унаследовано")}});
        // Our standard input is a known file for the call, whatever the test runner gave us.
        const QString input = dir.filePath(QStringLiteral("input"));
        QVERIFY(QFile(input).open(QIODevice::WriteOnly));
        const int inputFd = ::open(QFile::encodeName(input).constData(), O_RDONLY);
        QVERIFY(inputFd >= 0);
        const int savedInput = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
        QCOMPARE(::dup2(inputFd, 0), 0);
        ::close(inputFd);
        const auto result = SelectScheme(std::filesystem::u8path(tool.toStdString()), "DXF");
        if (savedInput >= 0) {
            ::dup2(savedInput, 0);
            ::close(savedInput);
        } else {
            ::close(0);
        }

        QCOMPARE(QString::fromStdString(result.code), QString(QStringLiteral("in=") + input));
        QCOMPARE(QString::fromStdString(result.name), QStringLiteral("err=/dev/null var=унаследовано"));
    }

    void toolThatCannotStart_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::newRow("missing") << QStringLiteral("/nonexistent/KalvorCLI");
        QTest::newRow("not executable") << QStringLiteral("notexec");
        QTest::newRow("a folder") << QStringLiteral("folder");
    }

    void toolThatCannotStart()
    {
        QFETCH(QString, tool);
        QTemporaryDir dir;
        QFile notExecutable(dir.filePath(QStringLiteral("notexec")));
        QVERIFY(notExecutable.open(QIODevice::WriteOnly));
        notExecutable.write("#!/bin/sh\necho CODE:x\n");
        notExecutable.close();
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        const QString path = tool.startsWith(QLatin1Char('/')) ? tool : dir.filePath(tool);
        const auto result = SelectScheme(std::filesystem::u8path(path.toStdString()), "DXF");
        QCOMPARE(result.outcome, Outcome::FailedToStart);
        QVERIFY(result.code.empty() && result.name.empty());
        // The user learns which file was tried and where that path is set.
        QVERIFY2(result.failure.contains(path), qPrintable(result.failure));
        QVERIFY2(result.failure.contains(QStringLiteral("«Paths/Kalvor-III»")), qPrintable(result.failure));
        QVERIFY2(result.failure.contains(QStringLiteral("config.ini")), qPrintable(result.failure));
    }

    void pageReportsAToolThatCannotStart()
    {
        // Beside the test program there is no config.ini, so the page asks the default tool,
        // which this machine does not have.
        const QString tool = QStringLiteral("/opt/kalvorbim/bin/KalvorCLI");
        if (QFileInfo::exists(tool))
            QSKIP("the default tool exists here");
        wiztest::setApplicationNames();
        TaskInfo task;
        task.name = L"Экспорт";
        ExportAction action;
        action.scheme_code = L"OLD";
        action.scheme_name = L"Старая";
        task.action = action;
        TaskWizard wizard(task, wiztest::storageContext());
        wizard.show();
        while (wizard.currentId() != 2) {
            const int before = wizard.currentId();
            wizard.next();
            QVERIFY(wizard.currentId() != before);
        }
        auto* page = qobject_cast<TaskActionPage*>(wizard.currentPage());
        QVERIFY(page);

        QString seen;
        QTimer::singleShot(0, [&seen] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->text();
                box->done(QMessageBox::Ok);
            }
        });
        child<QPushButton>(page, "selectSchemeButton")->click();
        QVERIFY2(seen.contains(tool), qPrintable(seen));
        QVERIFY2(seen.contains(QStringLiteral("«Paths/Kalvor-III»")), qPrintable(seen));
        const auto& stored = std::get<ExportAction>(wizard.GetTaskInfo().action);
        QVERIFY(stored.scheme_code == L"OLD" && stored.scheme_name == L"Старая");
    }

    void longReplies_data()
    {
        QTest::addColumn<QByteArray>("schemes");
        QTest::addColumn<Env>("env");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QByteArray>("name");

        const QByteArray longText = QString(QStringLiteral("Щ")).repeated(100000).toUtf8();
        QTest::newRow("a 200,000-byte code line")
            << QByteArray("DXF\t" + longText + "\tСлои\n") << Env() << longText << QByteArray("Слои");
        QTest::newRow("a 200,000-byte name line")
            << QByteArray("DXF\tK1\t" + longText + "\n") << Env() << QByteArray("K1") << longText;
        // 1.5 MB without a line break lie between the early code and the tool's own lines.
        QTest::newRow("lines past the cap are not read")
            << QByteArray()
            << Env{{"KALVORCLI_STDOUT", "CODE:early\\n"}, {"KALVORCLI_STDOUT_UNBROKEN_BYTES", "1500000"}}
            << QByteArray("early") << QByteArray();
        QTest::newRow("100 MB without a line break")
            << QByteArray() << Env{{"KALVORCLI_STDOUT", "CODE:"}, {"KALVORCLI_STDOUT_UNBROKEN_BYTES", "100000000"}}
            << QByteArray() << QByteArray();
    }

    void longReplies()
    {
        QFETCH(QByteArray, schemes);
        QFETCH(Env, env);
        QFETCH(QByteArray, code);
        QFETCH(QByteArray, name);
        QTemporaryDir dir;
        Env all = env;
        if (!schemes.isEmpty()) {
            const QString file = dir.filePath(QStringLiteral("schemes.tsv"));
            QVERIFY(wiztest::makeFile(file, schemes));
            all.append({"KALVORCLI_SCHEMES_FILE", QFile::encodeName(file)});
        }
        const ToolEnvironment set(all);
        const long peakBefore = peakMemoryKiB();
        const auto result = SelectScheme(cliPath(), "DXF");
        QCOMPARE(result.outcome, Outcome::Replied);
        QCOMPARE(QByteArray::fromStdString(result.code), code);
        QCOMPARE(QByteArray::fromStdString(result.name), name);
        // What is read stays within the cap, whatever the tool writes.
        QVERIFY2(!kPeakMemoryMeansHeld || peakMemoryKiB() - peakBefore < 32 * 1024,
                 qPrintable(QStringLiteral("peak grew by %1 KiB").arg(peakMemoryKiB() - peakBefore)));
    }

    void lookupLimitFromConfig_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("minutes");
        QTest::newRow("no file") << QByteArray() << 10;
        QTest::newRow("set") << QByteArray("[Limits]\nSchemeLookupMinutes=30\n") << 30;
        QTest::newRow("zero") << QByteArray("[Limits]\nSchemeLookupMinutes=0\n") << 10;
        QTest::newRow("only the tool run's limit") << QByteArray("[Limits]\nToolTimeoutMinutes=30\n") << 10;
    }

    void lookupLimitFromConfig()
    {
        QFETCH(QByteArray, ini);
        QFETCH(int, minutes);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("config.ini"));
        QVERIFY(ini.isEmpty() || wiztest::makeFile(config, ini));
        QCOMPARE(SchemeLookupTimeoutFrom(std::filesystem::u8path(config.toStdString())).count(), minutes);
    }

    // Cancelling ends what the tool started too: a script's child does not live on.
    void cancelEndsWhatTheToolStarted()
    {
        QTemporaryDir dir;
        const QString tool = dir.filePath(QStringLiteral("lookup")), pidFile = dir.filePath(QStringLiteral("pid"));
        QVERIFY(
            wiztest::makeFile(tool, "#!/bin/sh\nsleep 3600 &\necho $! >'" + QFile::encodeName(pidFile) + "'\nwait\n"));
        QVERIFY(QFile::setPermissions(tool, QFile::permissions(tool) | QFileDevice::ExeOwner));
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* progress = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
            if (progress && QFileInfo(pidFile).size() > 0)
                progress->findChild<QPushButton*>()->click();
        });
        poll.start(20);
        QCOMPARE(SelectScheme(std::filesystem::u8path(tool.toStdString()), "DXF").outcome, Outcome::Cancelled);
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const pid_t helper = file.readAll().trimmed().toInt();
        // Gone, or a zombie that nobody here waits for.
        const auto ended = [helper] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(helper));
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        };
        const auto leaveNothing = qScopeGuard([&] {
            if (!ended())
                ::kill(helper, SIGKILL);
        });
        QTRY_VERIFY_WITH_TIMEOUT(ended(), 3000);
    }

    void toolThatDoesNotEnd_data()
    {
        QTest::addColumn<Env>("env");
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QByteArray>("code");

        const QByteArray hour = "3600000";
        QTest::newRow("silent, cancelled")
            << Env{{"KALVORCLI_DELAY_MS", hour}} << 60000 << true << Outcome::Cancelled << QByteArray();
        QTest::newRow("silent, time limit")
            << Env{{"KALVORCLI_DELAY_MS", hour}} << 300 << false << Outcome::TimedOut << QByteArray();
        QTest::newRow("half a reply, time limit") << Env{{"KALVORCLI_STDOUT", "CODE:half\\n"},
                                                         {"KALVORCLI_EXIT_CODE", "0"},
                                                         {"KALVORCLI_FINAL_DELAY_MS", hour}}
                                                  << 300 << false << Outcome::TimedOut << QByteArray();
        QTest::newRow("whole reply, then stays") << Env{{"KALVORCLI_FINAL_DELAY_MS", hour}} << 60000 << false
                                                 << Outcome::Replied << QByteArray("DXF-GOST-21.101");
    }

    void toolThatDoesNotEnd()
    {
        QFETCH(Env, env);
        QFETCH(int, limitMs);
        QFETCH(bool, cancel);
        QFETCH(Outcome, outcome);
        QFETCH(QByteArray, code);
        const ToolEnvironment set(env);

        // Runs once the lookup waits in its dialog: notes the tool's process and whether a modal
        // dialog keeps the window's fields from the user's clicks, and cancels if asked.
        QList<pid_t> children;
        bool modalProgress = false;
        bool busyCursor = false;
        QTimer::singleShot(0, [&] {
            children = toolChildren();
            auto* progress = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
            modalProgress = progress != nullptr;
            busyCursor = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::BusyCursor;
            if (cancel && progress)
                progress->findChild<QPushButton*>()->click();
        });
        QElapsedTimer timer;
        timer.start();
        SchemeLookupLimits limits;
        limits.timeLimit = std::chrono::milliseconds(limitMs);
        const auto result = SelectScheme(cliPath(), "DXF", nullptr, limits);
        const qint64 elapsed = timer.elapsed();

        QCOMPARE(result.outcome, outcome);
        QCOMPARE(QByteArray::fromStdString(result.code), code);
        QCOMPARE(result.failure.isEmpty(), outcome != Outcome::TimedOut);
        QVERIFY(modalProgress);
        QVERIFY(busyCursor);
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY2(elapsed < 15000, qPrintable(QString::number(elapsed)));
        QCOMPARE(children.size(), 1);
        QVERIFY2(processGone(children.front()), "the tool was ended and waited for");
    }
};

QTEST_MAIN(SchemeLookupTest)
#include "SchemeLookupTest.moc"
