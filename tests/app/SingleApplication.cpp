#include "app/SingleApplication.h"

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
    SingleApplication app(argc, argv, true, SingleApplication::Mode::SecondaryNotification, 1000);
    if (app.hasFailed()) {
        std::printf("failed\n");
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", qUtf8Printable(app.errorString()));
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

enum class Plant
{
    ForeignPrivateDirectory,
    ForeignOpenDirectoryWithEmptyLock,
    ForeignFileAtDirectory,
    ForeignLinkToOwnDirectory,
    OwnOpenDirectory,
    LinkAtLockToOwnFile,
    DanglingLinkAtLock,
};

} // namespace

Q_DECLARE_METATYPE(Plant)

class TestSingleApplication : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void secondStartWakesFirst();
    void startAfterKilledPrimaryBecomesPrimary();
    void racingStartsGiveOnePrimary();
    void copiesInOtherDirectoriesAreIndependent();
    void eachUserHasOwnPrimary_data();
    void eachUserHasOwnPrimary();
    void runtimeDirectoryOfOthersIsNotUsed_data();
    void runtimeDirectoryOfOthersIsNotUsed();
    void unsafePlaceIsRefused_data();
    void unsafePlaceIsRefused();
    void schedulerRefusesUnsafePlace();

private:
    // Starts an instance of `program` under this test's temporary directory, with or
    // without an XDG runtime directory, as this user or as kOtherUid.
    QProcess* start(const QString& program = QCoreApplication::applicationFilePath(), bool asOtherUser = false);
    // Waits for the next line an instance prints ("primary", "secondary", "woken", ...).
    static QString roleOf(QProcess& process);
    static void stop(QProcess& process);
    bool runAsOtherUser(const QString& shellCommand);
    QString area(const QString& name) const { return QDir(area_->path()).filePath(name); }
    QString runtimeDirOf(uid_t uid) const { return area(QStringLiteral("run-%1").arg(uid)); }

    // Names the guard chose, learnt from a real start: the per-user directory that it
    // makes in the temporary directory and its lock file (same name in either place).
    QString userDirName_;
    QString lockName_;
    std::unique_ptr<QTemporaryDir> area_;
    bool xdg_ = true;
    std::vector<std::unique_ptr<QProcess>> started_;
};

void TestSingleApplication::initTestCase()
{
    init();
    xdg_ = false;
    auto* primary = start();
    QCOMPARE(roleOf(*primary), QStringLiteral("primary"));
    stop(*primary);
    const QStringList dirs = QDir(area_->path()).entryList({QStringLiteral("kalvor*")}, QDir::Dirs);
    QCOMPARE(dirs.size(), 1);
    userDirName_ = dirs.constFirst();
    const QStringList locks = QDir(area(userDirName_)).entryList({QStringLiteral("*.lock")}, QDir::Files);
    QCOMPARE(locks.size(), 1);
    lockName_ = locks.constFirst();
    // Made for this user alone.
    struct stat made = {};
    QVERIFY(::stat(QFile::encodeName(area(userDirName_)).constData(), &made) == 0);
    QCOMPARE(made.st_mode & 077, 0u);
    cleanup();
}

void TestSingleApplication::init()
{
    // Private to each test; open to all like /tmp so that a second user can work in it.
    // A short name: a local socket's path must fit in 107 bytes.
    area_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/ksa-XXXXXX"));
    QVERIFY(area_->isValid());
    QVERIFY(::chmod(QFile::encodeName(area_->path()).constData(), 01777) == 0);
    QVERIFY(QDir().mkdir(runtimeDirOf(::geteuid())));
    QVERIFY(::chmod(QFile::encodeName(runtimeDirOf(::geteuid())).constData(), 0700) == 0);
    xdg_ = true;
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
    const uid_t uid = asOtherUser ? kOtherUid : ::geteuid();
    if (xdg_)
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirOf(uid));
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

void TestSingleApplication::copiesInOtherDirectoriesAreIndependent()
{
    QTemporaryDir dirA;
    QTemporaryDir dirB;
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString copyA = dirA.filePath(name);
    const QString copyB = dirB.filePath(name);
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copyA));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copyB));

    auto* a = start(copyA);
    auto* b = start(copyB);
    QCOMPARE(roleOf(*a), QStringLiteral("primary"));
    QCOMPARE(roleOf(*b), QStringLiteral("primary"));
    auto* a2 = start(copyA);
    QCOMPARE(roleOf(*a2), QStringLiteral("secondary"));
    QVERIFY(a2->waitForFinished(5000));
    QCOMPARE(roleOf(*a), QStringLiteral("woken"));
}

