#include "model/TaskStoreFile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>

#include <sys/stat.h>

namespace {

const boost::uuids::uuid kConnection =
    boost::uuids::string_generator()(std::string("0f8fad5b-d9cb-469f-a165-70867728950e"));
constexpr Instant kJan2026 = 1767225600LL * kNanosPerSecond;

TaskInfo makeTask(const std::wstring& name)
{
    TaskInfo t;
    t.name = name;
    t.description = L"d";
    t.starting_point = kJan2026;
    return t;
}

std::vector<TaskInfo> roundTrip(const std::vector<TaskInfo>& tasks)
{
    std::vector<const TaskInfo*> ptrs;
    for (const auto& t : tasks)
        ptrs.push_back(&t);
    std::vector<TaskInfo> out;
    for (auto& p : store::ParseTasks(store::WriteTasks(ptrs))) {
        if (!p.task)
            throw std::runtime_error("dropped: " + p.error);
        out.push_back(*p.task);
    }
    return out;
}

TaskInfo roundTripOne(const TaskInfo& task)
{
    auto out = roundTrip({task});
    if (out.size() != 1)
        throw std::runtime_error("expected one task");
    return out.front();
}

std::wstring taskXml(const std::wstring& inner)
{
    return L"<?xml version=\"1.0\" encoding=\"utf-8\"?><config><tasks>" + inner + L"</tasks></config>";
}

const std::wstring kGood = L"<task><name>good</name><description/><starting_point>1</starting_point>"
                           L"<trigger><type>daily</type><repeat_interval>1</repeat_interval></trigger>"
                           L"<action><type>command</type><executable>/bin/true</executable></action></task>";

} // namespace

