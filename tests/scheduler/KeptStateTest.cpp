// What the service keeps of each task's runs, through real runs of the stand-in product
// tool, real store files and real child processes: the last run survives a kill -9 in the
// middle of a run, a run kept as going is taken as interrupted at the next start, a
// command is kept as going until it ends, and a run that fell due while the program was
// not running is made up once, only on request.

// First: Asio's headers must come before the `schedule` namespace of NextRun.h.
#include "scheduler/TaskStorage.h"

#include "model/TaskStoreFile.h"
#include "scheduler/LocalZone.h"
#include "scheduler/NextRun.h"
#include "support/Files.h"
#include "support/Service.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <iostream>
#include <thread>

namespace {

constexpr Instant kHour = 3600 * kNanosPerSecond;

using testsupport::fsPath;
using testsupport::readFile;
using testsupport::writeFile;

QString toolPath()
{
    return testsupport::binPath(QStringLiteral("KalvorCLI"));
}

// A check of one file, so a run starts the stand-in tool and waits for it.
TaskInfo checkTask(const QString& dir, const std::wstring& name)
{
    writeFile(dir + QStringLiteral("/model.ifc"), "ifc");
    writeFile(dir + QStringLiteral("/rules.ids"), "ids");
    TaskInfo t;
    t.name = name;
    t.starting_point = CurrentInstant() + 24 * kHour;
    CheckAction c;
    c.ifc_file = QString(dir + QStringLiteral("/model.ifc")).toStdWString();
    c.ids_file = QString(dir + QStringLiteral("/rules.ids")).toStdWString();
    c.only_changed_documents = false;
    t.action = c;
    return t;
}

// The first task of a store file as the next start reads it.
TaskInfo storedTask(const QString& store)
{
    const auto text = store::ReadFile(fsPath(store));
    if (!text)
        throw std::runtime_error("no store file");
    auto parsed = store::ParseTasks(*text);
    if (parsed.empty() || !parsed.front().task)
        throw std::runtime_error("no task in the store file");
    return *parsed.front().task;
}

// A store of one daily task that runs /bin/true, due first at `start`.
void writeStore(const QString& store, Instant start, bool runMissed, std::optional<Instant> awaited)
{
    TaskInfo t;
    t.name = L"пропущенная";
    t.starting_point = start;
    t.action = CommandAction{"/bin/true", {}, {}};
    t.run_missed = runMissed;
    std::wstring document = store::WriteTasks({&t});
    // Written by hand, so the store may say what the writer leaves out (an awaited run
    // without the flag).
    if (awaited) {
        const std::wstring element = L"<awaited_run>" + std::to_wstring(*awaited) + L"</awaited_run>";
        document.insert(document.find(L"</task>"), element);
    }
    QVERIFY(store::WriteFile(fsPath(store), document));
}

int countStarts(const QString& log)
{
    return QString::fromUtf8(readFile(log)).count(QStringLiteral("Начало выполнения задания."));
}

// The child that is killed: it loads the store, starts a run of its first task and waits.
int runChild(const char* dir)
{
    const std::filesystem::path root(dir);
    TaskStorage service(root / "storage.xml", root / "logs", vadro::CreateCore());
    service.SetToolPath(fsPath(toolPath()));
    service.RunNow(service.Tasks().front().get());
    std::this_thread::sleep_for(std::chrono::minutes(5));
    return 0;
}

// The child whose clock libfaketime sets: it loads the store and waits.
int missedChild(const char* dir, const char* delayMs)
{
    const std::filesystem::path root(dir);
    TaskStorage::Settings settings;
    settings.missedRunDelay = std::chrono::milliseconds(std::atoi(delayMs));
    TaskStorage service(root / "storage.xml", root / "logs", vadro::CreateCore(), settings);
    std::cout << "loaded" << std::endl;
    std::this_thread::sleep_for(std::chrono::minutes(5));
    return 0;
}

} // namespace

