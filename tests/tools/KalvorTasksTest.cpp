// End-to-end runs of the built kalvor-tasks on store files written into a temporary
// directory. Expected next runs were worked out by hand from the zone rules of
// Europe/Berlin (CET = UTC+1, CEST = UTC+2 from 2026-03-29 02:00 local).

#include "support/Files.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

using Result = testsupport::ProgramResult;
using testsupport::readFile;
using testsupport::writeFile;

const QByteArray kCommand = "<action><type>command</type><executable>/bin/true</executable></action>";

QByteArray task(const QByteArray& name, const QByteArray& start, const QByteArray& trigger,
                const QByteArray& action = kCommand)
{
    return "<task><name>" + name + "</name><description>d</description><starting_point>" + start +
           "</starting_point><trigger>" + trigger + "</trigger>" + action + "</task>";
}

QByteArray daily(int interval)
{
    return "<type>daily</type><repeat_interval>" + QByteArray::number(interval) + "</repeat_interval>";
}

QByteArray storeOf(const QByteArray& tasks)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config>\n<tasks>\n" + tasks + "\n</tasks>\n</config>\n";
}

// 2026-01-01 09:00 in Berlin (08:00 UTC).
const QByteArray kJan1 = "1767254400000000000";

} // namespace

class KalvorTasksTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void list_data();
    void list();
    void listsTheProgramsOwnStoreReadOnly();
    void status();
    void validate_data();
    void validate();
    void repairWritesWhatTheProgramSaves();
    void repairRefusesItsInput_data();
    void repairRefusesItsInput();
    void repairRefusesTheLiveStore_data();
    void repairRefusesTheLiveStore();
    void errors_data();
    void errors();
    void unreadableStore();
    void damagedStore_data();
    void damagedStore();
    void controlWithoutScheduler_data();
    void controlWithoutScheduler();
    void controlOfARunningScheduler();

private:
    Result run(const QStringList& args, const QString& tz = QStringLiteral("Europe/Berlin"));
    QString path(const QString& name) const { return dir_->filePath(name); }

    QString tool_;
    std::unique_ptr<QTemporaryDir> dir_;
};