class TaskStoreFileTest : public QObject
{
    Q_OBJECT

private slots:
    void exactDocument()
    {
        TaskInfo weekly = makeTask(L"Недельная <&>");
        weekly.description = L"two\nlines";
        weekly.trigger = WeeklyTrigger{2, {0, 1, 3}};
        ExportAction e;
        e.connection_id = kConnection;
        e.format = IFC;
        e.project_path = L"vadro://Демо/Проект";
        e.output_path = L"/tmp/out";
        e.ifc_mapping_code = L"M2";
        e.modification_times = {{L"vadro://Демо/Проект", 5}};
        weekly.action = e;
        TaskInfo command = makeTask(L"cmd");
        command.run_only_on_working_days = true;
        command.action = CommandAction{"/opt/tools/run.sh", "", L"-a -b"};
        const std::wstring expected = L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                      L"<config>\n"
                                      L"\t<tasks>\n"
                                      L"\t\t<task>\n"
                                      L"\t\t\t<name>Недельная &lt;&amp;&gt;</name>\n"
                                      L"\t\t\t<description>two\nlines</description>\n"
                                      L"\t\t\t<starting_point>1767225600000000000</starting_point>\n"
                                      L"\t\t\t<run_only_on_working_days>false</run_only_on_working_days>\n"
                                      L"\t\t\t<trigger>\n"
                                      L"\t\t\t\t<type>weekly</type>\n"
                                      L"\t\t\t\t<repeat_interval>2</repeat_interval>\n"
                                      L"\t\t\t\t<weekdays>\n"
                                      L"\t\t\t\t\t<weekday>7</weekday>\n"
                                      L"\t\t\t\t\t<weekday>1</weekday>\n"
                                      L"\t\t\t\t\t<weekday>3</weekday>\n"
                                      L"\t\t\t\t</weekdays>\n"
                                      L"\t\t\t</trigger>\n"
                                      L"\t\t\t<action>\n"
                                      L"\t\t\t\t<type>export</type>\n"
                                      L"\t\t\t\t<connection_id>0f8fad5b-d9cb-469f-a165-70867728950e</connection_id>\n"
                                      L"\t\t\t\t<output_path>/tmp/out</output_path>\n"
                                      L"\t\t\t\t<project_path>vadro://Демо/Проект</project_path>\n"
                                      L"\t\t\t\t<only_changed_documents>true</only_changed_documents>\n"
                                      L"\t\t\t\t<modification_times>\n"
                                      L"\t\t\t\t\t<document>\n"
                                      L"\t\t\t\t\t\t<path>vadro://Демо/Проект</path>\n"
                                      L"\t\t\t\t\t\t<last_modified>5</last_modified>\n"
                                      L"\t\t\t\t\t</document>\n"
                                      L"\t\t\t\t</modification_times>\n"
                                      L"\t\t\t\t<ifc_version>4.0</ifc_version>\n"
                                      L"\t\t\t\t<ifc_mapping_code>M2</ifc_mapping_code>\n"
                                      L"\t\t\t\t<ifc_mapping_name/>\n"
                                      L"\t\t\t\t<format>IFC</format>\n"
                                      L"\t\t\t</action>\n"
                                      L"\t\t</task>\n"
                                      L"\t\t<task>\n"
                                      L"\t\t\t<name>cmd</name>\n"
                                      L"\t\t\t<description>d</description>\n"
                                      L"\t\t\t<starting_point>1767225600000000000</starting_point>\n"
                                      L"\t\t\t<run_only_on_working_days>true</run_only_on_working_days>\n"
                                      L"\t\t\t<trigger>\n"
                                      L"\t\t\t\t<type>daily</type>\n"
                                      L"\t\t\t\t<repeat_interval>1</repeat_interval>\n"
                                      L"\t\t\t</trigger>\n"
                                      L"\t\t\t<action>\n"
                                      L"\t\t\t\t<type>command</type>\n"
                                      L"\t\t\t\t<executable>/opt/tools/run.sh</executable>\n"
                                      L"\t\t\t\t<arguments>-a -b</arguments>\n"
                                      L"\t\t\t\t<working_directory/>\n"
                                      L"\t\t\t</action>\n"
                                      L"\t\t</task>\n"
                                      L"\t</tasks>\n"
                                      L"</config>\n";
        const std::wstring written = store::WriteTasks({&weekly, &command});
        QCOMPARE(QString::fromStdWString(written), QString::fromStdWString(expected));
        QCOMPARE(QString::fromStdWString(store::WriteTasks({})),
                 QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config>\n\t<tasks/>\n</config>\n"));
    }

    void roundTripsEveryKind()
    {
        std::vector<TaskInfo> tasks;
        TaskInfo daily = makeTask(L"daily");
        daily.trigger = DailyTrigger{3};
        daily.action = BackupAction{kConnection, L"vadro://c/a", L"/backup"};
        tasks.push_back(daily);
        TaskInfo monthly = makeTask(L"monthly");
        monthly.trigger = MonthlyTrigger{1, {1, 7}, {15, 15}};
        ExportAction e;
        e.connection_id = kConnection;
        e.format = DWG;
        e.project_path = L"vadro://c/p";
        e.output_path = L"/out";
        e.scheme_code = L"S1";
        e.scheme_name = L"Схема";
        e.modification_times = {{L"a", -5}, {L"b", INT64_MAX}};
        monthly.action = e;
        tasks.push_back(monthly);
        TaskInfo check = makeTask(L"check");
        check.starting_point = -42;
        CheckAction c;
        c.ids_file = L"/ids";
        c.ifc_file = L"/ifc";
        c.ids_file_mode = false;
        c.modification_times = {{L"/ifc/a.ifc", 7}};
        check.action = c;
        tasks.push_back(check);
        TaskInfo command = makeTask(L"команда");
        command.action = CommandAction{std::filesystem::u8path("/opt/инструмент/run.sh"), "/tmp", L"--x \"y\""};
        tasks.push_back(command);
        QVERIFY(roundTrip(tasks) == tasks);
    }

    void normalisesOnTheWay_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("non-IFC export loses ifc_version") << 0;
        QTest::newRow("IFC export with empty version gets 4.0") << 1;
        QTest::newRow("IFC export loses scheme") << 2;
        QTest::newRow("only-changed off drops the times") << 3;
        QTest::newRow("whitespace collapses") << 4;
    }
    void normalisesOnTheWay()
    {
        QFETCH(int, which);
        TaskInfo t = makeTask(L"t");
        ExportAction e;
        e.connection_id = kConnection;
        switch (which) {
        case 0:
            e.format = MIF;
            e.ifc_version = L"4.3";
            t.action = e;
            QCOMPARE(std::get<ExportAction>(roundTripOne(t).action).ifc_version, std::wstring(L"4.0"));
            break;
        case 1:
            e.format = IFC;
            e.ifc_version.clear();
            t.action = e;
            QCOMPARE(std::get<ExportAction>(roundTripOne(t).action).ifc_version, std::wstring(L"4.0"));
            break;
        case 2:
            e.format = IFC;
            e.scheme_code = L"S";
            e.scheme_name = L"N";
            t.action = e;
            QVERIFY(std::get<ExportAction>(roundTripOne(t).action).scheme_code.empty());
            QVERIFY(std::get<ExportAction>(roundTripOne(t).action).scheme_name.empty());
            break;
        case 3:
            e.only_changed_documents = false;
            e.modification_times = {{L"x", 1}};
            t.action = e;
            QVERIFY(std::get<ExportAction>(roundTripOne(t).action).modification_times.empty());
            break;
        case 4:
            t.name = L"a  b";
            t.description = L"  line one\n\tline  two ";
            QCOMPARE(roundTripOne(t).name, std::wstring(L"a b"));
            QCOMPARE(roundTripOne(t).description, std::wstring(L"line one line two"));
            break;
        }
    }