class KeptStateTest : public QObject
{
    Q_OBJECT

private slots:
    // A kill -9 while the tool runs leaves the run kept as going; the next start takes it
    // as interrupted and writes that down at once.
    void runSurvivesAKill()
    {
        QTemporaryDir dir;
        const QString store = dir.path() + QStringLiteral("/storage.xml");
        {
            TaskStorage s(fsPath(store), fsPath(dir.path() + QStringLiteral("/logs")), vadro::CreateCore());
            s.AddTask(checkTask(dir.path(), L"проверка"));
        }
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KALVORCLI_DELAY_MS"), QStringLiteral("3000"));
        child.setProcessEnvironment(env);
        const Instant before = CurrentInstant();
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--run-child"), dir.path()});
        QVERIFY(child.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(readFile(store).contains("<outcome>running</outcome>"), 10000);
        child.kill();
        QVERIFY(child.waitForFinished());
        const Instant after = CurrentInstant();

        const LastRun kept = storedTask(store).last_run;
        QCOMPARE(kept.outcome, RunOutcome::Running);
        QVERIFY(kept.started >= before && kept.started <= after);
        QCOMPARE(kept.ended, Instant(0));

        TaskStorage again(fsPath(store), fsPath(dir.path() + QStringLiteral("/logs")), vadro::CreateCore());
        const LastRun expected{kept.started, kept.started, RunOutcome::Failed,
                               L"Выполнение прервано: программа была остановлена."};
        QVERIFY(again.Tasks().front()->last_run == expected);
        QVERIFY(storedTask(store).last_run == expected);
    }

    // Each run is kept when it starts and when it ends, with the first line of why it
    // failed, and told on the service's events; an edit keeps it, a copy starts without.
    void runsAreKeptAndTold_data()
    {
        QTest::addColumn<QByteArray>("exitCode");
        QTest::addColumn<QByteArray>("stderrText");
        QTest::addColumn<bool>("missingTool");
        QTest::addColumn<QString>("reason");
        QTest::newRow("success") << QByteArray("0") << QByteArray("noise") << false << QString();
        QTest::newRow("failure, first line")
            << QByteArray("2") << QByteArray("\\nпервая\\nвторая") << false << QStringLiteral("первая");
        QTest::newRow("failure, no text")
            << QByteArray("7") << QByteArray() << false << QStringLiteral("Программа завершилась с кодом 7.");
        QTest::newRow("tool cannot start")
            << QByteArray() << QByteArray() << true << QStringLiteral("No such file or directory");
    }
    void runsAreKeptAndTold()
    {
        QFETCH(QByteArray, exitCode);
        QFETCH(QByteArray, stderrText);
        QFETCH(bool, missingTool);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString store = dir.path() + QStringLiteral("/storage.xml");
        TaskStorage s(fsPath(store), fsPath(dir.path() + QStringLiteral("/logs")), vadro::CreateCore());
        s.SetToolPath(fsPath(missingTool ? dir.path() + QStringLiteral("/none") : toolPath()));
        const TaskInfo* task = s.AddTask(checkTask(dir.path(), L"проверка"));
        QSignalSpy started(&s.Events(), &TaskEvents::runStarted);
        QSignalSpy ended(&s.Events(), &TaskEvents::runEnded);
        qputenv("KALVORCLI_EXIT_CODE", exitCode);
        qputenv("KALVORCLI_STDERR", stderrText);
        const Instant before = CurrentInstant();
        s.RunNow(task);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
        const Instant after = CurrentInstant();
        qunsetenv("KALVORCLI_EXIT_CODE");
        qunsetenv("KALVORCLI_STDERR");
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0][0].value<const TaskInfo*>(), task);
        QCOMPARE(ended[0][0].value<const TaskInfo*>(), task);
        QCOMPARE(ended[0][1].toBool(), reason.isEmpty());
        QCOMPARE(ended[0][2].toString(), reason);

