#include "app/SingleApplication.h"
#include "support/Files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

// Run with --instance, this executable is one instance of the guarded program: it prints
// "primary", "secondary" or "failed" (with the reason on standard error and status 1),
// then a primary prints "woken" each time another start reaches it and runs until its
// standard input closes.
static int runInstance(int argc, char** argv)
{
    SingleApplication app(argc, argv, true, SingleApplication::Mode::SecondaryNotification, 1000,
                          QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                              QStringLiteral("/store.xml"));
    if (app.HasFailed()) {
        std::printf("failed\n");
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", qUtf8Printable(app.ErrorString()));
        return 1;
    }
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

namespace {

// A user id with no account: setpriv runs commands under it when the tests run as root.
constexpr uid_t kOtherUid = 47113;

// What is planted at the store's lock file.
enum class Plant
{
    LinkToOwnFile,
    DanglingLink,
    HardLinkToOwnFile,
    Directory,
    ForeignFile,
};

// Where a start finds its runtime directory.
enum class Env
{
    Runtime,     // a private XDG_RUNTIME_DIR
    NoRuntime,   // none, as from cron or an ssh login
    LongRuntime, // one whose socket path cannot fit a local socket address
};

} // namespace

Q_DECLARE_METATYPE(Plant)
Q_DECLARE_METATYPE(Env)

class TestSingleApplication : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void secondStartWakesFirst();
    void startAfterKilledPrimaryBecomesPrimary();
    void racingStartsGiveOnePrimary();
    void copiesInOtherDirectoriesShareTheStore();
    void secondStartMeetsThePrimary_data();
    void secondStartMeetsThePrimary();
    void eachUserHasOwnPrimary_data();
    void eachUserHasOwnPrimary();
    void runtimeDirectoryOfOthersIsNotUsed_data();
    void runtimeDirectoryOfOthersIsNotUsed();
    void unsafeLockIsRefused_data();
    void unsafeLockIsRefused();
    void schedulerRefusesUnsafeLock();
    void schedulerSecondStartReachesFirst_data();
    void schedulerSecondStartReachesFirst();
    void schedulerNamesTheUnreachableHolder_data();
    void schedulerNamesTheUnreachableHolder();

private:
    // Starts an instance of `program` under this test's temporary directory, in the
    // environment `env_`, as this user or as kOtherUid.
    QProcess* start(const QString& program = QCoreApplication::applicationFilePath(), bool asOtherUser = false);
    QProcess* startScheduler();
    // Waits for the next line an instance prints ("primary", "secondary", "woken", ...).
    static QString roleOf(QProcess& process);
    static void stop(QProcess& process);
    bool runAsOtherUser(const QString& shellCommand);
    bool canActAsOtherUser() const
    {
        return ::geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
    }
    QString area(const QString& name) const { return QDir(area_->path()).filePath(name); }
    QString runtimeDirOf(uid_t uid) const { return area(QStringLiteral("run-%1").arg(uid)); }
    QString dataDir() const { return area(QStringLiteral("data")); }
    // The lock beside the store of the test's instances and beside the scheduler's store.
    QString lockPath() const { return dataDir() + QStringLiteral("/store.xml.lock"); }
    QString schedulerLockPath() const { return dataDir() + QStringLiteral("/Holmiq/KalvorScheduler/storage.xml.lock"); }
    // The process id and socket that the scheduler holding the store has recorded, once it has.
    QStringList recordOf(const QString& lock, qint64 pid) const;
    QString schedulerPath() const { return testsupport::binPath(QStringLiteral("KalvorScheduler")); }

    std::unique_ptr<QTemporaryDir> area_;
    Env env_ = Env::Runtime;
    QString dataHome_; // XDG_DATA_HOME of the next start when not dataDir()
    std::vector<std::unique_ptr<QProcess>> started_;
};

