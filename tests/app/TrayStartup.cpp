// Starts the real program, as a user would, on a display with a system tray.

#include "support/Files.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {

const QString kTitle = QStringLiteral("Планировщик задач КАЛВОР");

QString run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Whether the process shows its main window on the display.
bool showsMainWindow(const QProcess& process)
{
    const QString windows =
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--pid"), QString::number(process.processId())});
    for (const QString& id : windows.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (run(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), id}).trimmed() == kTitle)
            return true;
    }
    return false;
}

QString settingsFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) +
           QStringLiteral("/Holmiq/KalvorScheduler.conf");
}

} // namespace

class TestTrayStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void firstLaunchShowsWindow();
    void laterLaunchStaysInTray();
    void secondStartRaisesFirst();
    void startAfterKilledPrimary();

private:
    std::unique_ptr<QProcess> start();
    void stop(QProcess& process);

    QTemporaryDir programDir;
    QString program;
    std::vector<std::unique_ptr<QProcess>> started;
};

void TestTrayStartup::initTestCase()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("no system tray on this display (run through scripts/with-xvfb-tray.sh)");
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("xdotool is not installed");
    const QString built = testsupport::binPath(QStringLiteral("KalvorScheduler"));
    QVERIFY2(QFile::exists(built), qPrintable(built));
    // A copy of its own: the instance key follows the executable's path, so this test
    // never meets a scheduler started from the build directory.
    program = programDir.filePath(QStringLiteral("KalvorScheduler"));
    QVERIFY(QFile::copy(built, program));
}

void TestTrayStartup::cleanup()
{
    for (auto& process : started)
        stop(*process);
    started.clear();
}

std::unique_ptr<QProcess> TestTrayStartup::start()
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(program, {});
    process->waitForStarted();
    return process;
}

void TestTrayStartup::stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished(5000);
}

void TestTrayStartup::firstLaunchShowsWindow()
{
    QFile::remove(settingsFile());
    started.push_back(start());
    QProcess& primary = *started.back();
    QTRY_VERIFY_WITH_TIMEOUT(showsMainWindow(primary), 10000);
    QSettings settings(settingsFile(), QSettings::NativeFormat);
    QCOMPARE(settings.value(QStringLiteral("firstLaunch")), QVariant(QStringLiteral("false")));
    QCOMPARE(primary.state(), QProcess::Running);
}

void TestTrayStartup::laterLaunchStaysInTray()
{
    QVERIFY(QFile::exists(settingsFile())); // written by the first launch
    started.push_back(start());
    QProcess& primary = *started.back();
    QTest::qWait(2000);
    QCOMPARE(primary.state(), QProcess::Running);
    QVERIFY(!showsMainWindow(primary));
}

void TestTrayStartup::secondStartRaisesFirst()
{
    started.push_back(start());
    QProcess& primary = *started.back();
    QTest::qWait(1500);
    QVERIFY(!showsMainWindow(primary));

    QElapsedTimer clock;
    clock.start();
    auto second = start();
    QVERIFY(second->waitForFinished(10000));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QVERIFY2(elapsed >= 1000 && elapsed < 4000, qPrintable(QString::number(elapsed)));
    QTRY_VERIFY_WITH_TIMEOUT(showsMainWindow(primary), 5000);
    QCOMPARE(primary.state(), QProcess::Running);
}

void TestTrayStartup::startAfterKilledPrimary()
{
    auto killed = start();
    QTest::qWait(1500);
    ::kill(static_cast<pid_t>(killed->processId()), SIGKILL);
    QVERIFY(killed->waitForFinished(5000));

    started.push_back(start());
    QProcess& primary = *started.back();
    QTest::qWait(2500); // a secondary would have ended after one second
    QCOMPARE(primary.state(), QProcess::Running);

    auto second = start();
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(showsMainWindow(primary), 5000);
}

QTEST_MAIN(TestTrayStartup)
#include "TrayStartup.moc"