        const LastRun kept = s.Copy(task).last_run;
        QCOMPARE(kept.outcome, reason.isEmpty() ? RunOutcome::Succeeded : RunOutcome::Failed);
        QCOMPARE(QString::fromStdWString(kept.reason), reason);
        QVERIFY(before <= kept.started && kept.started <= kept.ended && kept.ended <= after);
        QTRY_VERIFY_WITH_TIMEOUT(storedTask(store).last_run == kept, 5000); // written shortly after

        // The wizard edits a copy taken before the run: the kept run stays.
        TaskInfo stale = checkTask(dir.path(), L"правка");
        stale.run_missed = true;
        s.UpdateTask(task, stale);
        QVERIFY(s.Copy(task).last_run == kept);
        QVERIFY(storedTask(store).last_run == kept);
        QVERIFY(storedTask(store).run_missed);
        const TaskInfo* copy = s.AddTask(s.Copy(task));
        QVERIFY(copy->last_run == LastRun{});
    }

    // A started command is kept as going until it ends, then by how it ended: code 0
    // succeeds, another code or a signal fails the run, told once and written below the
    // run's end line. Quitting while it runs neither waits for it nor keeps an end.
    void commandEndIsKept_data()
    {
        QTest::addColumn<QByteArray>("ending"); // the script's last line
        QTest::addColumn<bool>("quits");        // the service goes while the command runs
        QTest::addColumn<QString>("reason");    // empty: succeeded
        QTest::newRow("code 0") << QByteArray("exit 0") << false << QString();
        QTest::newRow("code 3") << QByteArray("exit 3") << false << QStringLiteral("Программа завершилась с кодом 3.");
        QTest::newRow("signal") << QByteArray("kill -KILL $$") << false
                                << QStringLiteral("Программа завершена сигналом 9.");
        QTest::newRow("quit while running") << QByteArray("exit 3") << true << QString();
    }
    void commandEndIsKept()
    {
        QFETCH(QByteArray, ending);
        QFETCH(bool, quits);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString store = dir.path() + QStringLiteral("/storage.xml");
        const QString gate = dir.path() + QStringLiteral("/gate");
        const QString script = dir.path() + QStringLiteral("/command.sh");
        // The command runs until the test opens the gate.
        testsupport::writeScript(script, "while [ ! -e \"$1\" ]; do sleep 0.02; done\n" + ending + "\n");
        auto s = std::make_unique<TaskStorage>(fsPath(store), fsPath(dir.path() + QStringLiteral("/logs")),
                                               vadro::CreateCore());
        QSignalSpy started(&s->Events(), &TaskEvents::runStarted);
        QSignalSpy ended(&s->Events(), &TaskEvents::runEnded);
        TaskInfo t;
        t.name = L"команда";
        t.starting_point = CurrentInstant() + 200 * kNanosPerMilli;
        t.action = CommandAction{fsPath(script), {}, gate.toStdWString()};
        const TaskInfo* task = s->AddTask(t);
        QTRY_COMPARE_WITH_TIMEOUT(testsupport::logMessages(*s, task).size(), 2, 10000);
        const QStringList runLines = testsupport::logMessages(*s, task);
        QVERIFY(runLines[1].startsWith(QStringLiteral("Завершение выполнения задания.")));
        QCOMPARE(started.size(), 1);
        QCOMPARE(s->Copy(task).last_run.outcome, RunOutcome::Running);
        QTRY_COMPARE_WITH_TIMEOUT(storedTask(store).last_run.outcome, RunOutcome::Running, 5000);

        if (quits) {
            // The gate opens later on its own, so a quit that waited for the command would
            // show in its time rather than hang.
            std::thread opener([gate] {
                std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                QFile(gate).open(QIODevice::WriteOnly);
            });
            QElapsedTimer quitting;
            quitting.start();
            s.reset();
            const qint64 took = quitting.elapsed();
            opener.join();
            QVERIFY2(took < 2000, qPrintable(QString::number(took)));
            QTest::qWait(300); // the command ends with no service left to keep it
            QCOMPARE(ended.size(), 0);
            QCOMPARE(storedTask(store).last_run.outcome, RunOutcome::Running);
            return;
        }
        QTest::qWait(100);
        QCOMPARE(ended.size(), 0);
        const Instant before = CurrentInstant();
        testsupport::writeFile(gate, {});
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
        const Instant after = CurrentInstant();
        QCOMPARE(ended[0][0].value<const TaskInfo*>(), task);
        QCOMPARE(ended[0][1].toBool(), reason.isEmpty());
        QCOMPARE(ended[0][2].toString(), reason);
        const LastRun kept = s->Copy(task).last_run;
        QCOMPARE(kept.outcome, reason.isEmpty() ? RunOutcome::Succeeded : RunOutcome::Failed);
        QCOMPARE(QString::fromStdWString(kept.reason), reason);
        QVERIFY(before <= kept.ended && kept.ended <= after);
        QTRY_VERIFY_WITH_TIMEOUT(storedTask(store).last_run == kept, 5000);
        QStringList expected = runLines;
        if (!reason.isEmpty())
            expected << QStringLiteral("Задание не выполнено: ") + reason;
        QCOMPARE(testsupport::logMessages(*s, task), expected);
        QTest::qWait(100);
        QCOMPARE(ended.size(), 1);
    }

    // A failed write of the store, from the user-interface thread or from the worker, is
    // told with its reason; the file keeps what it had.
    void saveFailuresAreTold()
    {
        QTemporaryDir dir;
        const QString store = dir.path() + QStringLiteral("/storage.xml");
        TaskStorage::Settings settings;
        settings.saveRetryDelay = std::chrono::milliseconds(200);
        TaskStorage s(fsPath(store), fsPath(dir.path() + QStringLiteral("/logs")), vadro::CreateCore(), settings);
        s.SetToolPath(fsPath(toolPath()));
        const TaskInfo* task = s.AddTask(checkTask(dir.path(), L"проверка"));
        QSignalSpy failed(&s.Events(), &TaskEvents::saveFailed);
        QVERIFY(failed.isEmpty());
        // A folder where the file should be cannot be replaced by a file.
        QVERIFY(QFile::remove(store));
        QVERIFY(QDir().mkdir(store));

        TaskInfo edited = s.Copy(task);
        edited.name = L"правка";
        s.UpdateTask(task, edited);
        QCOMPARE(failed.size(), 1); // told at once on this thread
        QVERIFY2(failed[0][0].toString().startsWith(QStringLiteral("Не удалось записать файл заданий ") + store),
                 qPrintable(failed[0][0].toString()));

        QSignalSpy ended(&s.Events(), &TaskEvents::runEnded);
        s.RunNow(task); // its start and end are saved by the saver
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(failed.size() >= 2, 5000);
        QVERIFY(QFileInfo(store).isDir());
        QVERIFY(s.HasUnsavedChanges());

        // Once the file can be written again, the next retry saves it with no change made.
        QSignalSpy saved(&s.Events(), &TaskEvents::saved);
        QVERIFY(QDir().rmdir(store));
        QTRY_COMPARE_WITH_TIMEOUT(saved.size(), 1, 5000);
        QVERIFY(!s.HasUnsavedChanges());
        QCOMPARE(storedTask(store).name, std::wstring(L"правка"));
    }

    // A run kept as going at a start: a command went on after the quit, so its outcome is
    // unknown and it is not made up; a tool run was stopped part-way, so it failed and a
    // flagged task makes it up.
    void interruptedRunAtStart_data()
    {
        QTest::addColumn<bool>("command");
        QTest::addColumn<bool>("runMissed");
        QTest::newRow("tool run") << false << false;
        QTest::newRow("tool run, flagged") << false << true;
        QTest::newRow("command") << true << false;
        QTest::newRow("command, flagged") << true << true;
    }
    void interruptedRunAtStart()
    {
        QFETCH(bool, command);
        QFETCH(bool, runMissed);
        const Instant minute = 60 * kNanosPerSecond;
        // Years ahead of the machine's clock, so no timer fires while the test looks.
        const Instant now = CurrentInstant() + 3650 * 24 * kHour;
        QTemporaryDir dir;
        const QString store = dir.path() + QStringLiteral("/storage.xml");
        TaskInfo t = checkTask(dir.path(), L"прерванная");
        if (command)
            t.action = CommandAction{"/bin/true", {}, {}};
        // Daily, next due in an hour: the run that was cut short re-armed before it was.
        t.starting_point = now - 3 * 24 * kHour + kHour;
        t.run_missed = runMissed;
        t.awaited_run = runMissed ? now + kHour : kNeverInstant;
        t.last_run = LastRun{now - 10 * minute, 0, RunOutcome::Running, {}};
        QVERIFY(store::WriteFile(fsPath(store), store::WriteTasks({&t})));
        TaskStorage::Settings settings;
        settings.clock = [now] { return now; };
        TaskStorage s(fsPath(store), fsPath(dir.path() + QStringLiteral("/logs")), vadro::CreateCore(), settings);
        const TaskInfo* task = s.Tasks().front().get();
        const LastRun expected{now - 10 * minute, now - 10 * minute, command ? RunOutcome::Unknown : RunOutcome::Failed,
                               command ? L"Итог неизвестен: программа была остановлена, пока команда выполнялась."
                                       : L"Выполнение прервано: программа была остановлена."};
        QVERIFY(s.Copy(task).last_run == expected);
        QVERIFY(storedTask(store).last_run == expected);
        QCOMPARE(testsupport::logMessages(s, task), QStringList{QString::fromStdWString(expected.reason)});
        QCOMPARE(s.ScheduledRun(task), runMissed && !command ? now + 2 * minute : now + kHour);
    }

    // The end of a session, Ctrl+C and a closed terminal quit the real program in order:
    // status 0, the tool run it stopped logged with its time and next run and kept as
    // going (interrupted, for the next start), the command left running kept as going.
    void quitOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void quitOnSignal()
    {
        QFETCH(int, signal);
        QTemporaryDir dir;
        // A copy of its own, with the stand-in as its product tool.
        const QString built = testsupport::binPath(QStringLiteral("KalvorScheduler"));
        if (!QFile::exists(built))
            QSKIP("this build has no user interface");
        const QString program = dir.filePath(QStringLiteral("KalvorScheduler"));
        QVERIFY(QFile::copy(built, program));
        writeFile(dir.filePath(QStringLiteral("config.ini")),
                  "[Paths]\nKalvor-III=" + QFile::encodeName(testsupport::binDir()) + "\n");
        for (const char* sub : {"data/Holmiq/KalvorScheduler", "cache", "config", "run"})
            QVERIFY(QDir(dir.path()).mkpath(QString::fromLatin1(sub)));
        QFile::setPermissions(dir.filePath(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString store = dir.filePath(QStringLiteral("data/Holmiq/KalvorScheduler/storage.xml"));
        const QString gate = dir.filePath(QStringLiteral("gate"));
        const QString script = dir.filePath(QStringLiteral("command.sh"));
        testsupport::writeScript(script, "while [ ! -e \"$1\" ]; do sleep 0.05; done\n");
        TaskInfo command;
        command.name = L"команда";
        command.starting_point = CurrentInstant() + 1000 * kNanosPerMilli;
        command.action = CommandAction{fsPath(script), {}, gate.toStdWString()};
        TaskInfo check = checkTask(dir.path(), L"проверка");
        check.starting_point = CurrentInstant() + 1500 * kNanosPerMilli;
        QVERIFY(store::WriteFile(fsPath(store), store::WriteTasks({&command, &check})));

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral("cache")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("KALVORCLI_HANG"), QStringLiteral("wait"));
        child.setProcessEnvironment(env);
        child.start(program, {});
        QVERIFY(child.waitForStarted());
        const auto outcomes = [&store] {
            QList<RunOutcome> got;
            if (const auto text = store::ReadFile(fsPath(store)))
                for (const auto& p : store::ParseTasks(*text))
                    got << (p.task ? p.task->last_run.outcome : RunOutcome::None);
            return got;
        };
        const QList<RunOutcome> running{RunOutcome::Running, RunOutcome::Running};
        QTRY_COMPARE_WITH_TIMEOUT(outcomes(), running, 15000);
        QTest::qWait(300); // the tool is under way
        QVERIFY(::kill(static_cast<pid_t>(child.processId()), signal) == 0);
        const bool finished = child.waitForFinished(15000);
        writeFile(gate, {});
        QVERIFY(finished);
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(outcomes(), running);
        QDirIterator logs(dir.filePath(QStringLiteral("cache")), {QStringLiteral("проверка.log")}, QDir::Files,
                          QDirIterator::Subdirectories);
        QVERIFY(logs.hasNext());
        const QStringList lines = testsupport::logMessages(readFile(logs.next()));
        QVERIFY2(lines.size() >= 3 && lines.first() == QStringLiteral("Начало выполнения задания.") &&
                     !lines.join(QLatin1Char('|')).contains(QStringLiteral("bad stamp")) &&
                     QRegularExpression(
                         QStringLiteral("^Завершение выполнения задания. Следующий запуск: \\d\\d\\.\\d\\d\\.\\d{4}"))
                         .match(lines.last())
                         .hasMatch(),
                 qPrintable(lines.join(QLatin1Char('|'))));
    }

    // At a start, a flagged task whose awaited run lies in the past is made up once after
    // the delay (unless its next run comes sooner); nothing else is made up.
    void missedRunRule_data()
    {
        QTest::addColumn<bool>("runMissed");
        QTest::addColumn<qint64>("awaitedOffset"); // from now, in minutes; 0: none kept
        QTest::addColumn<qint64>("startOffset");   // of the daily schedule, in minutes
        QTest::addColumn<bool>("madeUp");
        QTest::addColumn<bool>("keepsMissed"); // the store still awaits the missed run
        const qint64 day = 24 * 60;
        QTest::newRow("missed") << true << qint64(-60) << -3 * day + 60 << true << true;
        QTest::newRow("missed long ago") << true << -40 * day << -50 * day + 30 << true << true;
        QTest::newRow("flag off") << false << qint64(-60) << -3 * day + 60 << false << false;
        QTest::newRow("awaited run still ahead") << true << qint64(60) << -3 * day + 60 << false << false;
        QTest::newRow("nothing kept") << true << qint64(0) << -3 * day + 60 << false << false;
        QTest::newRow("next run before the delay") << true << qint64(-60) << -day + 1 << false << true;
    }
    void missedRunRule()
    {
        QFETCH(bool, runMissed);
        QFETCH(qint64, awaitedOffset);
        QFETCH(qint64, startOffset);
        QFETCH(bool, madeUp);
        QFETCH(bool, keepsMissed);
        const Instant minute = 60 * kNanosPerSecond;
        // Years ahead of the machine's clock, so no timer fires while the test looks.
        const Instant now = CurrentInstant() + 3650 * 24 * kHour + 123'456'789;
        QTemporaryDir dir;
        const QString store = dir.path() + QStringLiteral("/storage.xml");
        const std::optional<Instant> awaited =
            awaitedOffset != 0 ? std::optional<Instant>(now + awaitedOffset * minute) : std::nullopt;
        writeStore(store, now + startOffset * minute, runMissed, awaited);
        TaskStorage::Settings settings;
        settings.clock = [now] { return now; };
        settings.missedRunDelay = std::chrono::minutes(2);
        TaskStorage s(fsPath(store), fsPath(dir.path() + QStringLiteral("/logs")), vadro::CreateCore(), settings);
        const TaskInfo* task = s.Tasks().front().get();
        const Instant next = schedule::NextRun(*task, now, LocalZone());
        QVERIFY(next > now);
        QCOMPARE(s.ScheduledRun(task), madeUp ? now + 2 * minute : next);
        // Until the make-up run starts, the store keeps the run that was missed.
        s.Save();
        QCOMPARE(storedTask(store).awaited_run, !runMissed ? kNeverInstant : keepsMissed ? *awaited : next);
    }

    // On the real clock: the made-up run starts once, the store then awaits the next
    // regular run, and the next start makes up nothing.
    void missedRunIsMadeUpOnce()
    {
        QTemporaryDir dir;
        const QString store = dir.path() + QStringLiteral("/storage.xml");
        const QString logs = dir.path() + QStringLiteral("/logs");
        const Instant now = CurrentInstant();
        // Due every day at an hour from now; missed yesterday and the day before.
        writeStore(store, now + kHour - 3 * 24 * kHour, true, now + kHour - 2 * 24 * kHour);
        TaskStorage::Settings settings;
        settings.missedRunDelay = std::chrono::milliseconds(300);
        {
            TaskStorage s(fsPath(store), fsPath(logs), vadro::CreateCore(), settings);
            QSignalSpy rearmed(&s.Events(), &TaskEvents::rearmed);
            const TaskInfo* task = s.Tasks().front().get();
            QTRY_COMPARE_WITH_TIMEOUT(rearmed.size(), 1, 10000);
            QCOMPARE(countStarts(QString::fromStdString(s.LogFilePath(task).string())), 1);
            QCOMPARE(s.ScheduledRun(task), now + kHour);
            QTRY_COMPARE_WITH_TIMEOUT(storedTask(store).awaited_run, now + kHour, 5000);
            // The command's end is kept once the reaper has seen it.
            QTRY_COMPARE_WITH_TIMEOUT(storedTask(store).last_run.outcome, RunOutcome::Succeeded, 10000);
        }
        TaskStorage again(fsPath(store), fsPath(logs), vadro::CreateCore(), settings);
        QCOMPARE(again.ScheduledRun(again.Tasks().front().get()), now + kHour);
    }

    // The same rule on a clock that libfaketime moves past the awaited run: only the
    // child whose clock lies past it makes the run up.
    void missedRunUnderAFakeClock()
    {
        if (const char* missing = testsupport::fakeTimeMissing())
            QSKIP(missing);
        const Instant now = CurrentInstant();
        QTemporaryDir dirs[2];
        QProcess children[2];
        const char* offsets[2] = {"+2h", "+0"};
        for (int i = 0; i < 2; ++i) {
            // Due every day an hour from the real now, and awaited then.
            writeStore(dirs[i].path() + QStringLiteral("/storage.xml"), now + kHour, true, now + kHour);
            children[i].setProcessEnvironment(
                testsupport::fakeTimeEnvironment({{QStringLiteral("FAKETIME"), QString::fromLatin1(offsets[i])}}));
            children[i].start(QCoreApplication::applicationFilePath(),
                              {QStringLiteral("--missed-child"), dirs[i].path(), QStringLiteral("300")});
            QVERIFY(children[i].waitForStarted());
        }
        const auto logOf = [&dirs](int i) -> QString {
            return dirs[i].path() + QStringLiteral("/logs/пропущенная.log");
        };
        for (QProcess& child : children) {
            QVERIFY(child.waitForReadyRead(10000));
            QVERIFY(child.readAllStandardOutput().contains("loaded"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(countStarts(logOf(0)), 1, 10000);
        QTest::qWait(500);
        for (QProcess& child : children) {
            child.kill();
            child.waitForFinished();
        }
        QCOMPARE(countStarts(logOf(0)), 1);
        QCOMPARE(countStarts(logOf(1)), 0);
    }
};

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--run-child") == 0)
        return runChild(argv[2]);
    if (argc > 3 && std::strcmp(argv[1], "--missed-child") == 0)
        return missedChild(argv[2], argv[3]);
    QCoreApplication app(argc, argv);
    KeptStateTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "KeptStateTest.moc"
