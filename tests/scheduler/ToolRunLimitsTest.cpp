// Runs of outside programs through the service, against the stand-in tool and real
// processes: no run may hold the worker or the program's exit for long, and no failed
// start may go unlogged or leave a child behind.

#include "repository/Connections.h"
#include "scheduler/TaskStorage.h"
#include "support/Connections.h"
#include "support/Files.h"
#include "support/Service.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace std::chrono_literals;

using namespace testsupport;

namespace {

// Ended children of this process not yet collected (with `ended` false: all its children);
// with `name`, only those of that name (an earlier case's service leaves its commands running,
// and they end when they end).
int zombieChildren(const QString& name = {}, bool ended = true)
{
    int count = 0;
    const QString self = QString::number(::getpid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile f(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold anything, so look after its end.
        const QString stat = QString::fromLatin1(f.readAll());
        const QStringList fields = stat.mid(stat.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
        const QString comm = stat.mid(stat.indexOf(QLatin1Char('(')) + 1);
        if (fields.size() > 1 && fields[1] == self && (!ended || fields[0] == QLatin1String("Z")) &&
            (name.isEmpty() || comm.startsWith(name + QLatin1Char(')'))))
            ++count;
    }
    return count;
}

// Gone, or ended and waiting for whoever took it over to collect it.
bool processGone(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return true;
    const QByteArray stat = f.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// Destroys the service, failing the whole run at once if that hangs; returns how long it took.
qint64 destroyWithin(std::unique_ptr<TaskStorage>& service, int ms)
{
    std::atomic<bool> done{false};
    QElapsedTimer clock;
    clock.start();
    std::thread watchdog([&done, ms] {
        for (int waited = 0; !done.load(); waited += 10) {
            if (waited > ms)
                qFatal("destroying the service took more than %d ms", ms);
            std::this_thread::sleep_for(10ms);
        }
    });
    service.reset();
    done = true;
    watchdog.join();
    return clock.elapsed();
}

} // namespace

class ToolRunLimitsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    vadro_cm::Connection connection;

    TaskInfo task(const QString& name)
    {
        TaskInfo t;
        t.name = name.toStdWString();
        t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
        return t;
    }

    // A check of one readable file against the IDS file: the stand-in succeeds unless told otherwise.
    TaskInfo checkTask(const QString& name)
    {
        TaskInfo t = task(name);
        CheckAction c;
        c.ifc_file = QString(dir.path() + QStringLiteral("/model.ifc")).toStdWString();
        c.ids_file = QString(dir.path() + QStringLiteral("/rules.ids")).toStdWString();
        c.only_changed_documents = false;
        t.action = c;
        return t;
    }

    QString recordFile() const { return dir.path() + QStringLiteral("/calls.jsonl"); }

    // The pid of the stand-in run that wrote the n-th record (0-based), once it has.
    qint64 recordedPid(int n)
    {
        QFile f(recordFile());
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        const QList<QByteArray> lines = f.readAll().split('\n');
        if (lines.size() <= n + 1) // the last piece follows the final line feed
            return 0;
        return QJsonDocument::fromJson(lines[n]).object()[QStringLiteral("pid")].toVariant().toLongLong();
    }
    // The helper a stand-in run left behind, once it has written its record.
    qint64 helperPid()
    {
        QFile f(recordFile());
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (const qint64 pid =
                    QJsonDocument::fromJson(line).object()[QStringLiteral("helper")].toVariant().toLongLong())
                return pid;
        return 0;
    }
    int records()
    {
        QFile f(recordFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QFile::exists(binDir() + QStringLiteral("/KalvorCLI")));
        for (const char* name : {"model.ifc", "rules.ids"}) {
            QFile f(dir.filePath(QString::fromLatin1(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const QString repo = dir.path() + QStringLiteral("/repo");
        QDir().mkpath(repo + QStringLiteral("/Проекты"));
        QFile project(repo + QStringLiteral("/Проекты/A"));
        QVERIFY(project.open(QIODevice::WriteOnly));
        project.write("alpha");
        project.close();
        connection = folderConnection(QStringLiteral("Демо"), repo);
        saveConnections({connection});
        qputenv("KALVORCLI_RECORD", QFile::encodeName(recordFile()));
    }

    void init() { QFile::remove(recordFile()); }

    // A tool that does not end is ended at its limit and logged as failed; a helper it left
    // holding standard error is not waited for. Either way the next task runs.
    void runIsBoundedAndNextTaskRuns_data()
    {
        QTest::addColumn<QByteArray>("hang");
        QTest::addColumn<QByteArray>("helperMs");
        QTest::addColumn<int>("killGraceMs");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::addColumn<bool>("helperEnds");
        const QString failed = QStringLiteral("Задание не выполнено:");
        const QString limit = QStringLiteral("Программа не завершилась за отведённое время (0.0167 мин.) и была "
                                             "остановлена.");
        QTest::newRow("ends on SIGTERM at the limit")
            << QByteArray("wait") << QByteArray() << 20000 << QStringList{failed, limit, QStringLiteral("последняя")}
            << 1000 << 4000 << false;
        // The whole process group goes at the limit.
        QTest::newRow("hangs with a helper")
            << QByteArray("wait") << QByteArray("30000") << 20000
            << QStringList{failed, limit, QStringLiteral("последняя")} << 1000 << 4000 << true;
        QTest::newRow("ignores SIGTERM, killed after the grace")
            << QByteArray("ignore-term") << QByteArray() << 1500
            << QStringList{failed, limit, QStringLiteral("последняя")} << 2500 << 5500 << false;
        QTest::newRow("helper holds standard error")
            << QByteArray() << QByteArray("30000") << 20000 << QStringList{failed, QStringLiteral("последняя")} << 800
            << 4000 << false;
    }
    void runIsBoundedAndNextTaskRuns()
    {
        QFETCH(QByteArray, hang);
        QFETCH(QByteArray, helperMs);
        QFETCH(int, killGraceMs);
        QFETCH(QStringList, expected);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        QFETCH(bool, helperEnds);
        auto s = serviceIn(dir.path());
        s->SetToolLimits({1000ms, std::chrono::milliseconds(killGraceMs), 1000ms});
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const TaskInfo* stuck = s->AddTask(checkTask(QStringLiteral("stuck ") + tag));
        const TaskInfo* next = s->AddTask(checkTask(QStringLiteral("next ") + tag));

        QElapsedTimer clock;
        clock.start();
        {
            ScopedEnvironment env;
            env.set("KALVORCLI_STDERR", "последняя");
            env.set("KALVORCLI_EXIT_CODE", "1");
            if (!hang.isEmpty())
                env.set("KALVORCLI_HANG", hang);
            if (!helperMs.isEmpty())
                env.set("KALVORCLI_HELPER_MS", helperMs);
            s->RunNow(stuck);
            QTRY_VERIFY_WITH_TIMEOUT(recordedPid(0) != 0, 5000);
        }
        s->RunNow(next);
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, stuck).size(), expected.size(), maxMs + 2000);
        const qint64 took = clock.elapsed();
        QCOMPARE(logMessages(*s, stuck), expected);
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
        QVERIFY(processGone(recordedPid(0)));
        if (helperEnds) {
            QVERIFY(helperPid() != 0);
            QTRY_VERIFY_WITH_TIMEOUT(processGone(helperPid()), 1000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, next), QStringList{QStringLiteral("Задание успешно выполнено.")},
                                  5000);
    }

    // A failed run's standard error goes into the log from its start, at most 200 lines or
    // 64 KiB, whole lines and whole characters; one line then says how much was left out.
    void errorOutputIsCapped_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<QString>("omitted");
        const auto times = [](const QString& line, int count) {
            return QStringList(QVector<QString>(count, line).toList());
        };
        const QString zh(250, QChar(0x0436)); // 500 bytes
        QTest::newRow("200 lines") << QByteArray("e\\n").repeated(200) << times(QStringLiteral("e"), 200) << QString();
        QTest::newRow("201 lines") << QByteArray("e\\n").repeated(201) << times(QStringLiteral("e"), 200)
                                   << QStringLiteral("… пропущено строк: 1 (байт: 2)");
        QTest::newRow("many lines") << QByteArray("e\\n").repeated(40000) << times(QStringLiteral("e"), 200)
                                    << QStringLiteral("… пропущено строк: 39800 (байт: 79600)");
        // 130 lines of 501 bytes fit; the 131st would end past the limit.
        QTest::newRow("long lines") << QByteArray(zh.toUtf8() + "\\n").repeated(150) << times(zh, 130)
                                    << QStringLiteral("… пропущено строк: 20 (байт: 10020)");
        // The cut falls inside a two-byte character, which goes with the rest.
        QTest::newRow("one line past the limit")
            << QByteArray("a" + QString(35000, QChar(0x0436)).toUtf8() + "\\ntail\\n")
            << QStringList{QLatin1Char('a') + QString(32767, QChar(0x0436))}
            << QStringLiteral("… пропущено строк: 1 (байт: 4472)");
    }
    void errorOutputIsCapped()
    {
        QFETCH(QByteArray, output);
        QFETCH(QStringList, kept);
        QFETCH(QString, omitted);
        auto s = serviceIn(dir.path());
        const TaskInfo* t =
            s->AddTask(checkTask(QStringLiteral("noisy ") + QString::fromLatin1(QTest::currentDataTag())));
        {
            const ScopedEnvironment env{{"KALVORCLI_STDERR", output}, {"KALVORCLI_EXIT_CODE", "1"}};
            s->RunNow(t);
            QTRY_VERIFY_WITH_TIMEOUT(recordedPid(0) != 0, 5000);
        }
        QStringList expected = QStringList{QStringLiteral("Задание не выполнено:")} + kept;
        if (!omitted.isEmpty())
            expected << omitted;
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, t).size(), expected.size(), 5000);
        QCOMPARE(logMessages(*s, t), expected);
    }

    // Quitting ends a running tool within a few seconds, whatever it does.
    void quitEndsARunningTool_data()
    {
        QTest::addColumn<QByteArray>("hang");
        QTest::addColumn<QByteArray>("helperMs");
        QTest::newRow("waits") << QByteArray("wait") << QByteArray();
        QTest::newRow("ignores SIGTERM") << QByteArray("ignore-term") << QByteArray();
        QTest::newRow("helper holds standard error") << QByteArray() << QByteArray("30000");
    }
    void quitEndsARunningTool()
    {
        QFETCH(QByteArray, hang);
        QFETCH(QByteArray, helperMs);
        auto s = serviceIn(dir.path());
        // Limits far beyond the test: only the quit may end the run.
        s->SetToolLimits({1h, 1h, 1h});
        const TaskInfo* t =
            s->AddTask(checkTask(QStringLiteral("quit ") + QString::fromLatin1(QTest::currentDataTag())));
        {
            ScopedEnvironment env;
            env.set("KALVORCLI_EXIT_CODE", "0");
            if (!hang.isEmpty())
                env.set("KALVORCLI_HANG", hang);
            if (!helperMs.isEmpty())
                env.set("KALVORCLI_HELPER_MS", helperMs);
            s->RunNow(t);
            QTRY_VERIFY_WITH_TIMEOUT(recordedPid(0) != 0, 5000);
        }
        QTest::qWait(300); // the worker is inside the run now
        const qint64 took = destroyWithin(s, 5000);
        QVERIFY2(took < 3000, qPrintable(QString::number(took)));
        QVERIFY(processGone(recordedPid(0)));
    }

    // A command that cannot start says so in its log, is not run anywhere else and leaves
    // no child behind.
    void commandThatCannotStart_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("workingDirectory");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing program") << QStringLiteral("/nonexistent/program") << QStringLiteral("/")
                                         << QStringLiteral("No such file or directory");
        QTest::newRow("not executable") << QStringLiteral("%1/model.ifc") << QString()
                                        << QStringLiteral("Permission denied");
        QTest::newRow("missing working directory") << QStringLiteral("/bin/touch") << QStringLiteral("%1/gone")
                                                   << QStringLiteral("Не найдена рабочая папка %1/gone");
    }
    void commandThatCannotStart()
    {
        QFETCH(QString, program);
        QFETCH(QString, workingDirectory);
        QFETCH(QString, reason);
        auto s = serviceIn(dir.path());
        TaskInfo t = task(QStringLiteral("command ") + QString::fromLatin1(QTest::currentDataTag()));
        // The marker is relative: touched in the wrong folder it would appear there.
        t.action = CommandAction{fsPath(program.replace(QStringLiteral("%1"), dir.path())),
                                 fsPath(workingDirectory.replace(QStringLiteral("%1"), dir.path())), L"started-marker"};
        const TaskInfo* stored = s->AddTask(t);
        s->RunNow(stored);
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, stored).size(), 2, 5000);
        reason.replace(QStringLiteral("%1"), dir.path());
        QCOMPARE(logMessages(*s, stored), (QStringList{QStringLiteral("Задание не выполнено:"), reason}));
        QCOMPARE(zombieChildren(), 0);
        QVERIFY(!QFile::exists(QDir::current().filePath(QStringLiteral("started-marker"))));
    }

    // Commands that have ended are collected while a tool keeps the worker busy.
    void endedCommandsAreCollectedWhileAToolRuns()
    {
        auto s = serviceIn(dir.path());
        s->SetToolLimits({20s, 1s, 1s});
        const QString marker = dir.path() + QStringLiteral("/collected");
        TaskInfo command = task(QStringLiteral("touch"));
        command.action = CommandAction{"/bin/touch", {}, marker.toStdWString()};
        const TaskInfo* c = s->AddTask(command);
        const TaskInfo* tool = s->AddTask(checkTask(QStringLiteral("busy")));
        ScopedEnvironment env;
        env.set("KALVORCLI_HANG", "wait");
        for (int i = 0; i < 5; ++i)
            s->RunNow(c);
        s->RunNow(tool);
        QTRY_VERIFY_WITH_TIMEOUT(recordedPid(0) != 0, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(), 0, 2000);
        // The command's end is kept without waiting for the worker.
        QTRY_COMPARE_WITH_TIMEOUT(s->Copy(c).last_run.outcome, RunOutcome::Succeeded, 2000);
        QVERIFY2(logMessages(*s, tool).isEmpty(), "the tool must still be running");
        QVERIFY(logMessages(*s, c).isEmpty());
    }

    // With descriptors running short a start fails or succeeds, but it never hangs, and the
    // worker goes on once they are back.
    void startWithFewDescriptors_data()
    {
        QTest::addColumn<int>("free");
        // Writing the log line takes one.
        for (int free = 1; free <= 7; ++free)
            QTest::newRow(qPrintable(QStringLiteral("%1 free").arg(free))) << free;
    }
    void startWithFewDescriptors()
    {
        QFETCH(int, free);
        auto s = serviceIn(dir.path());
        s->SetToolLimits({20s, 1s, 1s});
        const TaskInfo* t = s->AddTask(checkTask(QStringLiteral("descriptors %1").arg(free)));
        // The log is read through a descriptor opened beforehand.
        QFile log(QString::fromStdString(s->LogFilePath(t).string()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const auto outcome = [&log] {
            log.seek(0);
            return logMessages(log.readAll());
        };

        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        // The lowest limit under which exactly `free` descriptor numbers are unused.
        rlim_t limit = 0;
        for (int unused = 0; unused < free || ::fcntl(static_cast<int>(limit), F_GETFD) != -1; ++limit)
            if (::fcntl(static_cast<int>(limit), F_GETFD) == -1)
                ++unused;
        rlimit low = saved;
        low.rlim_cur = limit;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
        s->RunNow(t);
        QElapsedTimer clock;
        clock.start();
        // A failure is two lines written one after the other: wait for the reason too.
        const auto ended = [&outcome] {
            const QStringList lines = outcome();
            return lines == QStringList{QStringLiteral("Задание успешно выполнено.")} || lines.size() >= 2;
        };
        while (!ended() && clock.elapsed() < 10000)
            QTest::qWait(20);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
        const QStringList first = outcome();
        QVERIFY2(!first.isEmpty(), "the run never ended");
        QVERIFY2(first == QStringList{QStringLiteral("Задание успешно выполнено.")} ||
                     (first.size() == 2 && first[0] == QStringLiteral("Задание не выполнено:") &&
                      first[1] == QStringLiteral("Too many open files")),
                 qPrintable(first.join(QLatin1Char('|'))));
        QCOMPARE(zombieChildren(), 0);
        s->RunNow(t);
        QTRY_COMPARE_WITH_TIMEOUT(outcome().size(), first.size() + 1, 5000);
        QCOMPARE(outcome().last(), QStringLiteral("Задание успешно выполнено."));
    }

    // Commands left running never take the descriptors that a tool run and its log need.
    void runningCommandsLeaveDescriptors()
    {
        auto s = serviceIn(dir.path());
        s->SetToolLimits({20s, 1s, 1s});
        const TaskInfo* t = s->AddTask(checkTask(QStringLiteral("among commands")));
        const QString gate = dir.path() + QStringLiteral("/commands-gate");
        const QString script = dir.path() + QStringLiteral("/waits.sh");
        // Ends at the gate, or when the test's folder is gone.
        writeScript(script, "while [ ! -e \"$1\" ] && [ -d \"${1%/*}\" ]; do sleep 0.05; done\n");
        TaskInfo command = task(QStringLiteral("waits"));
        command.action = CommandAction{fsPath(script), {}, gate.toStdWString()};
        const TaskInfo* c = s->AddTask(command);
        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        // The lowest limit under which 40 descriptor numbers are unused.
        rlim_t limit = 0;
        for (int unused = 0; unused < 40 || ::fcntl(static_cast<int>(limit), F_GETFD) != -1; ++limit)
            if (::fcntl(static_cast<int>(limit), F_GETFD) == -1)
                ++unused;
        rlimit low = saved;
        low.rlim_cur = limit;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
        for (int i = 0; i < 40; ++i)
            s->RunNow(c);
        QTest::qWait(1000); // the reaper watches them all by now
        s->RunNow(t);
        QElapsedTimer clock;
        clock.start();
        while (logMessages(*s, t).isEmpty() && clock.elapsed() < 10000)
            QTest::qWait(50);
        const QStringList lines = logMessages(*s, t);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
        writeFile(gate, {});
        QCOMPARE(lines, QStringList{QStringLiteral("Задание успешно выполнено.")});
        // Forty scripts end at the gate; a loaded machine under the sanitizers takes a while,
        // measured on the clock rather than in counted waits.
        QElapsedTimer waited;
        waited.start();
        // A script is a zombie for a moment between its end and its collection: wait until every
        // one of them has ended and been collected.
        while (zombieChildren(QStringLiteral("waits.sh"), false) != 0 && waited.elapsed() < 30000)
            QTest::qWait(100);
        QCOMPARE(zombieChildren(QStringLiteral("waits.sh"), false), 0);
    }

    // An export without an output folder still runs the tool, which reports it.
    void exportWithoutOutputFolderReachesTheTool()
    {
        auto s = serviceIn(dir.path());
        TaskInfo t = task(QStringLiteral("export without folder"));
        ExportAction e;
        e.connection_id = connection.id;
        e.project_path = L"vadro://Демо/Проекты/A";
        e.scheme_code = L"S1";
        t.action = e;
        const TaskInfo* stored = s->AddTask(t);
        s->RunNow(stored);
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, stored).size(), 2, 5000);
        QCOMPARE(logMessages(*s, stored), (QStringList{QStringLiteral("Задание не выполнено:"),
                                                       QStringLiteral("Не задана папка для экспорта (--output-dir)")}));
        QCOMPARE(records(), 1);
    }
};

QTEST_GUILESS_MAIN(ToolRunLimitsTest)
#include "ToolRunLimitsTest.moc"