void TestSingleApplication::eachUserHasOwnPrimary_data()
{
    QTest::addColumn<bool>("xdg");
    QTest::newRow("runtime directory") << true;
    QTest::newRow("temporary directory") << false;
}

void TestSingleApplication::eachUserHasOwnPrimary()
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("a second user needs root and setpriv");
    QFETCH(bool, xdg);
    xdg_ = xdg;
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
    QTest::newRow("own, open to others") << false << 0755;
    QTest::newRow("other user's") << true << 0700;
}

void TestSingleApplication::runtimeDirectoryOfOthersIsNotUsed()
{
    QFETCH(bool, foreign);
    QFETCH(int, mode);
    if (foreign && (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()))
        QSKIP("a second user needs root and setpriv");
    const QString runtime = runtimeDirOf(::geteuid());
    QVERIFY(::chmod(QFile::encodeName(runtime).constData(), static_cast<mode_t>(mode)) == 0);
    if (foreign)
        QVERIFY(::chown(QFile::encodeName(runtime).constData(), kOtherUid, kOtherUid) == 0);

    // The guard still works, from the private directory in the temporary directory.
    auto* primary = start();
    QCOMPARE(roleOf(*primary), QStringLiteral("primary"));
    auto* secondary = start();
    QCOMPARE(roleOf(*secondary), QStringLiteral("secondary"));
    QVERIFY(secondary->waitForFinished(5000));
    QCOMPARE(roleOf(*primary), QStringLiteral("woken"));
    QCOMPARE(QDir(runtime).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), QStringList());
    QVERIFY(QFileInfo::exists(QDir(area(userDirName_)).filePath(lockName_)));
    struct stat status = {};
    QVERIFY(::stat(QFile::encodeName(runtime).constData(), &status) == 0);
    QCOMPARE(status.st_mode & 07777, static_cast<mode_t>(mode));
}

void TestSingleApplication::unsafePlaceIsRefused_data()
{
    QTest::addColumn<Plant>("plant");
    QTest::addColumn<bool>("xdg");

    QTest::newRow("other user's private directory") << Plant::ForeignPrivateDirectory << false;
    QTest::newRow("other user's open directory with an empty lock")
        << Plant::ForeignOpenDirectoryWithEmptyLock << false;
    QTest::newRow("other user's file in place of the directory") << Plant::ForeignFileAtDirectory << false;
    QTest::newRow("other user's link to our own directory") << Plant::ForeignLinkToOwnDirectory << false;
    QTest::newRow("own directory open to others") << Plant::OwnOpenDirectory << false;
    QTest::newRow("link at the lock to a file, temporary directory") << Plant::LinkAtLockToOwnFile << false;
    QTest::newRow("link at the lock to a file, runtime directory") << Plant::LinkAtLockToOwnFile << true;
    QTest::newRow("dangling link at the lock, runtime directory") << Plant::DanglingLinkAtLock << true;
}