void TestSingleApplication::init()
{
    // Private to each test; open to all like /tmp so that a second user can work in it.
    // A short name: a local socket's path must fit in 107 bytes.
    area_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/ksa-XXXXXX"));
    QVERIFY(area_->isValid());
    QVERIFY(::chmod(QFile::encodeName(area_->path()).constData(), 01777) == 0);
    QVERIFY(QDir().mkdir(runtimeDirOf(::geteuid())));
    QVERIFY(::chmod(QFile::encodeName(runtimeDirOf(::geteuid())).constData(), 0700) == 0);
    env_ = Env::Runtime;
    dataHome_.clear();
}

void TestSingleApplication::cleanup()
{
    for (auto& process : started_) {
        if (QTest::currentTestFailed())
            qDebug().noquote() << process->program() << process->arguments()
                               << QString::fromLocal8Bit(process->readAllStandardError());
        stop(*process);
    }
    started_.clear();
    area_.reset();
}

QProcess* TestSingleApplication::start(const QString& program, bool asOtherUser)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), area_->path());
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome_.isEmpty() ? dataDir() : dataHome_);
    const uid_t uid = asOtherUser ? kOtherUid : ::geteuid();
    if (env_ == Env::Runtime)
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirOf(uid));
    if (env_ == Env::LongRuntime) {
        // 109 characters: with any socket name in it the path passes the 107-byte limit.
        const QString longDir = area(QString(108 - area_->path().size(), QLatin1Char('r')));
        QDir().mkdir(longDir);
        ::chmod(QFile::encodeName(longDir).constData(), 0700);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), longDir);
    }
    if (asOtherUser) {
        const QString home = area(QStringLiteral("home-%1").arg(uid));
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/cache"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    }
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    if (asOtherUser) {
        const QString id = QString::number(uid);
        process->start(QStringLiteral("setpriv"),
                       {QStringLiteral("--reuid=") + id, QStringLiteral("--regid=") + id,
                        QStringLiteral("--clear-groups"), program, QStringLiteral("--instance")});
    } else {
        process->start(program, {QStringLiteral("--instance")});
    }
    started_.push_back(std::move(process));
    return started_.back().get();
}

QProcess* TestSingleApplication::startScheduler()
{
    // The program takes no argument of its own; the "--instance" it gets is ignored.
    return start(schedulerPath());
}

QStringList TestSingleApplication::recordOf(const QString& lock, qint64 pid) const
{
    for (int i = 0; i < 100; ++i) {
        QFile file(lock);
        if (file.open(QIODevice::ReadOnly)) {
            const QStringList lines = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'));
            if (lines.size() == 3 && lines.constFirst() == QString::number(pid))
                return lines.mid(0, 2);
        }
        QTest::qWait(100);
    }
    return {};
}

QString TestSingleApplication::roleOf(QProcess& process)
{
    for (int i = 0; i < 100 && !process.canReadLine(); ++i)
        process.waitForReadyRead(100);
    return QString::fromLatin1(process.readLine().trimmed());
}