Result KalvorTasksTest::run(const QStringList& args, const QString& tz)
{
    return testsupport::runProgram(tool_, args,
                                   {{QStringLiteral("TZ"), tz},
                                    {QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data"))},
                                    {QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral("cache"))},
                                    {QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config"))}},
                                   30'000);
}

void KalvorTasksTest::initTestCase()
{
    tool_ = testsupport::binPath(QStringLiteral("kalvor-tasks"));
    QVERIFY2(QFileInfo(tool_).isExecutable(), qPrintable(QStringLiteral("kalvor-tasks is not built: ") + tool_));
}

void KalvorTasksTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void KalvorTasksTest::list_data()
{
    QTest::addColumn<QByteArray>("tasks");
    QTest::addColumn<QString>("now");
    QTest::addColumn<QString>("tz");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("daily, the next day at the start's time")
        << task("Ежедневная", kJan1, daily(1)) << QString::fromLatin1(kJan1) << QStringLiteral("Europe/Berlin")
        << QByteArray("0\t1767340800000000000\t2026-01-02 09:00:00\tЕжедневная\n");
    QTest::newRow("local time follows TZ")
        << task("utc", kJan1, daily(1)) << QString::fromLatin1(kJan1) << QStringLiteral("UTC")
        << QByteArray("0\t1767340800000000000\t2026-01-02 08:00:00\tutc\n");
    QTest::newRow("local time drops the fraction of a second")
        << task("frac", "1767254400500000000", daily(1)) << QStringLiteral("1767254400500000000")
        << QStringLiteral("Europe/Berlin") << QByteArray("0\t1767340800500000000\t2026-01-02 09:00:00\tfrac\n");
    QTest::newRow("start ahead of now") << task("later", "1780308000000000000", daily(2)) << QString::fromLatin1(kJan1)
                                        << QStringLiteral("Europe/Berlin")
                                        << QByteArray("0\t1780308000000000000\t2026-06-01 12:00:00\tlater\n");
    // Sundays at 02:30 from 2026-03-22; 02:30 does not exist on 2026-03-29 and runs at 03:00 CEST.
    QTest::newRow("weekly run in the spring-forward gap")
        << task("gap", "1774143000000000000",
                "<type>weekly</type><repeat_interval>1</repeat_interval><weekdays><weekday>7</weekday></weekdays>")
        << QStringLiteral("1774143000000000000") << QStringLiteral("Europe/Berlin")
        << QByteArray("0\t1774746000000000000\t2026-03-29 03:00:00\tgap\n");
    // The 31st at 10:00 from 2026-01-31: February has no 31st.
    QTest::newRow("monthly skips a month without the day")
        << task("month", "1769850000000000000",
                "<type>monthly</type><repeat_interval>1</repeat_interval><days><day>31</day></days>")
        << QStringLiteral("1769850000000000000") << QStringLiteral("Europe/Berlin")
        << QByteArray("0\t1774944000000000000\t2026-03-31 10:00:00\tmonth\n");
    QTest::newRow("weekly without weekdays never runs")
        << task("none", kJan1, "<type>weekly</type><repeat_interval>1</repeat_interval><weekdays/>")
        << QString::fromLatin1(kJan1) << QStringLiteral("Europe/Berlin") << QByteArray("0\tnever\tnever\tnone\n");
    QTest::newRow("dropped tasks keep their positions; other elements have none")
        << task("bad", kJan1, "<type>hourly</type><repeat_interval>1</repeat_interval>") + "<note/>" +
               task("good", kJan1, daily(1)) + task("worse", "x", daily(1))
        << QString::fromLatin1(kJan1) << QStringLiteral("Europe/Berlin")
        << QByteArray("1\t1767340800000000000\t2026-01-02 09:00:00\tgood\n");
    QTest::newRow("no tasks") << QByteArray() << QString::fromLatin1(kJan1) << QStringLiteral("Europe/Berlin")
                              << QByteArray();
    QTest::newRow("numbers the schedule cannot use: kept, never run")
        << task("zero", kJan1, daily(0)) +
               task(
                   "weekday 8", kJan1,
                   "<type>weekly</type><repeat_interval>1</repeat_interval><weekdays><weekday>8</weekday></weekdays>") +
               task("month 13", kJan1,
                    "<type>monthly</type><repeat_interval>1</repeat_interval><months><month>13</month></months>")
        << QString::fromLatin1(kJan1) << QStringLiteral("Europe/Berlin")
        << QByteArray("0\tnever\tnever\tzero\n1\tnever\tnever\tweekday 8\n2\tnever\tnever\tmonth 13\n");
}

void KalvorTasksTest::list()
{
    QFETCH(QByteArray, tasks);
    QFETCH(QString, now);
    QFETCH(QString, tz);
    QFETCH(QByteArray, expected);
    const QString store = path(QStringLiteral("storage.xml"));
    writeFile(store, storeOf(tasks));

    const Result r = run({QStringLiteral("list"), QStringLiteral("--store"), store, QStringLiteral("--now"), now}, tz);
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, expected);
}

void KalvorTasksTest::listsTheProgramsOwnStoreReadOnly()
{
    const QString store = path(QStringLiteral("data/Holmiq/KalvorScheduler/storage.xml"));
    const QByteArray content = storeOf(task("своя", kJan1, daily(1)));
    writeFile(store, content);
    const QDateTime modified = QFileInfo(store).lastModified();

    const Result r = run({QStringLiteral("list"), QStringLiteral("--now=") + QString::fromLatin1(kJan1)});
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("0\t1767340800000000000\t2026-01-02 09:00:00\tсвоя\n"));

    // Nothing written: not the store, no log directory, no settings.
    QCOMPARE(readFile(store), content);
    QCOMPARE(QFileInfo(store).lastModified(), modified);
    QCOMPARE(
        QDir(path(QStringLiteral("data/Holmiq/KalvorScheduler"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
        QStringList{QStringLiteral("storage.xml")});
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("cache"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("config"))));
}

// What the program keeps of the runs, as status shows it: local times, one word per
// outcome, the name last and readable back.
void KalvorTasksTest::status()
{
    const auto lastRun = [](const QByteArray& started, const QByteArray& outcome) -> QByteArray {
        return "<last_run><started>" + started + "</started><ended>0</ended><outcome>" + outcome +
               "</outcome><reason>Код 3</reason></last_run>";
    };
    const QByteArray in2036 = "2082787200000000000"; // 2036-01-01 09:00 in Berlin
    const QByteArray noWeekdays = "<type>weekly</type><repeat_interval>1</repeat_interval><weekdays/>";
    QByteArray failed = task("a&#9;b&#10;c\\d", in2036, daily(1));
    failed.insert(failed.size() - 7, lastRun(kJan1, "failed"));
    QByteArray running = task("идёт", kJan1, noWeekdays);
    running.insert(running.size() - 7, lastRun("1782901805999999999", "running"));
    QByteArray succeeded = task("ok", in2036, daily(1));
    succeeded.insert(succeeded.size() - 7, lastRun(kJan1, "succeeded"));
    QByteArray unknown = task("?", in2036, daily(1));
    unknown.insert(unknown.size() - 7, lastRun(kJan1, "unknown"));
    QByteArray paused = task("p", in2036, daily(1));
    paused.insert(paused.size() - 7, "<paused>true</paused>" + lastRun(kJan1, "stopped"));
    QByteArray retried = task("r", in2036, daily(1));
    retried.insert(retried.size() - 7, "<retry_count>3</retry_count>" + lastRun(kJan1, "failed") +
                                           "<pending_retry><at>" + in2036 +
                                           "</at><attempt>2</attempt></pending_retry>");
    const QString store = path(QStringLiteral("storage.xml"));
    writeFile(store, storeOf(failed + task("bad", "x", daily(1)) + running + task("new", in2036, daily(1)) + succeeded +
                             unknown + paused + retried));

    const Result r = run({QStringLiteral("status"), QStringLiteral("--store"), store});
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("0\t2036-01-01 09:00:00\t2026-01-01 09:00:00\tfailed\ta\\tb\\nc\\\\d\t-\n"
                               "2\tnever\t2026-07-01 12:30:05\trunning\tидёт\t-\n"
                               "3\t2036-01-01 09:00:00\t-\t-\tnew\t-\n"
                               "4\t2036-01-01 09:00:00\t2026-01-01 09:00:00\tok\tok\t-\n"
                               "5\t2036-01-01 09:00:00\t2026-01-01 09:00:00\tunknown\t?\t-\n"
                               "6\tpaused\t2026-01-01 09:00:00\tstopped\tp\t-\n"
                               "7\t2036-01-01 09:00:00\t2026-01-01 09:00:00\tfailed\tr\t2/3 2036-01-01 09:00:00\n"));
}

void KalvorTasksTest::validate_data()
{
    QTest::addColumn<QByteArray>("tasks");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("exitCode");

    const QByteArray good = task("good", kJan1, daily(1));
    QTest::newRow("all loaded") << good + good << QByteArray() << 0;
    QTest::newRow("no tasks") << QByteArray() << QByteArray() << 0;
    QTest::newRow("interval of zero is kept with a warning")
        << good + task("zero", kJan1, daily(0))
        << QByteArray("1\twarning: trigger.repeat_interval 0 is not at least 1\n") << 0;
    QTest::newRow("missing name") << QByteArray("<task><description/><starting_point>1</starting_point><trigger>") +
                                         daily(1) + "</trigger>" + kCommand + "</task>"
                                  << QByteArray("0\tmissing element name\n") << 1;
    QTest::newRow("starting point not a number")
        << task("bad", "soon", daily(1)) << QByteArray("0\tbad number in starting_point\n") << 1;
    QTest::newRow("numbers out of range are kept with warnings")
        << task("weekly", kJan1,
                "<type>weekly</type><repeat_interval>1</repeat_interval><weekdays><weekday>8</weekday>"
                "<weekday>300</weekday></weekdays>") +
               task("monthly", kJan1,
                    "<type>monthly</type><repeat_interval>-1</repeat_interval><months><month>0</month></months>"
                    "<days><day>32</day></days>")
        << QByteArray("0\twarning: weekday 8 is outside 0-7\n0\twarning: weekday 300 is outside 0-7\n"
                      "1\twarning: trigger.repeat_interval -1 is not at least 1\n1\twarning: month 0 is outside "
                      "1-12\n1\twarning: day 32 is outside 1-31\n")
        << 0;
    QTest::newRow("a character XML cannot hold drops its task, warnings stay")
        << task("a&#0;b", kJan1, daily(1)) + task("zero", kJan1, daily(0))
        << QByteArray("0\tcharacter U+0000 that XML cannot hold in name\n1\twarning: trigger.repeat_interval 0 is "
                      "not at least 1\n")
        << 1;
    QTest::newRow("bad connection identifier")
        << task("bad", kJan1, daily(1),
                "<action><type>backup</type><connection_id>nope</connection_id><source_path>a</source_path>"
                "<destination_path>b</destination_path></action>")
        << QByteArray("0\tbad identifier in connection_id\n") << 1;
    QTest::newRow("every bad task, in order, others kept")
        << task("a", kJan1, daily(1), "<action><type>mail</type></action>") + good +
               task("c", kJan1, "<type>hourly</type><repeat_interval>1</repeat_interval>")
        << QByteArray("0\tunknown action type 'mail'\n2\tunknown trigger type 'hourly'\n") << 1;
}

void KalvorTasksTest::validate()
{
    QFETCH(QByteArray, tasks);
    QFETCH(QByteArray, expected);
    QFETCH(int, exitCode);
    const QString store = path(QStringLiteral("storage.xml"));
    writeFile(store, storeOf(tasks));

    const Result r = run({QStringLiteral("validate"), QStringLiteral("--store"), store});
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.out, expected);
    QCOMPARE(r.exitCode, exitCode);
}