    void readsLenientValues_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("expect");
        const QString head = QStringLiteral("<task><name>n</name><description/><starting_point> 12 </starting_point>");
        const QString daily =
            QStringLiteral("<trigger><type>daily</type><repeat_interval>1</repeat_interval></trigger>");
        QTest::newRow("bool 1, flag on")
            << head + QStringLiteral("<run_only_on_working_days>1</run_only_on_working_days>") + daily +
                   QStringLiteral("<action><type>command</type><executable>x</executable></action></task>")
            << QStringLiteral("flag=1");
        QTest::newRow("bad bool, flag off")
            << head + QStringLiteral("<run_only_on_working_days>yes</run_only_on_working_days>") + daily +
                   QStringLiteral("<action><type>command</type><executable>x</executable></action></task>")
            << QStringLiteral("flag=0");
        QTest::newRow("weekday 0 and 7 are Sunday")
            << head +
                   QStringLiteral(
                       "<trigger><type>weekly</type><repeat_interval>1</repeat_interval><weekdays><weekday>0</weekday>"
                       "<weekday>7</weekday><other>3</other><weekday>2</weekday></weekdays></trigger>"
                       "<action><type>command</type><executable>x</executable></action></task>")
            << QStringLiteral("weekdays=0,2");
        QTest::newRow("format lower case is MIF")
            << head + daily +
                   QStringLiteral(
                       "<action><type>export</type><connection_id>{0f8fad5b-d9cb-469f-a165-70867728950e}</"
                       "connection_id>"
                       "<output_path/><project_path/><format>dxf</format><only_changed_documents>maybe</"
                       "only_changed_documents>"
                       "<modification_times><document><path>p</path><last_modified>1</last_modified></document>"
                       "<document><path>p</path><last_modified>2</last_modified></document></modification_times></"
                       "action></task>")
            << QStringLiteral("format=1 times=p:1");
        QTest::newRow("missing format is MIF")
            << head + daily +
                   QStringLiteral(
                       "<action><type>export</type><connection_id>0f8fad5bd9cb469fa16570867728950e</connection_id>"
                       "<output_path/><project_path/></action></task>")
            << QStringLiteral("format=1 times=");
    }
    void readsLenientValues()
    {
        QFETCH(QString, xml);
        QFETCH(QString, expect);
        const auto parsed = store::ParseTasks(taskXml(xml.toStdWString()));
        QCOMPARE(parsed.size(), std::size_t(1));
        QVERIFY2(parsed[0].task.has_value(), parsed[0].error.c_str());
        const TaskInfo& t = *parsed[0].task;
        QCOMPARE(t.starting_point, Instant(12));
        QString got;
        if (expect.startsWith(QStringLiteral("flag")))
            got = QStringLiteral("flag=%1").arg(int(t.RunOnlyOnWorkingDays()));
        else if (expect.startsWith(QStringLiteral("weekdays"))) {
            QStringList days;
            for (auto d : std::get<WeeklyTrigger>(t.trigger).weekdays)
                days << QString::number(d);
            got = QStringLiteral("weekdays=") + days.join(QLatin1Char(','));
        } else {
            const auto& e = std::get<ExportAction>(t.action);
            QStringList times;
            for (const auto& [k, v] : e.modification_times)
                times << QString::fromStdWString(k) + QLatin1Char(':') + QString::number(v);
            got = QStringLiteral("format=%1 times=%2").arg(e.format).arg(times.join(QLatin1Char(',')));
        }
        QCOMPARE(got, expect);
    }

    void dropsOnlyTheBadTask_data()
    {
        QTest::addColumn<QString>("bad");
        const QString start = QStringLiteral("<task><name>bad</name><description/><starting_point>1</starting_point>");
        const QString daily =
            QStringLiteral("<trigger><type>daily</type><repeat_interval>1</repeat_interval></trigger>");
        const QString cmd = QStringLiteral("<action><type>command</type><executable>x</executable></action></task>");
        QTest::newRow("no description") << QStringLiteral("<task><name>bad</name><starting_point>1</starting_point>") +
                                               daily + cmd;
        QTest::newRow("instant not a number")
            << QStringLiteral("<task><name>bad</name><description/><starting_point>1x</starting_point>") + daily + cmd;
        QTest::newRow("instant overflows")
            << QStringLiteral(
                   "<task><name>bad</name><description/><starting_point>9223372036854775808</starting_point>") +
                   daily + cmd;
        QTest::newRow("unknown trigger")
            << start + QStringLiteral("<trigger><type>Daily</type><repeat_interval>1</repeat_interval></trigger>") +
                   cmd;
        QTest::newRow("interval zero")
            << start + QStringLiteral("<trigger><type>daily</type><repeat_interval>0</repeat_interval></trigger>") +
                   cmd;
        QTest::newRow("interval negative")
            << start + QStringLiteral("<trigger><type>weekly</type><repeat_interval>-2</repeat_interval></trigger>") +
                   cmd;
        QTest::newRow("weekday 8") << start +
                                          QStringLiteral(
                                              "<trigger><type>weekly</type><repeat_interval>1</"
                                              "repeat_interval><weekdays><weekday>8</weekday></weekdays></trigger>") +
                                          cmd;
        QTest::newRow("month 13") << start +
                                         QStringLiteral(
                                             "<trigger><type>monthly</type><repeat_interval>1</"
                                             "repeat_interval><months><month>13</month></months></trigger>") +
                                         cmd;
        QTest::newRow("day 0") << start +
                                      QStringLiteral("<trigger><type>monthly</type><repeat_interval>1</"
                                                     "repeat_interval><days><day>0</day></days></trigger>") +
                                      cmd;
        QTest::newRow("unknown action") << start + daily + QStringLiteral("<action><type>copy</type></action></task>");
        QTest::newRow("bad uuid") << start + daily +
                                         QStringLiteral(
                                             "<action><type>backup</type><connection_id>not-a-uuid</"
                                             "connection_id><source_path/><destination_path/></action></task>");
        QTest::newRow("check mode word")
            << start + daily +
                   QStringLiteral("<action><type>check</type><ids_file/><ids_file_mode>yes</ids_file_mode><ifc_file/"
                                  "><ifc_file_mode>1</ifc_file_mode></action></task>");
        QTest::newRow("document without time")
            << start + daily +
                   QStringLiteral("<action><type>check</type><ids_file/><ids_file_mode>1</ids_file_mode><ifc_file/"
                                  "><ifc_file_mode>1</ifc_file_mode><modification_times><document><path>p</path></"
                                  "document></modification_times></action></task>");
        QTest::newRow("no executable") << start + daily +
                                              QStringLiteral("<action><type>command</type></action></task>");
    }
    void dropsOnlyTheBadTask()
    {
        QFETCH(QString, bad);
        const auto parsed = store::ParseTasks(taskXml(kGood + bad.toStdWString() + L"<note/>" + kGood));
        QCOMPARE(parsed.size(), std::size_t(3));
        QVERIFY(parsed[0].task && parsed[2].task);
        QVERIFY(!parsed[1].task);
        QVERIFY(!parsed[1].error.empty());
        QCOMPARE(parsed[2].position, std::size_t(2));
    }

    void damagedDocuments()
    {
        using XmlError = boost::property_tree::xml_parser_error;
        QVERIFY_EXCEPTION_THROWN(store::ParseTasks(taskXml(kGood).substr(0, 60)), XmlError);
        QVERIFY(store::ParseTasks(L"").empty());
        QVERIFY(store::ParseTasks(L"<config/>").empty());
    }

    // The file's bytes are what Qt's own UTF-8 conversion gives for every valid code
    // point; those UTF-8 cannot carry become U+FFFD, one each.
    void utf8Bytes()
    {
        const std::wstring valid = L"ascii é Ж € 𝄞 <&>";
        QCOMPARE(store::Utf8Bytes(valid), QString::fromStdWString(valid).toUtf8());
        std::wstring invalid = L"a";
        invalid.push_back(wchar_t(0xD800));   // a lone surrogate
        invalid.push_back(wchar_t(0x110000)); // beyond Unicode
        QCOMPARE(store::Utf8Bytes(invalid), QByteArray("a\xEF\xBF\xBD\xEF\xBF\xBD"));
    }

    void fileIsPrivateAndReplacedWhole()
    {
        QTemporaryDir dir;
        const auto file = std::filesystem::path(dir.path().toStdString()) / "sub" / "storage.xml";
        QVERIFY(store::CreateFolderOf(file));
        TaskInfo t = makeTask(L"Задача");
        const std::wstring doc = store::WriteTasks({&t});
        QVERIFY(store::WriteFile(file, doc));
        struct stat st
        {};
        QCOMPARE(::stat(file.c_str(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(QString::fromStdWString(*store::ReadFile(file)), QString::fromStdWString(doc));
        QVERIFY(!store::ReadFile(file.parent_path() / "missing.xml"));
        // A folder that cannot be made is reported, not thrown.
        QVERIFY(!store::CreateFolderOf(file / "x" / "y"));
    }
};

QTEST_GUILESS_MAIN(TaskStoreFileTest)
#include "TaskStoreFileTest.moc"