void TestSingleApplication::stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    // The scheduler ends only through its tray menu.
    if (process.program().endsWith(QLatin1String("/KalvorScheduler")))
        process.kill();
    process.closeWriteChannel();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool TestSingleApplication::runAsOtherUser(const QString& shellCommand)
{
    const QString id = QString::number(kOtherUid);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setWorkingDirectory(area_->path());
    process.start(QStringLiteral("setpriv"),
                  {QStringLiteral("--reuid=") + id, QStringLiteral("--regid=") + id, QStringLiteral("--clear-groups"),
                   QStringLiteral("sh"), QStringLiteral("-c"), shellCommand});
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void TestSingleApplication::secondStartWakesFirst()
{
    auto* first = start();
    QCOMPARE(roleOf(*first), QStringLiteral("primary"));

    for (int i = 0; i < 2; ++i) {
        auto* second = start();
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
    auto* next = start();
    QCOMPARE(roleOf(*next), QStringLiteral("primary"));
}

void TestSingleApplication::startAfterKilledPrimaryBecomesPrimary()
{
    auto* first = start();
    QCOMPARE(roleOf(*first), QStringLiteral("primary"));
    ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished(5000));

    auto* next = start();
    QCOMPARE(roleOf(*next), QStringLiteral("primary"));
    // The new primary listens again: a further start reaches it.
    auto* third = start();
    QCOMPARE(roleOf(*third), QStringLiteral("secondary"));
    QVERIFY(third->waitForFinished(5000));
    QCOMPARE(roleOf(*next), QStringLiteral("woken"));
}

void TestSingleApplication::racingStartsGiveOnePrimary()
{
    for (int round = 0; round < 3; ++round) {
        std::vector<QProcess*> processes;
        for (int i = 0; i < 6; ++i)
            processes.push_back(start());
        QStringList roles;
        QProcess* primary = nullptr;
        for (QProcess* process : processes) {
            roles << roleOf(*process);
            if (roles.constLast() == QLatin1String("primary"))
                primary = process;
        }
        QCOMPARE(roles.count(QStringLiteral("primary")), 1);
        QCOMPARE(roles.count(QStringLiteral("secondary")), 5);
        for (QProcess* process : processes) {
            if (process != primary)
                QVERIFY(process->waitForFinished(5000));
        }
        // Every secondary reached the primary.
        for (int i = 0; i < 5; ++i)
            QCOMPARE(roleOf(*primary), QStringLiteral("woken"));
        primary->closeWriteChannel();
        QVERIFY(primary->waitForFinished(5000));
    }
}

void TestSingleApplication::copiesInOtherDirectoriesShareTheStore()
{
    QTemporaryDir dirA;
    QTemporaryDir dirB;
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString copyA = dirA.filePath(name);
    const QString copyB = dirB.filePath(name);
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copyA));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copyB));

    // The store is what is locked: another copy of the program on it only wakes the first.
    auto* a = start(copyA);
    QCOMPARE(roleOf(*a), QStringLiteral("primary"));
    auto* b = start(copyB);
    QCOMPARE(roleOf(*b), QStringLiteral("secondary"));
    QVERIFY(b->waitForFinished(5000));
    QCOMPARE(roleOf(*a), QStringLiteral("woken"));
}

void TestSingleApplication::secondStartMeetsThePrimary_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<QString>("role");
    QTest::newRow("store through a file link") << "file link"
                                               << "secondary";
    QTest::newRow("store through a folder link") << "folder link"
                                                 << "secondary";
    QTest::newRow("lock file deleted") << "deleted"
                                       << "secondary";
    QTest::newRow("lock file without a record") << "emptied"
                                                << "secondary";
    QTest::newRow("primary that hangs") << "stopped"
                                        << "failed";
}

void TestSingleApplication::secondStartMeetsThePrimary()
{
    QFETCH(QString, way);
    QFETCH(QString, role);
    QVERIFY(QDir().mkpath(dataDir()));
    QFile(dataDir() + QStringLiteral("/store.xml")).open(QIODevice::WriteOnly);
    auto* primary = start();
    QCOMPARE(roleOf(*primary), QStringLiteral("primary"));
    const pid_t pid = static_cast<pid_t>(primary->processId());
    dataHome_ = area(QStringLiteral("other-data"));
    if (way == QLatin1String("file link")) {
        QVERIFY(QDir().mkdir(dataHome_));
        QVERIFY(QFile::link(dataDir() + QStringLiteral("/store.xml"), dataHome_ + QStringLiteral("/store.xml")));
    } else if (way == QLatin1String("folder link")) {
        QVERIFY(QFile::link(dataDir(), dataHome_));
    } else {
        dataHome_.clear();
    }
    if (way == QLatin1String("deleted"))
        QVERIFY(QFile::remove(lockPath()));
    if (way == QLatin1String("emptied"))
        QVERIFY(QFile::resize(lockPath(), 0));
    if (way == QLatin1String("stopped"))
        QVERIFY(::kill(pid, SIGSTOP) == 0);

    auto* second = start();
    QCOMPARE(roleOf(*second), role);
    QVERIFY(second->waitForFinished(10000));
    ::kill(pid, SIGCONT);
    QCOMPARE(second->exitCode(), role == QLatin1String("failed") ? 1 : 0);
    if (role == QLatin1String("failed")) {
        const QString reason = QString::fromLocal8Bit(second->readAllStandardError());
        QVERIFY2(reason.contains(QStringLiteral("process %1, which did not answer").arg(pid)), qPrintable(reason));
    }
    QCOMPARE(roleOf(*primary), QStringLiteral("woken"));
}