void KalvorTasksTest::repairWritesWhatTheProgramSaves()
{
    // Lenient spellings that a load accepts, one task that it drops, and values that a
    // save writes differently (identifier case and braces, Sunday as 0, flags as digits,
    // times kept only while only-changed is on).
    const QByteArray input = storeOf(
        "<task><name>Резервная копия</name><description/><starting_point> 1767254400000000000 </starting_point>"
        "<trigger><type>weekly</type><repeat_interval>2</repeat_interval>"
        "<weekdays><weekday>3</weekday><weekday>0</weekday></weekdays></trigger>"
        "<action><type>backup</type><connection_id>{0F8FAD5B-D9CB-469F-A165-70867728950E}</connection_id>"
        "<source_path>vadro://Демо/Проекты</source_path><destination_path>/srv/backup</destination_path></action>"
        "</task>" +
        task("плохая", "soon", daily(1)) +
        "<task><name>Выгрузка IFC</name><description>модель</description><starting_point>1767254400000000000"
        "</starting_point><run_only_on_working_days>1</run_only_on_working_days>"
        "<trigger><type>monthly</type><repeat_interval>1</repeat_interval>"
        "<months><month>3</month><month>1</month></months><days><day>31</day></days></trigger>"
        "<action><type>export</type><connection_id>0f8fad5b-d9cb-469f-a165-70867728950e</connection_id>"
        "<format>IFC</format><project_path>vadro://Демо/Дом</project_path><output_path>/srv/out</output_path>"
        "<modification_times><document><path>vadro://Демо/Дом/План.dwg</path>"
        "<last_modified>1767254400000000000</last_modified></document></modification_times></action></task>"
        "<task><name>Проверка</name><description>d</description><starting_point>1767254400000000000"
        "</starting_point><trigger>" +
        daily(3) +
        "</trigger><action><type>check</type><ifc_file_mode>false</ifc_file_mode><ids_file_mode>1</ids_file_mode>"
        "<ids_file>/srv/rules.ids</ids_file><ifc_file>vadro://Демо/Дом/Модель.ifc</ifc_file>"
        "<only_changed_documents>0</only_changed_documents><modification_times><document><path>x</path>"
        "<last_modified>1</last_modified></document></modification_times></action></task>");
    const QByteArray expected = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                "<config>\n"
                                "\t<tasks>\n"
                                "\t\t<task>\n"
                                "\t\t\t<name>Резервная копия</name>\n"
                                "\t\t\t<description/>\n"
                                "\t\t\t<starting_point>1767254400000000000</starting_point>\n"
                                "\t\t\t<run_only_on_working_days>false</run_only_on_working_days>\n"
                                "\t\t\t<trigger>\n"
                                "\t\t\t\t<type>weekly</type>\n"
                                "\t\t\t\t<repeat_interval>2</repeat_interval>\n"
                                "\t\t\t\t<weekdays>\n"
                                "\t\t\t\t\t<weekday>7</weekday>\n"
                                "\t\t\t\t\t<weekday>3</weekday>\n"
                                "\t\t\t\t</weekdays>\n"
                                "\t\t\t</trigger>\n"
                                "\t\t\t<action>\n"
                                "\t\t\t\t<type>backup</type>\n"
                                "\t\t\t\t<connection_id>0f8fad5b-d9cb-469f-a165-70867728950e</connection_id>\n"
                                "\t\t\t\t<source_path>vadro://Демо/Проекты</source_path>\n"
                                "\t\t\t\t<destination_path>/srv/backup</destination_path>\n"
                                "\t\t\t</action>\n"
                                "\t\t</task>\n"
                                "\t\t<task>\n"
                                "\t\t\t<name>Выгрузка IFC</name>\n"
                                "\t\t\t<description>модель</description>\n"
                                "\t\t\t<starting_point>1767254400000000000</starting_point>\n"
                                "\t\t\t<run_only_on_working_days>true</run_only_on_working_days>\n"
                                "\t\t\t<trigger>\n"
                                "\t\t\t\t<type>monthly</type>\n"
                                "\t\t\t\t<repeat_interval>1</repeat_interval>\n"
                                "\t\t\t\t<months>\n"
                                "\t\t\t\t\t<month>3</month>\n"
                                "\t\t\t\t\t<month>1</month>\n"
                                "\t\t\t\t</months>\n"
                                "\t\t\t\t<days>\n"
                                "\t\t\t\t\t<day>31</day>\n"
                                "\t\t\t\t</days>\n"
                                "\t\t\t</trigger>\n"
                                "\t\t\t<action>\n"
                                "\t\t\t\t<type>export</type>\n"
                                "\t\t\t\t<connection_id>0f8fad5b-d9cb-469f-a165-70867728950e</connection_id>\n"
                                "\t\t\t\t<output_path>/srv/out</output_path>\n"
                                "\t\t\t\t<project_path>vadro://Демо/Дом</project_path>\n"
                                "\t\t\t\t<only_changed_documents>true</only_changed_documents>\n"
                                "\t\t\t\t<modification_times>\n"
                                "\t\t\t\t\t<document>\n"
                                "\t\t\t\t\t\t<path>vadro://Демо/Дом/План.dwg</path>\n"
                                "\t\t\t\t\t\t<last_modified>1767254400000000000</last_modified>\n"
                                "\t\t\t\t\t</document>\n"
                                "\t\t\t\t</modification_times>\n"
                                "\t\t\t\t<ifc_version>4.0</ifc_version>\n"
                                "\t\t\t\t<format>IFC</format>\n"
                                "\t\t\t</action>\n"
                                "\t\t</task>\n"
                                "\t\t<task>\n"
                                "\t\t\t<name>Проверка</name>\n"
                                "\t\t\t<description>d</description>\n"
                                "\t\t\t<starting_point>1767254400000000000</starting_point>\n"
                                "\t\t\t<run_only_on_working_days>false</run_only_on_working_days>\n"
                                "\t\t\t<trigger>\n"
                                "\t\t\t\t<type>daily</type>\n"
                                "\t\t\t\t<repeat_interval>3</repeat_interval>\n"
                                "\t\t\t</trigger>\n"
                                "\t\t\t<action>\n"
                                "\t\t\t\t<type>check</type>\n"
                                "\t\t\t\t<ids_file>/srv/rules.ids</ids_file>\n"
                                "\t\t\t\t<ids_file_mode>true</ids_file_mode>\n"
                                "\t\t\t\t<ifc_file>vadro://Демо/Дом/Модель.ifc</ifc_file>\n"
                                "\t\t\t\t<ifc_file_mode>false</ifc_file_mode>\n"
                                "\t\t\t\t<only_changed_documents>false</only_changed_documents>\n"
                                "\t\t\t</action>\n"
                                "\t\t</task>\n"
                                "\t</tasks>\n"
                                "</config>\n";
    const QString store = path(QStringLiteral("storage.xml"));
    const QString out = path(QStringLiteral("repaired.xml"));
    writeFile(store, input);

    const Result r = run({QStringLiteral("repair"), QStringLiteral("--store"), store, QStringLiteral("--out"), out});
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QByteArray("3 tasks written, 1 dropped\n"));
    QCOMPARE(readFile(out), expected);
    QCOMPARE(readFile(store), input);
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(QFile::permissions(out) & others, QFileDevice::Permissions());

    // A saved file is what a save of its load writes again.
    const QString again = path(QStringLiteral("again.xml"));
    const Result second =
        run({QStringLiteral("repair"), QStringLiteral("--store"), out, QStringLiteral("--out"), again});
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(second.out, QByteArray("3 tasks written, 0 dropped\n"));
    QCOMPARE(readFile(again), expected);
}

