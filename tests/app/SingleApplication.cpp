#include "app/SingleApplication.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <signal.h>
#include <unistd.h>

// Run with --instance, this executable is one instance of the guarded program: it prints
// "primary" or "secondary", then a primary prints "woken" each time another start
// reaches it and runs until its standard input closes.
static int runInstance(int argc, char** argv)
{
    SingleApplication app(argc, argv, true, SingleApplication::Mode::SecondaryNotification, 1000);
    std::printf("%s\n", app.isPrimary() ? "primary" : "secondary");
    std::fflush(stdout);
    if (app.isSecondary())
        return 0;
    QObject::connect(&app, &SingleApplication::instanceStarted, [] {
        std::printf("woken\n");
        std::fflush(stdout);
    });
    auto* notifier = new QSocketNotifier(0, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&] {
        char buffer[64];
        if (::read(0, buffer, sizeof buffer) <= 0)
            QCoreApplication::quit();
    });
    return app.exec();
}

class TestSingleApplication : public QObject
{
    Q_OBJECT

private slots:
    void secondStartWakesFirst();
    void startAfterKilledPrimaryBecomesPrimary();
    void racingStartsGiveOnePrimary();
    void copiesInOtherDirectoriesAreIndependent();

private:
    // Starts an instance of `program` and returns it once it has said what it is.
    std::unique_ptr<QProcess> start(const QString& program = QCoreApplication::applicationFilePath());
    static QString roleOf(QProcess& process);
};

std::unique_ptr<QProcess> TestSingleApplication::start(const QString& program)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(program, {QStringLiteral("--instance")});
    return process;
}

QString TestSingleApplication::roleOf(QProcess& process)
{
    for (int i = 0; i < 100 && !process.canReadLine(); ++i)
        process.waitForReadyRead(100);
    return QString::fromLatin1(process.readLine().trimmed());
}

void TestSingleApplication::secondStartWakesFirst()
{
    auto first = start();
    QCOMPARE(roleOf(*first), QStringLiteral("primary"));

    for (int i = 0; i < 2; ++i) {
        auto second = start();
        QCOMPARE(roleOf(*second), QStringLiteral("secondary"));
        QVERIFY(second->waitForFinished(5000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(roleOf(*first), QStringLiteral("woken"));
    }

    first->closeWriteChannel();
    QVERIFY(first->waitForFinished(5000));
    QCOMPARE(first->exitCode(), 0);

    // A primary that ended normally leaves nothing that stops the next start.
    auto next = start();
    QCOMPARE(roleOf(*next), QStringLiteral("primary"));
    next->closeWriteChannel();
    QVERIFY(next->waitForFinished(5000));
}

void TestSingleApplication::startAfterKilledPrimaryBecomesPrimary()
{
    auto first = start();
    QCOMPARE(roleOf(*first), QStringLiteral("primary"));
    ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished(5000));

    auto next = start();
    QCOMPARE(roleOf(*next), QStringLiteral("primary"));
    // The new primary listens again: a further start reaches it.
    auto third = start();
    QCOMPARE(roleOf(*third), QStringLiteral("secondary"));
    QVERIFY(third->waitForFinished(5000));
    QCOMPARE(roleOf(*next), QStringLiteral("woken"));
    next->closeWriteChannel();
    QVERIFY(next->waitForFinished(5000));
}

void TestSingleApplication::racingStartsGiveOnePrimary()
{
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int i = 0; i < 6; ++i)
            processes.push_back(start());
        QStringList roles;
        QProcess* primary = nullptr;
        for (auto& process : processes) {
            roles << roleOf(*process);
            if (roles.constLast() == QLatin1String("primary"))
                primary = process.get();
        }
        QCOMPARE(roles.count(QStringLiteral("primary")), 1);
        QCOMPARE(roles.count(QStringLiteral("secondary")), 5);
        for (auto& process : processes) {
            if (process.get() != primary)
                QVERIFY(process->waitForFinished(5000));
        }
        // Every secondary reached the primary.
        for (int i = 0; i < 5; ++i)
            QCOMPARE(roleOf(*primary), QStringLiteral("woken"));
        primary->closeWriteChannel();
        QVERIFY(primary->waitForFinished(5000));
    }
}

void TestSingleApplication::copiesInOtherDirectoriesAreIndependent()
{
    QTemporaryDir dirA;
    QTemporaryDir dirB;
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString copyA = dirA.filePath(name);
    const QString copyB = dirB.filePath(name);
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copyA));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copyB));

    auto a = start(copyA);
    auto b = start(copyB);
    QCOMPARE(roleOf(*a), QStringLiteral("primary"));
    QCOMPARE(roleOf(*b), QStringLiteral("primary"));
    auto a2 = start(copyA);
    QCOMPARE(roleOf(*a2), QStringLiteral("secondary"));
    QVERIFY(a2->waitForFinished(5000));
    for (auto* process : {a.get(), b.get()}) {
        process->closeWriteChannel();
        QVERIFY(process->waitForFinished(5000));
    }
}

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--instance") == 0)
            return runInstance(argc, argv);
    }
    QCoreApplication app(argc, argv);
    TestSingleApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "SingleApplication.moc"