void TestSingleApplication::unsafePlaceIsRefused()
{
    QFETCH(Plant, plant);
    QFETCH(bool, xdg);
    xdg_ = xdg;
    const bool foreign = plant == Plant::ForeignPrivateDirectory || plant == Plant::ForeignOpenDirectoryWithEmptyLock ||
                         plant == Plant::ForeignFileAtDirectory || plant == Plant::ForeignLinkToOwnDirectory;
    if (foreign && (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()))
        QSKIP("a second user needs root and setpriv");

    // What an attack aims at: a file and a directory of ours that must stay as they are.
    const QString victimFile = area(QStringLiteral("victim.txt"));
    const QString victimDir = area(QStringLiteral("victim"));
    const QString missing = area(QStringLiteral("victim/created-through-link"));
    {
        QFile file(victimFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious\n");
    }
    QVERIFY(::chmod(QFile::encodeName(victimFile).constData(), 0640) == 0);
    QVERIFY(QDir().mkdir(victimDir));
    QVERIFY(::chmod(QFile::encodeName(victimDir).constData(), 0700) == 0);

    const QString userDir = area(userDirName_);
    const QString place = xdg ? runtimeDirOf(::geteuid()) : userDir;
    QString named = userDir;
    switch (plant) {
    case Plant::ForeignPrivateDirectory:
        QVERIFY(runAsOtherUser(QStringLiteral("mkdir -m 0700 ") + userDirName_));
        break;
    case Plant::ForeignOpenDirectoryWithEmptyLock:
        QVERIFY(runAsOtherUser(
            QStringLiteral("mkdir -m 0777 %1 && : > %1/%2 && chmod 0666 %1/%2").arg(userDirName_, lockName_)));
        break;
    case Plant::ForeignFileAtDirectory:
        QVERIFY(runAsOtherUser(QStringLiteral(": > ") + userDirName_));
        break;
    case Plant::ForeignLinkToOwnDirectory:
        QVERIFY(runAsOtherUser(QStringLiteral("ln -s %1 %2").arg(victimDir, userDirName_)));
        break;
    case Plant::OwnOpenDirectory:
        QVERIFY(QDir().mkdir(userDir));
        QVERIFY(::chmod(QFile::encodeName(userDir).constData(), 0755) == 0);
        break;
    case Plant::LinkAtLockToOwnFile:
    case Plant::DanglingLinkAtLock:
        if (!xdg) {
            QVERIFY(QDir().mkdir(userDir));
            QVERIFY(::chmod(QFile::encodeName(userDir).constData(), 0700) == 0);
        }
        named = QDir(place).filePath(lockName_);
        QVERIFY(QFile::link(plant == Plant::DanglingLinkAtLock ? missing : victimFile, named));
        break;
    }
    struct stat before = {};
    QVERIFY(::lstat(QFile::encodeName(userDir).constData(), &before) == 0 || xdg);

    auto* process = start();
    QCOMPARE(roleOf(*process), QStringLiteral("failed"));
    QVERIFY(process->waitForFinished(5000));
    QCOMPARE(process->exitCode(), 1);
    const QString reason = QString::fromLocal8Bit(process->readAllStandardError());
    QVERIFY2(reason.contains(named), qPrintable(reason));

    // Nothing planted was followed, repaired or removed.
    QFile victim(victimFile);
    QVERIFY(victim.open(QIODevice::ReadOnly));
    QCOMPARE(victim.readAll(), QByteArrayLiteral("precious\n"));
    struct stat victimStatus = {};
    QVERIFY(::stat(QFile::encodeName(victimFile).constData(), &victimStatus) == 0);
    QCOMPARE(victimStatus.st_mode & 07777, 0640u);
    QCOMPARE(QDir(victimDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), QStringList());
    QVERIFY(!QFileInfo::exists(missing));
    struct stat after = {};
    if (!xdg) {
        QVERIFY(::lstat(QFile::encodeName(userDir).constData(), &after) == 0);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_uid, before.st_uid);
    }
    if (plant == Plant::ForeignOpenDirectoryWithEmptyLock)
        QCOMPARE(QFileInfo(QDir(userDir).filePath(lockName_)).size(), 0);
}

void TestSingleApplication::schedulerRefusesUnsafePlace()
{
    // The program itself says why it cannot start instead of ending as if another
    // instance ran.
    const QString scheduler =
        QDir(QString::fromLocal8Bit(qgetenv("KALVOR_BIN_DIR"))).filePath(QStringLiteral("KalvorScheduler"));
    if (!QFileInfo(scheduler).isExecutable())
        QSKIP("KALVOR_BIN_DIR has no KalvorScheduler");
    xdg_ = false;
    const QString userDir = area(userDirName_);
    QVERIFY(QDir().mkdir(userDir));
    QVERIFY(::chmod(QFile::encodeName(userDir).constData(), 0777) == 0);

    auto* process = start(scheduler);
    QVERIFY(process->waitForFinished(10000));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QVERIFY(process->exitCode() != 0);
    const QString reason = QString::fromLocal8Bit(process->readAllStandardError());
    // The line is the program's own words alone, with nothing of the logging in front.
    const QStringList lines = reason.split(QLatin1Char('\n'));
    QVERIFY2(std::any_of(lines.begin(), lines.end(),
                         [&](const QString& line) {
                             return line.startsWith(QLatin1String("KalvorScheduler: ")) && line.contains(userDir);
                         }),
             qPrintable(reason));
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