void KalvorTasksTest::repairRefusesItsInput_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("out");

    QTest::newRow("same name") << QString() << QStringLiteral("storage.xml");
    QTest::newRow("another spelling") << QString() << QStringLiteral("sub/../storage.xml");
    QTest::newRow("symbolic link") << QStringLiteral("symbolic") << QStringLiteral("alias.xml");
    QTest::newRow("hard link") << QStringLiteral("hard") << QStringLiteral("alias.xml");
}

void KalvorTasksTest::repairRefusesItsInput()
{
    QFETCH(QString, link);
    QFETCH(QString, out);
    const QString store = path(QStringLiteral("storage.xml"));
    const QByteArray content = storeOf(task("bad", kJan1, daily(0)) + task("good", kJan1, daily(1)));
    writeFile(store, content);
    QVERIFY(QDir().mkpath(path(QStringLiteral("sub"))));
    if (link == QStringLiteral("symbolic"))
        QVERIFY(QFile::link(store, path(out)));
    else if (link == QStringLiteral("hard"))
        QCOMPARE(::link(QFile::encodeName(store).constData(), QFile::encodeName(path(out)).constData()), 0);
    const QStringList before = QDir(dir_->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);

    const Result r =
        run({QStringLiteral("repair"), QStringLiteral("--store"), store, QStringLiteral("--out"), path(out)});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith("kalvor-tasks: refusing") && r.err.count('\n') == 1, r.err.constData());
    QCOMPARE(r.out, QByteArray());
    QCOMPARE(readFile(store), content);
    QCOMPARE(QDir(dir_->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System), before);
    if (link == QStringLiteral("symbolic"))
        QVERIFY(QFileInfo(path(out)).isSymLink());
}