void TestSingleApplication::eachUserHasOwnPrimary_data()
{
    QTest::addColumn<bool>("xdg");
    QTest::newRow("runtime directory") << true;
    QTest::newRow("temporary directory") << false;
}

void TestSingleApplication::eachUserHasOwnPrimary()
{
    if (!canActAsOtherUser())
        QSKIP("a second user needs root and setpriv");
    QFETCH(bool, xdg);
    env_ = xdg ? Env::Runtime : Env::NoRuntime;
    const QString other = QString::number(kOtherUid);
    QVERIFY(runAsOtherUser(QStringLiteral("mkdir -m 0700 run-%1 && mkdir home-%1").arg(other)));

    auto* mine = start();
    QCOMPARE(roleOf(*mine), QStringLiteral("primary"));
    auto* theirs = start(QCoreApplication::applicationFilePath(), true);
    QCOMPARE(roleOf(*theirs), QStringLiteral("primary"));

    // Each user's further starts reach that user's primary and no other.
    auto* theirSecond = start(QCoreApplication::applicationFilePath(), true);
    QCOMPARE(roleOf(*theirSecond), QStringLiteral("secondary"));
    QVERIFY(theirSecond->waitForFinished(5000));
    QCOMPARE(theirSecond->exitCode(), 0);
    QCOMPARE(roleOf(*theirs), QStringLiteral("woken"));
    auto* mySecond = start();
    QCOMPARE(roleOf(*mySecond), QStringLiteral("secondary"));
    QVERIFY(mySecond->waitForFinished(5000));
    QCOMPARE(roleOf(*mine), QStringLiteral("woken"));
    QVERIFY(!mine->canReadLine());
    QVERIFY(!theirs->canReadLine());
}

void TestSingleApplication::runtimeDirectoryOfOthersIsNotUsed_data()
{
    QTest::addColumn<bool>("foreign");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("link");
    QTest::addColumn<QString>("why");
    QTest::newRow("own, open to others") << false << 0755 << false << "has mode 0755";
    QTest::newRow("other user's") << true << 0700 << false << "belongs to user";
    QTest::newRow("link to an own private directory") << false << 0700 << true << "is a symbolic link";
}

void TestSingleApplication::runtimeDirectoryOfOthersIsNotUsed()
{
    QFETCH(bool, foreign);
    QFETCH(int, mode);
    QFETCH(bool, link);
    QFETCH(QString, why);
    if (foreign && !canActAsOtherUser())
        QSKIP("a second user needs root and setpriv");
    QString runtime = runtimeDirOf(::geteuid());
    QVERIFY(::chmod(QFile::encodeName(runtime).constData(), static_cast<mode_t>(mode)) == 0);
    if (foreign)
        QVERIFY(::chown(QFile::encodeName(runtime).constData(), kOtherUid, kOtherUid) == 0);
    if (link) {
        QVERIFY(QDir().rename(runtime, area(QStringLiteral("real-run"))));
        QVERIFY(QFile::link(area(QStringLiteral("real-run")), runtime));
        runtime = area(QStringLiteral("real-run"));
    }

    // The guard still works, with its socket in a private folder of the temporary directory.
    auto* primary = start();
    QCOMPARE(roleOf(*primary), QStringLiteral("primary"));
    auto* secondary = start();
    QCOMPARE(roleOf(*secondary), QStringLiteral("secondary"));
    QVERIFY(secondary->waitForFinished(5000));
    QCOMPARE(roleOf(*primary), QStringLiteral("woken"));
    QCOMPARE(QDir(runtime).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), QStringList());
    const QString warning = QString::fromLocal8Bit(primary->readAllStandardError());
    QVERIFY2(warning.contains(runtimeDirOf(::geteuid()) + QLatin1Char(' ') + why), qPrintable(warning));
    struct stat status = {};
    QVERIFY(::stat(QFile::encodeName(runtime).constData(), &status) == 0);
    QCOMPARE(status.st_mode & 07777, static_cast<mode_t>(mode));
}

