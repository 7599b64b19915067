// A due task starts soon after the wall clock jumps forward, as after a resume from
// suspend: the service runs in a child process whose wall clock libfaketime moves an hour
// on while its monotonic clock does not, and the kernel tells of it as it does of a resume
// or a clock set. For that the test sets the machine's clock to the time it reads (a step
// of a few microseconds), which needs the right to set the clock.

#include "scheduler/TaskStorage.h"
#include "support/Files.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

#include <time.h>

namespace {

// The child: one task due an hour from (faked) now; it runs until killed.
int clockChild(const char* dir)
{
    const std::filesystem::path root(dir);
    TaskStorage service(root / "storage.xml", root / "logs", vadro::CreateCore());
    TaskInfo task;
    task.name = L"jump";
    task.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
    task.action = BackupAction{}; // fails at once; only the start line matters here
    service.AddTask(task);
    std::cout << "armed" << std::endl;
    std::this_thread::sleep_for(std::chrono::minutes(5));
    return 0;
}

} // namespace

class ClockJumpTest : public QObject
{
    Q_OBJECT

private slots:
    void dueTaskStartsSoonAfterAJump()
    {
        if (const char* missing = testsupport::fakeTimeMissing())
            QSKIP(missing);
        QTemporaryDir dir;
        const QString offsetFile = dir.path() + QStringLiteral("/offset");
        {
            QFile f(offsetFile);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("+0\n");
        }
        QProcess child;
        child.setProcessEnvironment(
            testsupport::fakeTimeEnvironment({{QStringLiteral("FAKETIME_TIMESTAMP_FILE"), offsetFile},
                                              {QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1")}}));
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--clock-child"), dir.path()});
        QVERIFY(child.waitForStarted());
        QVERIFY(child.waitForReadyRead(10000));
        QVERIFY(child.readAll().contains("armed"));

        const QString log = dir.path() + QStringLiteral("/logs/jump.log");
        QTest::qWait(1000);
        QVERIFY(QFileInfo(log).size() == 0); // not due yet
        {
            // Replaced whole, so the child never reads a half-written offset.
            QSaveFile f(offsetFile);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("+3700\n"); // the wall clock jumps past the due time
            QVERIFY(f.commit());
        }
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        if (::clock_settime(CLOCK_REALTIME, &now) != 0) {
            child.kill();
            child.waitForFinished();
            QSKIP(qPrintable(
                QStringLiteral("the clock cannot be set here: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))));
        }
        QElapsedTimer waited;
        waited.start();
        while (QFileInfo(log).size() == 0 && waited.elapsed() < 20000)
            QTest::qWait(100);
        const qint64 lateness = waited.elapsed();
        child.kill();
        child.waitForFinished();
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(f.readAll()).contains(QStringLiteral("Начало выполнения задания.")));
        QVERIFY2(lateness < 5000, qPrintable(QStringLiteral("started %1 ms after the jump").arg(lateness)));
        qInfo("the task started %lld ms after the clock jump", lateness);
    }
};

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--clock-child") == 0)
        return clockChild(argv[2]);
    QCoreApplication app(argc, argv);
    ClockJumpTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ClockJumpTest.moc"