void KalvorTasksTest::repairRefusesTheLiveStore_data()
{
    QTest::addColumn<QString>("out");
    QTest::addColumn<bool>("refused");
    // "alias.xml" is a symbolic link to the live store.
    QTest::newRow("the store's own name") << "live/storage.xml" << true;
    QTest::newRow("a link to the store") << "alias.xml" << true;
    QTest::newRow("another file beside the store") << "live/other.xml" << false;
}

void KalvorTasksTest::repairRefusesTheLiveStore()
{
    QFETCH(QString, out);
    QFETCH(bool, refused);
    const QString source = path(QStringLiteral("old.xml"));
    writeFile(source, storeOf(task("old", kJan1, daily(1))));
    const QString live = path(QStringLiteral("live/storage.xml"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("live"))));
    const QByteArray content = storeOf(task("live", kJan1, daily(1)));
    writeFile(live, content);
    QVERIFY(QFile::link(live, path(QStringLiteral("alias.xml"))));
    // This process holds the store as a running scheduler does: a lock on its folder and
    // the record beside the store.
    const int folder = ::open(QFile::encodeName(path(QStringLiteral("live"))).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(folder >= 0);
    QCOMPARE(::flock(folder, LOCK_EX | LOCK_NB), 0);
    QFile lock(live + QStringLiteral(".lock"));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(::getpid()) + "\n/nowhere/wake\n");
    lock.close();

    const Result r =
        run({QStringLiteral("repair"), QStringLiteral("--store"), source, QStringLiteral("--out"), path(out)});
    ::close(folder);
    QCOMPARE(readFile(live), content);
    if (!refused) {
        QCOMPARE(r.exitCode, 0);
        QVERIFY(readFile(path(out)).contains("old"));
        return;
    }
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains("running scheduler (process " + QByteArray::number(::getpid()) + ")"), r.err.constData());
}

