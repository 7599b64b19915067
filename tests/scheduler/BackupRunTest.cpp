#include "execution/BackupTestSupport.h"
#include "scheduler/TaskStorage.h"
#include "support/Service.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace backuptest;

using namespace testsupport;

// Backups run by the service: one at a time per task, and stopped at quit without
// damaging the copy in progress.
class BackupRunTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString repo;
    vadro_cm::Connection connection;

    TaskInfo backupTask(const QString& name, const QString& destination)
    {
        TaskInfo t;
        t.name = name.toStdWString();
        t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
        t.action = BackupAction{connection.id, L"vadro://Демо/Большой", destination.toStdWString()};
        return t;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        repo = dir.filePath(QStringLiteral("repo"));
        writeFile(repo + QStringLiteral("/Большой/Big"), QByteArray(256 * 1024, 'n'));
        writeFile(repo + QStringLiteral("/Большой/Small"), "small");
        connection = saveConnection(SavedConnectionsPath(), repo);
    }

    // A start of a task whose backup still runs is logged and skipped; once it has ended
    // the task backs up again.
    void secondStartWhileRunningIsSkipped()
    {
        ReadPlan slow;
        slow.chunk = 4096;
        slow.perChunk = std::chrono::milliseconds(10); // under a second for the big document
        auto s = serviceIn(dir.path(), std::make_shared<PlannedCore>(slow));
        const QString destination = dir.filePath(QStringLiteral("twice"));
        const TaskInfo* stored = s->AddTask(backupTask(QStringLiteral("twice"), destination));
        const TaskInfo* other = s->AddTask(backupTask(QStringLiteral("other"), dir.filePath(QStringLiteral("other"))));
        s->RunNow(stored);
        s->RunNow(other); // another task is not held back
        s->RunNow(stored);
        const QString done = QStringLiteral("Резервное копирование завершено: скопировано документов 2.");
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, stored).size(), 2, 10000);
        QCOMPARE(
            logMessages(*s, stored),
            (QStringList{QStringLiteral("Резервное копирование уже выполняется; повторный запуск пропущен."), done}));
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, other), QStringList{done}, 10000);
        s->RunNow(stored);
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, stored).size(), 3, 10000);
        QCOMPARE(logMessages(*s, stored).last(), done);
        QCOMPARE(readFile(destination + QStringLiteral("/Big")), QByteArray(256 * 1024, 'n'));
    }

    // A version is named after the instant the run began, not when the copy got going.
    void versionNamedAfterTheRunStart()
    {
        TaskStorage::Settings settings;
        const Instant start = Instant{1796608800} * kNanosPerSecond + 999 * kNanosPerMilli;
        settings.clock = [start] { return start; };
        auto s = serviceIn(dir.path(), vadro::CreateCore(), settings);
        const QString destination = dir.filePath(QStringLiteral("versions"));
        TaskInfo task = backupTask(QStringLiteral("versions"), destination);
        std::get<BackupAction>(task.action).keep_versions = 2;
        const TaskInfo* stored = s->AddTask(task);
        s->RunNow(stored);
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(*s, stored).size(), 1, 10000);
        QVERIFY(QFileInfo(destination + QLatin1Char('/') +
                          QDateTime::fromSecsSinceEpoch(1796608800).toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")))
                    .isDir());
    }

    // Quitting stops a running backup at once; the document in progress keeps its previous
    // copy and no temporary file stays behind.
    void quitStopsARunningBackup()
    {
        ReadPlan slow;
        slow.chunk = 1024;
        slow.perChunk = std::chrono::milliseconds(40); // about ten seconds for the big document
        auto s = serviceIn(dir.path(), std::make_shared<PlannedCore>(slow));
        const QString destination = dir.filePath(QStringLiteral("quit"));
        writeFile(destination + QStringLiteral("/Big"), "previous");
        const TaskInfo* stored = s->AddTask(backupTask(QStringLiteral("quit"), destination));
        s->RunNow(stored);
        QTRY_VERIFY_WITH_TIMEOUT(writingUnnamedInto(QCoreApplication::applicationPid(), destination), 5000);
        QElapsedTimer quitting;
        quitting.start();
        s.reset();
        QVERIFY2(quitting.elapsed() < 3000, qPrintable(QString::number(quitting.elapsed())));
        QCOMPARE(readFile(destination + QStringLiteral("/Big")), QByteArray("previous"));
        QCOMPARE(treeOf(destination), QStringList{QStringLiteral("Big")});
    }
};

QTEST_GUILESS_MAIN(BackupRunTest)
#include "BackupRunTest.moc"