void TestSingleApplication::unsafeLockIsRefused_data()
{
    QTest::addColumn<Plant>("plant");
    QTest::newRow("link to an own file") << Plant::LinkToOwnFile;
    QTest::newRow("dangling link") << Plant::DanglingLink;
    QTest::newRow("hard link to an own file") << Plant::HardLinkToOwnFile;
    QTest::newRow("directory") << Plant::Directory;
    QTest::newRow("other user's file") << Plant::ForeignFile;
}

void TestSingleApplication::unsafeLockIsRefused()
{
    QFETCH(Plant, plant);
    if (plant == Plant::ForeignFile && !canActAsOtherUser())
        QSKIP("a second user needs root and setpriv");

    // What an attack aims at: a file of ours that must stay as it is.
    const QString victimFile = area(QStringLiteral("victim.txt"));
    const QString missing = area(QStringLiteral("created-through-link"));
    {
        QFile file(victimFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious\n");
    }
    QVERIFY(::chmod(QFile::encodeName(victimFile).constData(), 0640) == 0);
    QVERIFY(QDir().mkpath(dataDir()));
    const QByteArray lock = QFile::encodeName(lockPath());
    switch (plant) {
    case Plant::LinkToOwnFile:
        QVERIFY(QFile::link(victimFile, lockPath()));
        break;
    case Plant::DanglingLink:
        QVERIFY(QFile::link(missing, lockPath()));
        break;
    case Plant::HardLinkToOwnFile:
        QVERIFY(::link(QFile::encodeName(victimFile).constData(), lock.constData()) == 0);
        break;
    case Plant::Directory:
        QVERIFY(QDir().mkdir(lockPath()));
        break;
    case Plant::ForeignFile:
        QVERIFY(runAsOtherUser(QStringLiteral(": > foreign-lock")));
        QVERIFY(QDir().rename(area(QStringLiteral("foreign-lock")), lockPath()));
        break;
    }

    auto* process = start();
    QCOMPARE(roleOf(*process), QStringLiteral("failed"));
    QVERIFY(process->waitForFinished(5000));
    QCOMPARE(process->exitCode(), 1);
    const QString reason = QString::fromLocal8Bit(process->readAllStandardError());
    QVERIFY2(reason.contains(lockPath()), qPrintable(reason));

    // Nothing planted was followed or written to.
    QFile victim(victimFile);
    QVERIFY(victim.open(QIODevice::ReadOnly));
    QCOMPARE(victim.readAll(), QByteArrayLiteral("precious\n"));
    struct stat victimStatus = {};
    QVERIFY(::stat(QFile::encodeName(victimFile).constData(), &victimStatus) == 0);
    QCOMPARE(victimStatus.st_mode & 07777, 0640u);
    QVERIFY(!QFileInfo::exists(missing));
    if (plant == Plant::ForeignFile)
        QCOMPARE(QFileInfo(lockPath()).size(), 0);
}

void TestSingleApplication::schedulerRefusesUnsafeLock()
{
    // The program itself says why it cannot start instead of ending as if another
    // instance ran.
    if (!QFileInfo(schedulerPath()).isExecutable())
        QSKIP("KALVOR_BIN_DIR has no KalvorScheduler");
    QVERIFY(QDir().mkpath(QFileInfo(schedulerLockPath()).path()));
    QVERIFY(QFile::link(area(QStringLiteral("elsewhere")), schedulerLockPath()));

    auto* process = startScheduler();
    QVERIFY(process->waitForFinished(10000));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 1);
    const QString reason = QString::fromLocal8Bit(process->readAllStandardError());
    // The line is the program's own words alone, with nothing of the logging in front.
    const QStringList lines = reason.split(QLatin1Char('\n'));
    QVERIFY2(std::any_of(lines.begin(), lines.end(),
                         [&](const QString& line) {
                             return line.startsWith(QLatin1String("KalvorScheduler: ")) &&
                                    line.contains(schedulerLockPath() + QLatin1String(": is a symbolic link"));
                         }),
             qPrintable(reason));
}

