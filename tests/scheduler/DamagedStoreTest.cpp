// The service started on store files damaged in the ways that happen in practice: it
// loads what can be read, and keeps the damaged file before its first save replaces it.

#include "model/StoreSalvage.h"
#include "scheduler/TaskStorage.h"
#include "support/Files.h"
#include "support/Service.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace testsupport;

namespace {

// Far ahead, so no timer fires while the test runs.
const QByteArray kYear2100 = "4102444800000000000";

QByteArray task(const QByteArray& name, const QByteArray& description = "d", const QByteArray& interval = "1")
{
    return "\t\t<task>\n\t\t\t<name>" + name + "</name>\n\t\t\t<description>" + description +
           "</description>\n\t\t\t<starting_point>" + kYear2100 +
           "</starting_point>\n\t\t\t<trigger><type>daily</type><repeat_interval>" + interval +
           "</repeat_interval></trigger>\n\t\t\t<action><type>command</type><executable>/bin/true</executable>"
           "</action>\n\t\t</task>\n";
}

QByteArray storeOf(const QByteArray& tasks)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config>\n\t<tasks>\n" + tasks + "\t</tasks>\n</config>\n";
}

// Everything in the store's folder but the store itself.
QStringList besideStore(const QString& folder)
{
    QStringList entries = QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
    entries.removeAll(QStringLiteral("storage.xml"));
    return entries;
}

// Ends the process when a step that must return promptly does not: a hang would
// otherwise only show as the suite's time-out.
class Watchdog
{
public:
    explicit Watchdog(int seconds)
        : thread_([this, seconds] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!done_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stop_; })) {
                std::fprintf(stderr, "FAIL: the service did not start within %d s\n", seconds);
                std::_Exit(1);
            }
        })
    {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        done_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace

class DamagedStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void startsOnDamagedStore_data();
    void startsOnDamagedStore();
};

void DamagedStoreTest::startsOnDamagedStore_data()
{
    QTest::addColumn<QByteArray>("content"); // "LARGE": a sparse file beyond the bound
    QTest::addColumn<bool>("fifo");
    QTest::addColumn<QStringList>("loaded");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<bool>("damaged");

    const QStringList ac{QStringLiteral("Первая"), QStringLiteral("Третья")};
    const QByteArray a = task("Первая"), c = task("Третья");

    QTest::newRow("undamaged") << storeOf(a + task("Вторая") + c) << false
                               << QStringList{ac[0], QStringLiteral("Вторая"), ac[1]} << 0 << false;
    QTest::newRow("stray < in a name") << storeOf(a + task("Вторая <") + c) << false << ac << 1 << true;
    QByteArray cut = storeOf(a + task("Вторая") + c);
    cut.truncate(cut.indexOf("Вторая") + 40);
    QTest::newRow("truncated in the middle") << cut << false << QStringList{ac[0]} << 1 << true;
    QTest::newRow("25,000 nested elements")
        << storeOf(a + task(QByteArray("<x>").repeated(25'000) + QByteArray("</x>").repeated(25'000)) + c) << false
        << ac << 1 << true;
    // The reader skips an unknown declaration up to its first '>' only.
    QTest::newRow("200,000 elements behind an unknown declaration")
        << storeOf(a + task("Вторая", "<!x[" + QByteArray("<a>").repeated(200'000)) + c) << false << ac << 1 << true;
    QTest::newRow("a task that cannot be read")
        << storeOf(a + task("Вторая", "d", "x") + c) << false << ac << 1 << true;
    QTest::newRow("FIFO at the store path") << QByteArray() << true << QStringList() << 0 << true;
    QByteArray zeroed = storeOf(a + task("Вторая") + c);
    zeroed.replace(0, zeroed.indexOf("Вторая"), QByteArray(zeroed.indexOf("Вторая"), '\0'));
    QTest::newRow("zeroed first block") << zeroed << false << QStringList{ac[1]} << 0 << true;
    QTest::newRow("bytes that are not UTF-8") << storeOf(a + task("Вт\xE9орая") + c) << false
                                              << QStringList{ac[0], QStringLiteral("Вт\uFFFDорая"), ac[1]} << 0 << true;
    QTest::newRow("larger than any store") << QByteArray("LARGE") << false << QStringList() << 0 << true;
}

void DamagedStoreTest::startsOnDamagedStore()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, fifo);
    QFETCH(QStringList, loaded);
    QFETCH(int, dropped);
    QFETCH(bool, damaged);
    const bool large = content == "LARGE";

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("data"));
    const QString store = folder + QStringLiteral("/storage.xml");
    QVERIFY(QDir().mkpath(folder));
    if (fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(store).constData(), 0600), 0);
    else
        writeFile(store, large ? QByteArray() : content);
    struct stat original
    {};
    if (large) {
        QVERIFY(QFile::resize(store, qint64(257) << 20)); // sparse: nothing is written
        QCOMPARE(::stat(QFile::encodeName(store).constData(), &original), 0);
    }

    {
        std::unique_ptr<TaskStorage> service;
        {
            Watchdog watchdog(20);
            service = std::make_unique<TaskStorage>(fsPath(store), fsPath(dir.filePath(QStringLiteral("logs"))),
                                                    vadro::CreateCore());
        }
        QCOMPARE(taskNames(*service), loaded);
        const TaskStorage::StoreDamage damage = service->Damage();
        QCOMPARE(!damage.reason.empty(), damaged);
        QCOMPARE(damage.recovered, std::size_t(loaded.size()));
        QCOMPARE(damage.dropped, std::size_t(dropped));
        // Loading writes nothing: the damaged file stays as it is until a change is saved.
        QVERIFY(damage.keptAs.empty());
        QCOMPARE(besideStore(folder), QStringList());
        if (!fifo && !large)
            QCOMPARE(readFile(store), content);

        TaskInfo added;
        added.name = L"Новая";
        added.starting_point = kYear2100.toLongLong();
        service->AddTask(added);
        service->AddTask(added); // a second save keeps no second copy

        const QStringList beside = besideStore(folder);
        if (!damaged) {
            QCOMPARE(beside, QStringList());
        } else {
            QCOMPARE(beside.size(), 1);
            QVERIFY2(beside[0].startsWith(QStringLiteral("storage.xml.damaged-")), qPrintable(beside[0]));
            const QString kept = folder + QLatin1Char('/') + beside[0];
            QCOMPARE(QString::fromStdString(service->Damage().keptAs.string()), kept);
            struct stat st
            {};
            QCOMPARE(::lstat(QFile::encodeName(kept).constData(), &st), 0);
            if (fifo) {
                QVERIFY(S_ISFIFO(st.st_mode));
            } else if (large) {
                QCOMPARE(st.st_ino, original.st_ino); // moved aside, never read or copied
            } else {
                QVERIFY(S_ISREG(st.st_mode));
                QCOMPARE(st.st_mode & 07777, mode_t(0600));
                QCOMPARE(readFile(kept), content);
            }
        }
    }

    // The saved store holds what was recovered and the new tasks, and loads whole.
    Watchdog watchdog(20);
    TaskStorage again(fsPath(store), fsPath(dir.filePath(QStringLiteral("logs"))), vadro::CreateCore());
    const QStringList expected = loaded + QStringList{QStringLiteral("Новая"), QStringLiteral("Новая")};
    QCOMPARE(taskNames(again), expected);
    QVERIFY(again.Damage().reason.empty());
}

QTEST_GUILESS_MAIN(DamagedStoreTest)
#include "DamagedStoreTest.moc"