void KalvorTasksTest::errors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    // "@" stands for the temporary directory.
    const QString store = QStringLiteral("@/storage.xml");
    QTest::newRow("no command") << QStringList() << 2 << QByteArray("no command given");
    QTest::newRow("unknown command") << QStringList{QStringLiteral("remove")} << 2
                                     << QByteArray("unknown command 'remove'");
    QTest::newRow("option of another command")
        << QStringList{QStringLiteral("validate"), QStringLiteral("--out"), store} << 2
        << QByteArray("unknown option --out for validate");
    QTest::newRow("option without value") << QStringList{QStringLiteral("list"), QStringLiteral("--store")} << 2
                                          << QByteArray("option --store needs a value");
    QTest::newRow("empty value") << QStringList{QStringLiteral("list"), QStringLiteral("--store=")} << 2
                                 << QByteArray("option --store needs a value");
    QTest::newRow("option twice") << QStringList{QStringLiteral("list"), QStringLiteral("--store"), store,
                                                 QStringLiteral("--store"), store}
                                  << 2 << QByteArray("option --store given twice");
    QTest::newRow("stray argument") << QStringList{QStringLiteral("list"), store} << 2
                                    << QByteArray("unexpected argument");
    QTest::newRow("now not a number") << QStringList{QStringLiteral("list"), QStringLiteral("--store"), store,
                                                     QStringLiteral("--now"), QStringLiteral("12x")}
                                      << 2 << QByteArray("--now takes whole nanoseconds");
    QTest::newRow("now beyond the range")
        << QStringList{QStringLiteral("list"), QStringLiteral("--store"), store, QStringLiteral("--now"),
                       QStringLiteral("99999999999999999999")}
        << 2 << QByteArray("--now takes whole nanoseconds");
    QTest::newRow("repair without output") << QStringList{QStringLiteral("repair"), QStringLiteral("--store"), store}
                                           << 2 << QByteArray("repair needs --out FILE");
    QTest::newRow("repair without store")
        << QStringList{QStringLiteral("repair"), QStringLiteral("--out"), QStringLiteral("@/x.xml")} << 2
        << QByteArray("repair needs --store FILE");
    QTest::newRow("missing store") << QStringList{QStringLiteral("list"), QStringLiteral("--store=@/none.xml")} << 3
                                   << QByteArray("no store file at ");
    QTest::newRow("missing default store")
        << QStringList{QStringLiteral("validate")} << 3 << QByteArray("no store file at ");
    QTest::newRow("store is a directory")
        << QStringList{QStringLiteral("validate"), QStringLiteral("--store"), QStringLiteral("@")} << 3
        << QByteArray("is a directory");
    QTest::newRow("list of a broken store")
        << QStringList{QStringLiteral("list"), QStringLiteral("--store"), QStringLiteral("@/broken.xml")} << 1
        << QByteArray("is damaged (does not parse: line ");
    QTest::newRow("output folder missing") << QStringList{QStringLiteral("repair"), QStringLiteral("--store"), store,
                                                          QStringLiteral("--out"), QStringLiteral("@/no/such/out.xml")}
                                           << 3 << QByteArray("cannot write ");
}