void TestSingleApplication::schedulerSecondStartReachesFirst_data()
{
    QTest::addColumn<Env>("first");
    QTest::addColumn<Env>("second");
    QTest::addColumn<bool>("foreignFolder");
    QTest::newRow("same environment") << Env::Runtime << Env::Runtime << false;
    QTest::newRow("second without a runtime directory") << Env::Runtime << Env::NoRuntime << false;
    QTest::newRow("first without a runtime directory") << Env::NoRuntime << Env::Runtime << false;
    QTest::newRow("runtime directory too long for a socket") << Env::LongRuntime << Env::LongRuntime << false;
    QTest::newRow("other user's folder at the old fixed name") << Env::NoRuntime << Env::NoRuntime << true;
}

void TestSingleApplication::schedulerSecondStartReachesFirst()
{
    QFETCH(Env, first);
    QFETCH(Env, second);
    QFETCH(bool, foreignFolder);
    if (!QFileInfo(schedulerPath()).isExecutable())
        QSKIP("KALVOR_BIN_DIR has no KalvorScheduler");
    if (foreignFolder && !canActAsOtherUser())
        QSKIP("a second user needs root and setpriv");
    if (foreignFolder)
        QVERIFY(runAsOtherUser(QStringLiteral("mkdir -m 0700 kalvor-scheduler-%1").arg(::geteuid())));

    env_ = first;
    auto* primary = startScheduler();
    const QStringList record = recordOf(schedulerLockPath(), primary->processId());
    QCOMPARE(record.size(), 2);
    QVERIFY2(!record.at(1).isEmpty() && QFile::encodeName(record.at(1)).size() <= 107, qPrintable(record.at(1)));

    env_ = second;
    for (int i = 0; i < 2; ++i) {
        auto* next = startScheduler();
        QVERIFY(next->waitForFinished(10000));
        QCOMPARE(next->exitStatus(), QProcess::NormalExit);
        QCOMPARE(next->exitCode(), 0);
    }
    QCOMPARE(primary->state(), QProcess::Running);
}

void TestSingleApplication::schedulerNamesTheUnreachableHolder_data()
{
    QTest::addColumn<bool>("withoutLockFile");
    QTest::newRow("named by its record") << false;
    QTest::newRow("lock file deleted") << true;
}

void TestSingleApplication::schedulerNamesTheUnreachableHolder()
{
    QFETCH(bool, withoutLockFile);
    if (!QFileInfo(schedulerPath()).isExecutable())
        QSKIP("KALVOR_BIN_DIR has no KalvorScheduler");
    auto* primary = startScheduler();
    const QStringList record = recordOf(schedulerLockPath(), primary->processId());
    QCOMPARE(record.size(), 2);
    // A holder that cannot be woken: its socket is gone.
    QVERIFY(QFile::remove(record.at(1)));
    if (withoutLockFile)
        QVERIFY(QFile::remove(schedulerLockPath()));

    env_ = Env::NoRuntime;
    auto* next = startScheduler();
    QVERIFY(next->waitForFinished(10000));
    QCOMPARE(next->exitStatus(), QProcess::NormalExit);
    QCOMPARE(next->exitCode(), 1);
    const QString reason = QString::fromLocal8Bit(next->readAllStandardError());
    QVERIFY2(reason.contains(QStringLiteral("in use by process %1").arg(primary->processId())), qPrintable(reason));
    QCOMPARE(primary->state(), QProcess::Running);
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
