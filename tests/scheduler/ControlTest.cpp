// Pausing, stopping and retrying tasks through the real service: real timers, the stand-in
// product tool, real commands and a backup of 20,000 documents.

#include "common/Text.h"
#include "execution/BackupTestSupport.h"
#include "model/TaskStoreFile.h"
#include "scheduler/TaskStorage.h"
#include "support/Files.h"
#include "support/Service.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace backuptest;
using namespace testsupport;

namespace {

constexpr Instant kDay = 86400 * kNanosPerSecond;

int starts(const TaskStorage& s, const TaskInfo* t)
{
    return logMessages(s, t).count(QStringLiteral("Начало выполнения задания."));
}

} // namespace

class ControlTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    vadro_cm::Connection connection;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        const QString repo = dir.filePath(QStringLiteral("repo"));
        for (int i = 0; i < 20000; ++i)
            writeFile(repo + QStringLiteral("/Много/") + QString::number(i), "d");
        connection = saveConnection(SavedConnectionsPath(), repo);
    }

    // Of two tasks due at the same instant the paused one does not fire; resumed, it waits
    // for its next run after the resume, and run now runs it while paused.
    void pausedTaskDoesNotFire()
    {
        auto s = serviceIn(dir.filePath(QStringLiteral("pause")));
        TaskInfo t;
        t.starting_point = CurrentInstant() + 400 * kNanosPerMilli;
        t.action = CommandAction{"/bin/true", {}, {}};
        t.name = L"active";
        const TaskInfo* active = s->AddTask(t);
        t.name = L"paused";
        t.run_missed = true;
        const TaskInfo* paused = s->AddTask(t);
        QVERIFY(s->SetPaused(paused, true));
        QCOMPARE(s->ScheduledRun(paused), kNeverInstant);
        QTRY_COMPARE_WITH_TIMEOUT(s->Copy(active).last_run.outcome, RunOutcome::Succeeded, 5000);
        QTest::qWait(300);
        QCOMPARE(starts(*s, paused), 0);
        QVERIFY(readFile(common::toQString(s->StorePath())).contains("<paused>true</paused>"));
        QVERIFY(s->SetPaused(paused, false));
        // Not made up: the missed run is not awaited, the next one is.
        QCOMPARE(s->ScheduledRun(paused), t.starting_point + kDay);
        QCOMPARE(s->Copy(paused).awaited_run, t.starting_point + kDay);
        QVERIFY(!readFile(common::toQString(s->StorePath())).contains("<paused>"));
        QVERIFY(s->SetPaused(paused, true));
        s->RunNow(paused);
        QTRY_COMPARE_WITH_TIMEOUT(s->Copy(paused).last_run.outcome, RunOutcome::Succeeded, 5000);
    }

    void stopEndsTheRun_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("hung tool") << QStringLiteral("tool");
        QTest::newRow("command that ignores SIGTERM, with a helper") << QStringLiteral("command");
        QTest::newRow("backup of 20,000 documents") << QStringLiteral("backup");
    }

    // The run ends as stopped, without a failure notice or a retry, and takes no longer
    // than the kill grace.
    void stopEndsTheRun()
    {
        QFETCH(QString, kind);
        const QString root = dir.filePath(kind);
        ReadPlan slow;
        slow.perChunk = std::chrono::milliseconds(2);
        auto s = serviceIn(root, std::make_shared<PlannedCore>(slow));
        execution::ToolLimits limits;
        limits.killGrace = std::chrono::milliseconds(500);
        s->SetToolLimits(limits);
        ScopedEnvironment hang({{"KALVORCLI_HANG", "ignore-term"}});
        const QString helperPid = root + QStringLiteral("/helper.pid");
        TaskInfo t;
        t.name = kind.toStdWString();
        t.starting_point = CurrentInstant() + kDay;
        t.retry_count = 3;
        if (kind == QLatin1String("tool")) {
            writeFile(root + QStringLiteral("/m.ifc"), "ifc");
            CheckAction c;
            c.ifc_file = QString(root + QStringLiteral("/m.ifc")).toStdWString();
            c.ids_file = QString(root + QStringLiteral("/r.ids")).toStdWString();
            c.only_changed_documents = false;
            t.action = c;
        } else if (kind == QLatin1String("command")) {
            const QString script = root + QStringLiteral("/hang.sh");
            writeScript(script, "sleep 60 & echo $! > \"$1\"; trap '' TERM; while :; do sleep 1; done\n");
            t.action = CommandAction{script.toStdString(), {}, helperPid.toStdWString()};
        } else {
            t.action = BackupAction{connection.id, L"vadro://Демо/Много", root.toStdWString() + L"/copy"};
        }
        const TaskInfo* stored = s->AddTask(t);
        QSignalSpy stopped(&s->Events(), &TaskEvents::runStopped);
        QSignalSpy ended(&s->Events(), &TaskEvents::runEnded);
        s->RunNow(stored);
        QTRY_COMPARE_WITH_TIMEOUT(s->Copy(stored).last_run.outcome, RunOutcome::Running, 5000);
        QTest::qWait(500);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(s->Stop(stored));
        QTRY_COMPARE_WITH_TIMEOUT(s->Copy(stored).last_run.outcome, RunOutcome::Stopped, 10000);
        qInfo("%s: %lld ms from the stop to the recorded outcome", qPrintable(kind), clock.elapsed());
        QVERIFY(clock.elapsed() < 5000);
        const TaskInfo after = s->Copy(stored);
        QCOMPARE(after.last_run.reason, std::wstring(L"Остановлено пользователем."));
        QCOMPARE(after.retry_at, kNeverInstant);
        QCOMPARE(logMessages(*s, stored).last(), QStringLiteral("Остановлено пользователем."));
        QTRY_COMPARE(stopped.size(), 1);
        QCOMPARE(ended.size(), 0);
        QVERIFY(!s->Stop(stored));
        if (kind == QLatin1String("command")) // the helper went with its group
            QTRY_VERIFY(::kill(readFile(helperPid).trimmed().toInt(), 0) != 0);
        if (kind == QLatin1String("backup"))
            QVERIFY(QDir(root + QStringLiteral("/copy")).count() < 20000);
    }

    void retrySeries_data()
    {
        QTest::addColumn<int>("failures"); // before the command succeeds
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("runs");
        QTest::addColumn<int>("outcome");
        QTest::newRow("ends in success") << 2 << 3 << 3 << int(RunOutcome::Succeeded);
        QTest::newRow("runs out") << 99 << 2 << 3 << int(RunOutcome::Failed);
    }

    // After a failure the task runs again the interval later, at most the count in a row.
    void retrySeries()
    {
        QFETCH(int, failures);
        QFETCH(int, count);
        QFETCH(int, runs);
        QFETCH(int, outcome);
        // The service's clock runs a minute behind less 300 ms: a retry a minute later is
        // armed 300 ms ahead of the system clock.
        TaskStorage::Settings settings;
        settings.clock = [] { return CurrentInstant() - 60 * kNanosPerSecond + 300 * kNanosPerMilli; };
        const QString root = dir.filePath(QStringLiteral("retry-%1").arg(count));
        auto s = serviceIn(root, vadro::CreateCore(), settings);
        const QString script = root + QStringLiteral("/fail.sh");
        writeScript(script, "n=$(cat \"$0.count\" 2>/dev/null || echo 0); n=$((n+1)); echo $n > \"$0.count\"; "
                            "[ $n -gt \"$1\" ]\n");
        TaskInfo t;
        t.name = L"retry";
        t.starting_point = CurrentInstant() + kDay;
        t.retry_count = count;
        t.retry_interval_minutes = 1;
        t.action = CommandAction{script.toStdString(), {}, std::to_wstring(failures)};
        const TaskInfo* stored = s->AddTask(t);
        s->RunNow(stored);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(script + QStringLiteral(".count")).trimmed().toInt(), runs, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(int(s->Copy(stored).last_run.outcome), outcome, 5000);
        QTest::qWait(1000);
        QCOMPARE(readFile(script + QStringLiteral(".count")).trimmed().toInt(), runs);
        const TaskInfo after = s->Copy(stored);
        QCOMPARE(after.retry_at, kNeverInstant);
        QCOMPARE(after.retry_attempt, 0);
        QCOMPARE(s->ScheduledRun(stored), t.starting_point);
        const QStringList retries =
            logMessages(*s, stored).filter(QRegularExpression(QStringLiteral("^Повторная попытка \\d из \\d в ")));
        QCOMPARE(retries.size(), runs - 1);
        QVERIFY(retries.last().startsWith(QStringLiteral("Повторная попытка %1 из %2 в ").arg(runs - 1).arg(count)));
    }

    // A retry kept in the store that fell due while the program was not running runs soon
    // after the start, as a missed run is made up.
    void pendingRetrySurvivesARestart()
    {
        const QString root = dir.filePath(QStringLiteral("restart"));
        TaskInfo t;
        t.name = L"kept";
        t.starting_point = CurrentInstant() + kDay;
        t.action = CommandAction{"/bin/false", {}, {}};
        t.retry_count = 2;
        t.last_run = LastRun{CurrentInstant() - kDay, CurrentInstant() - kDay, RunOutcome::Failed, L"Код 1"};
        t.retry_at = CurrentInstant() - 3600 * kNanosPerSecond;
        t.retry_attempt = 1;
        QDir().mkpath(root + QStringLiteral("/store"));
        QVERIFY(store::WriteFile(
            std::filesystem::u8path(QString(root + QStringLiteral("/store/storage.xml")).toStdString()),
            store::WriteTasks({&t})));
        TaskStorage::Settings settings;
        settings.missedRunDelay = std::chrono::milliseconds(200);
        TaskStorage s(std::filesystem::u8path(QString(root + QStringLiteral("/store/storage.xml")).toStdString()),
                      std::filesystem::u8path(QString(root + QStringLiteral("/logs")).toStdString()),
                      vadro::CreateCore(), settings);
        const TaskInfo* stored = s.Tasks().front().get();
        QTRY_COMPARE_WITH_TIMEOUT(starts(s, stored), 1, 5000);
        // It failed again: the second and last attempt of the series is armed.
        QTRY_COMPARE_WITH_TIMEOUT(s.Copy(stored).retry_attempt, 2, 5000);
        QTRY_VERIFY(logMessages(s, stored).last().startsWith(QStringLiteral("Повторная попытка 2 из 2 в ")));
    }
};

QTEST_GUILESS_MAIN(ControlTest)
#include "ControlTest.moc"