void KalvorTasksTest::errors()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    writeFile(path(QStringLiteral("storage.xml")), storeOf(task("good", kJan1, daily(1))));
    writeFile(path(QStringLiteral("broken.xml")), "<config><tasks><task></tasks></config>");
    for (QString& arg : args)
        arg.replace(QLatin1Char('@'), dir_->path());
    const QStringList before = QDir(dir_->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);

    const Result r = run(args);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.out, QByteArray());
    QVERIFY2(r.err.startsWith("kalvor-tasks: ") && r.err.contains(message) && r.err.count('\n') == 1,
             r.err.constData());
    QCOMPARE(QDir(dir_->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
}

void KalvorTasksTest::unreadableStore()
{
    const QString store = path(QStringLiteral("storage.xml"));
    writeFile(store, storeOf(task("good", kJan1, daily(1))));
    QVERIFY(QFile::setPermissions(store, QFileDevice::WriteOwner));
    if (QFile probe(store); probe.open(QIODevice::ReadOnly))
        QSKIP("This user reads files whatever their permissions");

    const Result r = run({QStringLiteral("list"), QStringLiteral("--store"), store});
    QCOMPARE(r.exitCode, 3);
    QCOMPARE(r.out, QByteArray());
    QVERIFY2(r.err.startsWith("kalvor-tasks: cannot read ") && r.err.count('\n') == 1, r.err.constData());
}

void KalvorTasksTest::damagedStore_data()
{
    QTest::addColumn<QByteArray>("content"); // "FIFO": a FIFO at the store path; "LARGE": 257 MiB
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QByteArrayList>("repaired"); // names in the repaired file

    const QByteArray a = task("a", kJan1, daily(1)), c = task("c", kJan1, daily(1));
    // Ahead of any clock the test may run at: the next run is the start.
    const QByteArray in2036 = "2082787200000000000";
    const QByteArray stray =
        storeOf(task("a", in2036, daily(1)) + task("b <", kJan1, daily(1)) + task("c", in2036, daily(1)));
    const QByteArray strayDamage = "is damaged (does not parse: line 4: expected >): 2 tasks read, 1 dropped";
    QTest::newRow("repair of a stray <") << stray << QStringLiteral("repair") << 0
                                         << QByteArray("2 tasks written, 1 dropped\n") << strayDamage
                                         << QByteArrayList{"a", "c"};
    // What the program loads of a damaged store, the tool shows, and validate names the
    // task it drops.
    const QByteArray listed = "0\t2082787200000000000\t2036-01-01 09:00:00\ta\n"
                              "2\t2082787200000000000\t2036-01-01 09:00:00\tc\n";
    QTest::newRow("list of a stray <") << stray << QStringLiteral("list") << 1 << listed << strayDamage
                                       << QByteArrayList();
    QTest::newRow("status of a stray <")
        << stray << QStringLiteral("status") << 1
        << QByteArray("0\t2036-01-01 09:00:00\t-\t-\ta\t-\n2\t2036-01-01 09:00:00\t-\t-\tc\t-\n") << strayDamage
        << QByteArrayList();
    QTest::newRow("validate of a stray <")
        << stray << QStringLiteral("validate") << 1 << QByteArray("1\ttask 'b <' does not parse: line 4: expected >\n")
        << strayDamage << QByteArrayList();
    QByteArray cut = storeOf(a + c + task("d", kJan1, daily(1)));
    cut.truncate(cut.indexOf("<name>d") + 30);
    QTest::newRow("repair of a truncated store")
        << cut << QStringLiteral("repair") << 0 << QByteArray("2 tasks written, 1 dropped\n")
        << QByteArray("is damaged (does not parse: line ") << QByteArrayList{"a", "c"};
    const QByteArray deep = storeOf(a + task(QByteArray("<x>").repeated(25'000), kJan1, daily(1)) + c);
    QTest::newRow("validate of deep nesting")
        << deep << QStringLiteral("validate") << 1
        << QByteArray("1\tdoes not parse: line 4: elements nested deeper than 32 levels\n")
        << QByteArray("is damaged (does not parse: line 4: elements nested deeper than 32 levels)") << QByteArrayList();
    QTest::newRow("repair of deep nesting")
        << deep << QStringLiteral("repair") << 0 << QByteArray("2 tasks written, 1 dropped\n")
        << QByteArray("nested deeper than") << QByteArrayList{"a", "c"};
    // The reader skips an unknown declaration up to its first '>' only.
    const QByteArray declared = storeOf(a + "<!x[" + QByteArray("<a>").repeated(200'000) + c);
    QTest::newRow("validate behind an unknown declaration")
        << declared << QStringLiteral("validate") << 1 << QByteArray()
        << QByteArray("is damaged (does not parse: line 4: elements nested deeper than 32 levels): 2 tasks read")
        << QByteArrayList();
    QTest::newRow("repair behind an unknown declaration")
        << declared << QStringLiteral("repair") << 0 << QByteArray("2 tasks written, 0 dropped\n")
        << QByteArray("nested deeper than") << QByteArrayList{"a", "c"};
    QByteArray zeroed = storeOf(a + c);
    zeroed.replace(0, zeroed.indexOf(c), QByteArray(zeroed.indexOf(c), '\0'));
    QTest::newRow("validate of a zeroed first block")
        << zeroed << QStringLiteral("validate") << 1 << QByteArray()
        << QByteArray("is damaged (line 1: character U+0000 that XML cannot hold): 1 tasks read, 0 dropped")
        << QByteArrayList();
    QTest::newRow("validate of bytes that are not UTF-8")
        << storeOf(a + task("\xE9", kJan1, daily(1))) << QStringLiteral("validate") << 1 << QByteArray()
        << QByteArray("is damaged (line 4: bytes that are not UTF-8 (1 read as U+FFFD)): 2 tasks read, 0 dropped")
        << QByteArrayList();
    QTest::newRow("list of a store beyond the bound")
        << QByteArray("LARGE") << QStringLiteral("list") << 3 << QByteArray()
        << QByteArray("it is larger than 268435456 bytes") << QByteArrayList();
    QTest::newRow("list of a FIFO") << QByteArray("FIFO") << QStringLiteral("list") << 3 << QByteArray()
                                    << QByteArray("it is not a regular file") << QByteArrayList();
    QTest::newRow("repair of a FIFO") << QByteArray("FIFO") << QStringLiteral("repair") << 3 << QByteArray()
                                      << QByteArray("it is not a regular file") << QByteArrayList();
}

void KalvorTasksTest::damagedStore()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, command);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QByteArrayList, repaired);
    const QString store = path(QStringLiteral("storage.xml"));
    const QString output = path(QStringLiteral("out.xml"));
    if (content == "FIFO")
        QCOMPARE(::mkfifo(QFile::encodeName(store).constData(), 0600), 0);
    else
        writeFile(store, content == "LARGE" ? QByteArray() : content);
    if (content == "LARGE")
        QVERIFY(QFile::resize(store, qint64(257) << 20)); // sparse: nothing is written

    QStringList args{command, QStringLiteral("--store"), store};
    if (command == QStringLiteral("repair"))
        args << QStringLiteral("--out") << output;
    const Result r = run(args);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.out, out);
    QVERIFY2(r.err.startsWith("kalvor-tasks: ") && r.err.contains(err) && r.err.count('\n') == 1, r.err.constData());
    if (content != "FIFO" && content != "LARGE")
        QCOMPARE(readFile(store), content);
    QCOMPARE(QFileInfo::exists(output), !repaired.isEmpty());
    if (repaired.isEmpty())
        return;
    const Result listed = run({QStringLiteral("list"), QStringLiteral("--store"), output});
    QCOMPARE(listed.exitCode, 0);
    QByteArrayList names;
    for (const QByteArray& line : listed.out.split('\n'))
        if (!line.isEmpty())
            names << line.split('\t').last();
    QCOMPARE(names, repaired);
}

// Without a running scheduler pause and resume change the store under its lock, and only
// the task named; run and stop have nobody to ask.
void KalvorTasksTest::controlWithoutScheduler_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("status"); // the next-run column of each task afterwards

    QTest::newRow("pause by position") << QStringList{QStringLiteral("pause"), QStringLiteral("2")} << 0
                                       << QByteArray("2036-01-01 09:00:00 2036-01-01 09:00:00 paused");
    QTest::newRow("pause by name") << QStringList{QStringLiteral("pause"), QStringLiteral("один")} << 0
                                   << QByteArray("paused 2036-01-01 09:00:00 2036-01-01 09:00:00");
    QTest::newRow("a name two tasks share")
        << QStringList{QStringLiteral("pause"), QStringLiteral("два")} << 2
        << QByteArray("2036-01-01 09:00:00 2036-01-01 09:00:00 2036-01-01 09:00:00");
    QTest::newRow("no such position") << QStringList{QStringLiteral("pause"), QStringLiteral("3")} << 2
                                      << QByteArray("2036-01-01 09:00:00 2036-01-01 09:00:00 2036-01-01 09:00:00");
    QTest::newRow("run") << QStringList{QStringLiteral("run"), QStringLiteral("0")} << 3
                         << QByteArray("2036-01-01 09:00:00 2036-01-01 09:00:00 2036-01-01 09:00:00");
    QTest::newRow("stop") << QStringList{QStringLiteral("stop"), QStringLiteral("0")} << 3
                          << QByteArray("2036-01-01 09:00:00 2036-01-01 09:00:00 2036-01-01 09:00:00");
}

void KalvorTasksTest::controlWithoutScheduler()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, status);
    const QByteArray in2036 = "2082787200000000000";
    const QString store = path(QStringLiteral("storage.xml"));
    writeFile(store,
              storeOf(task("один", in2036, daily(1)) + task("два", in2036, daily(1)) + task("два", in2036, daily(1))));
    const QByteArray before = readFile(store);
    QCOMPARE(run(args + QStringList{QStringLiteral("--store"), store}).exitCode, exitCode);
    const Result r = run({QStringLiteral("status"), QStringLiteral("--store"), store});
    QByteArrayList next;
    for (const QByteArray& line : r.out.trimmed().split('\n'))
        next << line.split('\t').value(1);
    QCOMPARE(next.join(' '), status);
    if (exitCode != 0)
        QCOMPARE(readFile(store), before);
    if (exitCode == 0) {
        // Resumed, the task is stored as it was before, but for its kept state.
        QCOMPARE(run({QStringLiteral("resume"), args[1], QStringLiteral("--store"), store}).exitCode, 0);
        QVERIFY(!readFile(store).contains("<paused>"));
    }
}

// A running scheduler is asked over its socket and says what it did.
void KalvorTasksTest::controlOfARunningScheduler()
{
    if (!QFile::exists(testsupport::binPath(QStringLiteral("KalvorScheduler"))))
        QSKIP("this build has no user interface");
    const QString storeDir = path(QStringLiteral("data/Holmiq/KalvorScheduler"));
    QVERIFY(QDir().mkpath(storeDir));
    const QString runtime = path(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(::chmod(QFile::encodeName(runtime).constData(), 0700) == 0);
    writeFile(storeDir + QStringLiteral("/storage.xml"),
              storeOf(task("пауза", "2082787200000000000", daily(1)) +
                      task("долгая", "2082787200000000000", daily(1),
                           "<action><type>command</type><executable>/bin/sleep</executable><arguments>60</arguments>"
                           "</action>")));
    QProcess scheduler;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    scheduler.setProcessEnvironment(environment);
    scheduler.start(testsupport::binPath(QStringLiteral("KalvorScheduler")), {});
    QVERIFY(scheduler.waitForStarted());
    // Listening once the lock file names its socket.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(storeDir + QStringLiteral("/storage.xml.lock")).count('\n') == 2, 10000);

    struct Step
    {
        QStringList args;
        int exitCode;
        QByteArray out;
    };
    const std::vector<Step> steps = {
        {{QStringLiteral("pause"), QStringLiteral("пауза")}, 0, "task 0 \"пауза\": paused\n"},
        {{QStringLiteral("stop"), QStringLiteral("1")}, 1, ""},
        {{QStringLiteral("run"), QStringLiteral("1")}, 0, "task 1 \"долгая\": started\n"},
        {{QStringLiteral("run"), QStringLiteral("1")}, 1, ""},
        {{QStringLiteral("stop"), QStringLiteral("долгая")}, 0, "task 1 \"долгая\": stopped\n"},
    };
    for (const Step& step : steps) {
        const Result r = run(step.args);
        QVERIFY2(r.exitCode == step.exitCode,
                 qPrintable(step.args.join(QLatin1Char(' ')) + QLatin1Char(' ') + QString::fromUtf8(r.err)));
        QCOMPARE(r.out, step.out);
    }
    // What the scheduler saved, as status reads it.
    const Result r = run({QStringLiteral("status")});
    QCOMPARE(r.out.split('\n').value(0).split('\t').value(1), QByteArray("paused"));
    QCOMPARE(r.out.split('\n').value(1).split('\t').value(3), QByteArray("stopped"));
    scheduler.kill();
    scheduler.waitForFinished();
}

QTEST_GUILESS_MAIN(KalvorTasksTest)
#include "KalvorTasksTest.moc"
