#include "model/TaskStoreFile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>

#include <sys/stat.h>

#include <functional>
#include <sstream>

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

// One text field of a task: how to put a text into a task and read it back, and where
// the field sits in the document.
struct TextField
{
    const char* key;
    const wchar_t* documentPath;
    std::function<void(TaskInfo&, const std::wstring&)> set;
    std::function<std::wstring(const TaskInfo&)> get;
};

std::wstring pathText(const std::filesystem::path& p)
{
    return QString::fromStdString(p.string()).toStdWString();
}

std::filesystem::path textPath(const std::wstring& text)
{
    return std::filesystem::u8path(QString::fromStdWString(text).toStdString());
}

ExportAction exportWith(ExportFormat format)
{
    ExportAction e;
    e.connection_id = kConnection;
    e.format = format;
    // A name is written with its code only.
    if (format == IFC)
        e.ifc_mapping_code = L"M";
    else
        e.scheme_code = L"S";
    return e;
}

const std::vector<TextField>& textFields()
{
    static const std::vector<TextField> fields = {
        {"name", L"name", [](TaskInfo& t, const std::wstring& v) { t.name = v; },
         [](const TaskInfo& t) { return t.name; }},
        {"description", L"description", [](TaskInfo& t, const std::wstring& v) { t.description = v; },
         [](const TaskInfo& t) { return t.description; }},
        {"source_path", L"action.source_path",
         [](TaskInfo& t, const std::wstring& v) {
             t.action = BackupAction{kConnection, v, L"/b"};
         },
         [](const TaskInfo& t) { return std::get<BackupAction>(t.action).source_path; }},
        {"destination_path", L"action.destination_path",
         [](TaskInfo& t, const std::wstring& v) {
             t.action = BackupAction{kConnection, L"vadro://c/a", v};
         },
         [](const TaskInfo& t) { return std::get<BackupAction>(t.action).destination_path; }},
        {"output_path", L"action.output_path",
         [](TaskInfo& t, const std::wstring& v) {
             ExportAction e = exportWith(DXF);
             e.output_path = v;
             t.action = e;
         },
         [](const TaskInfo& t) { return std::get<ExportAction>(t.action).output_path; }},
        {"project_path", L"action.project_path",
         [](TaskInfo& t, const std::wstring& v) {
             ExportAction e = exportWith(DXF);
             e.project_path = v;
             t.action = e;
         },
         [](const TaskInfo& t) { return std::get<ExportAction>(t.action).project_path; }},
        {"scheme_code", L"action.scheme_code",
         [](TaskInfo& t, const std::wstring& v) {
             ExportAction e = exportWith(DWG);
             e.scheme_code = v;
             t.action = e;
         },
         [](const TaskInfo& t) { return std::get<ExportAction>(t.action).scheme_code; }},
        {"scheme_name", L"action.scheme_name",
         [](TaskInfo& t, const std::wstring& v) {
             ExportAction e = exportWith(DWG);
             e.scheme_name = v;
             t.action = e;
         },
         [](const TaskInfo& t) { return std::get<ExportAction>(t.action).scheme_name; }},
        {"ifc_version", L"action.ifc_version",
         [](TaskInfo& t, const std::wstring& v) {
             ExportAction e = exportWith(IFC);
             e.ifc_version = v;
             t.action = e;
         },
         [](const TaskInfo& t) { return std::get<ExportAction>(t.action).ifc_version; }},
        {"ifc_mapping_code", L"action.ifc_mapping_code",
         [](TaskInfo& t, const std::wstring& v) {
             ExportAction e = exportWith(IFC);
             e.ifc_mapping_code = v;
             t.action = e;
         },
         [](const TaskInfo& t) { return std::get<ExportAction>(t.action).ifc_mapping_code; }},
        {"ifc_mapping_name", L"action.ifc_mapping_name",
         [](TaskInfo& t, const std::wstring& v) {
             ExportAction e = exportWith(IFC);
             e.ifc_mapping_name = v;
             t.action = e;
         },
         [](const TaskInfo& t) { return std::get<ExportAction>(t.action).ifc_mapping_name; }},
        {"document key", L"action.modification_times.document.path",
         [](TaskInfo& t, const std::wstring& v) {
             CheckAction c;
             c.modification_times = {{v, 7}};
             t.action = c;
         },
         [](const TaskInfo& t) { return std::get<CheckAction>(t.action).modification_times.begin()->first; }},
        {"executable", L"action.executable",
         [](TaskInfo& t, const std::wstring& v) {
             t.action = CommandAction{textPath(v), "/tmp", L"-x"};
         },
         [](const TaskInfo& t) { return pathText(std::get<CommandAction>(t.action).executable); }},
        {"arguments", L"action.arguments",
         [](TaskInfo& t, const std::wstring& v) {
             t.action = CommandAction{"/bin/run", "/tmp", v};
         },
         [](const TaskInfo& t) { return std::get<CommandAction>(t.action).arguments; }},
        {"working_directory", L"action.working_directory",
         [](TaskInfo& t, const std::wstring& v) {
             t.action = CommandAction{"/bin/run", textPath(v), L"-x"};
         },
         [](const TaskInfo& t) { return pathText(std::get<CommandAction>(t.action).working_directory); }},
        {"ids_file", L"action.ids_file",
         [](TaskInfo& t, const std::wstring& v) {
             CheckAction c;
             c.ids_file = v;
             t.action = c;
         },
         [](const TaskInfo& t) { return std::get<CheckAction>(t.action).ids_file; }},
        {"ifc_file", L"action.ifc_file",
         [](TaskInfo& t, const std::wstring& v) {
             CheckAction c;
             c.ifc_file = v;
             t.action = c;
         },
         [](const TaskInfo& t) { return std::get<CheckAction>(t.action).ifc_file; }},
        {"reason", L"last_run.reason",
         [](TaskInfo& t, const std::wstring& v) {
             t.last_run = LastRun{10, 20, RunOutcome::Failed, v};
         },
         [](const TaskInfo& t) { return t.last_run.reason; }},
    };
    return fields;
}

const TextField& textField(const QString& key)
{
    for (const TextField& f : textFields())
        if (key == QLatin1String(f.key))
            return f;
    throw std::logic_error("no such field");
}

// The text of one element as a plain XML reader gives it, with or without the whitespace
// rule that trims every text and collapses its inner runs.
std::wstring plainReaderText(const std::wstring& document, const std::wstring& path, bool trimWhitespace)
{
    namespace pt = boost::property_tree;
    std::wistringstream in(document);
    pt::wptree root;
    pt::read_xml(in, root, trimWhitespace ? pt::xml_parser::trim_whitespace : 0);
    return root.get_child(L"config.tasks.task." + path).data();
}

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
                                      L"\t\t\t<description>two&#10;lines</description>\n"
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
        daily.action = BackupAction{kConnection, L"vadro://c/a", L"/backup", 7};
        tasks.push_back(daily);
        // Versions are written only when kept, so that a backup without them is stored as it always was.
        TaskInfo plain = makeTask(L"plain");
        QVERIFY(store::WriteTasks({&plain}).find(L"keep_versions") == std::wstring::npos);
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

    // The state the service keeps comes back exactly, and only what is set is written: a
    // task that never ran and makes up nothing is written as it always was.
    void keptStateRoundTrips_data()
    {
        QTest::addColumn<bool>("runMissed");
        QTest::addColumn<qint64>("awaited");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QStringList>("written");
        const QStringList none;
        const QStringList last = {QStringLiteral("last_run"), QStringLiteral("started"), QStringLiteral("ended"),
                                  QStringLiteral("outcome"), QStringLiteral("reason")};
        const qint64 never = kNeverInstant;
        QTest::newRow("never ran") << false << never << int(RunOutcome::None) << none;
        QTest::newRow("awaited without the flag") << false << qint64(kJan2026) << int(RunOutcome::None) << none;
        QTest::newRow("flag without an awaited run")
            << true << never << int(RunOutcome::None) << QStringList{QStringLiteral("run_missed")};
        QTest::newRow("flag and awaited run")
            << true << qint64(-5) << int(RunOutcome::None)
            << QStringList{QStringLiteral("run_missed"), QStringLiteral("awaited_run")};
        QTest::newRow("running") << false << never << int(RunOutcome::Running) << last;
        QTest::newRow("succeeded") << false << never << int(RunOutcome::Succeeded) << last;
        QTest::newRow("failed, flagged") << true << qint64(kJan2026) << int(RunOutcome::Failed)
                                         << (last +
                                             QStringList{QStringLiteral("run_missed"), QStringLiteral("awaited_run")});
    }
    void keptStateRoundTrips()
    {
        QFETCH(bool, runMissed);
        QFETCH(qint64, awaited);
        QFETCH(int, outcome);
        QFETCH(QStringList, written);
        TaskInfo task = makeTask(L"t");
        const std::wstring plain = store::WriteTasks({&task});
        task.run_missed = runMissed;
        task.awaited_run = awaited;
        if (outcome != int(RunOutcome::None))
            task.last_run = LastRun{kJan2026 + 1, outcome == int(RunOutcome::Running) ? 0 : INT64_MAX,
                                    RunOutcome(outcome), L"Код возврата 3"};
        const std::wstring document = store::WriteTasks({&task});
        for (const char* key : {"run_missed", "awaited_run", "last_run", "started", "ended", "outcome", "reason"})
            QCOMPARE(document.find(L"<" + QString::fromLatin1(key).toStdWString() + L">") != std::wstring::npos,
                     written.contains(QLatin1String(key)));
        if (written.isEmpty())
            QCOMPARE(QString::fromStdWString(document), QString::fromStdWString(plain));
        TaskInfo expected = task;
        if (!runMissed)
            expected.awaited_run = kNeverInstant;
        const auto parsed = store::ParseTasks(document);
        QCOMPARE(parsed.size(), std::size_t(1));
        QVERIFY(parsed[0].task.has_value());
        QVERIFY(*parsed[0].task == expected);
        QVERIFY(parsed[0].warnings.empty());
    }

    // Kept state that cannot be read never costs the task: it loads as never run, or with
    // no awaited run, and says why.
    void keptStateReadsLeniently_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("runMissed");
        QTest::newRow("unknown outcome")
            << QStringLiteral(
                   "<last_run><started>1</started><ended>2</ended><outcome>done</outcome><reason/></last_run>")
            << false;
        QTest::newRow("bad start")
            << QStringLiteral(
                   "<last_run><started>x</started><ended>2</ended><outcome>failed</outcome><reason/></last_run>")
            << false;
        QTest::newRow("no end") << QStringLiteral("<last_run><started>1</started><outcome>failed</outcome></last_run>")
                                << false;
        QTest::newRow("NUL in the reason")
            << QStringLiteral("<last_run><started>1</started><ended>2</ended><outcome>failed</outcome><reason>a&#0;</"
                              "reason></last_run>")
            << false;
        QTest::newRow("bad awaited run") << QStringLiteral(
                                                "<run_missed>true</run_missed><awaited_run>soon</awaited_run>")
                                         << true;
    }
    void keptStateReadsLeniently()
    {
        QFETCH(QString, state);
        QFETCH(bool, runMissed);
        std::wstring task = kGood;
        task.insert(task.size() - std::wstring(L"</task>").size(), state.toStdWString());
        const auto parsed = store::ParseTasks(taskXml(task));
        QCOMPARE(parsed.size(), std::size_t(1));
        QVERIFY2(parsed[0].task.has_value(), parsed[0].error.c_str());
        QCOMPARE(parsed[0].task->run_missed, runMissed);
        QVERIFY(parsed[0].task->last_run == LastRun{});
        QCOMPARE(parsed[0].task->awaited_run, kNeverInstant);
        QCOMPARE(parsed[0].warnings.size(), std::size_t(1));
    }

    void normalisesOnTheWay_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("non-IFC export loses ifc_version") << 0;
        QTest::newRow("IFC export with empty version gets 4.0") << 1;
        QTest::newRow("IFC export loses scheme") << 2;
        QTest::newRow("only-changed off drops the times") << 3;
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
        }
    }

    // Every text comes back exactly through a real file, and the file says the same text
    // to a reader that trims and collapses white space and to one that keeps it.
    void keepsEveryTextExactly_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        const QList<QPair<const char*, QString>> texts = {
            {"double space", QStringLiteral("/opt/my  tools/run.sh")},
            {"leading and trailing", QStringLiteral("  padded text   ")},
            {"one trailing space", QStringLiteral("x ")},
            {"tab", QStringLiteral("a\tb\t")},
            {"line feeds", QStringLiteral("line one\n\n  line two\n")},
            {"carriage return", QStringLiteral("a\rb")},
            {"CRLF", QStringLiteral("-a\r\n-b \r\n")},
            {"only spaces", QStringLiteral("   ")},
            {"one space", QStringLiteral(" ")},
            {"space around a tab", QStringLiteral("a \t b")},
            {"markup", QStringLiteral("<![CDATA[ a ]]> &amp; \"q\" 'a'")},
        };
        for (const TextField& f : textFields())
            for (const auto& [name, text] : texts)
                QTest::addRow("%s: %s", f.key, name) << QString::fromLatin1(f.key) << text;
    }
    void keepsEveryTextExactly()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        const TextField& f = textField(field);
        const std::wstring value = text.toStdWString();
        TaskInfo task = makeTask(L"t");
        f.set(task, value);

        QTemporaryDir dir;
        const auto file = std::filesystem::path(dir.path().toStdString()) / "storage.xml";
        QVERIFY(store::WriteFile(file, store::WriteTasks({&task})));
        const std::wstring document = *store::ReadFile(file);
        const auto parsed = store::ParseTasks(document);
        QCOMPARE(parsed.size(), std::size_t(1));
        QVERIFY2(parsed[0].task.has_value(), parsed[0].error.c_str());
        QCOMPARE(QString::fromStdWString(f.get(*parsed[0].task)), text);
        QVERIFY(*parsed[0].task == task);
        QCOMPARE(QString::fromStdWString(plainReaderText(document, f.documentPath, true)), text);
        QCOMPARE(QString::fromStdWString(plainReaderText(document, f.documentPath, false)), text);
    }

    // A character that XML cannot hold drops the task that holds it on load, with the
    // reason, and never reaches the file from a task in memory.
    void charactersXmlCannotHold_data()
    {
        QTest::addColumn<QString>("reference");
        QTest::addColumn<uint>("code");
        QTest::newRow("NUL") << QStringLiteral("&#0;") << 0x0u;
        QTest::newRow("control") << QStringLiteral("&#x1F;") << 0x1Fu;
        QTest::newRow("raw control") << QStringLiteral("\x01") << 0x1u;
        QTest::newRow("raw U+FFFE") << QString(QChar(0xFFFE)) << 0xFFFEu;
        QTest::newRow("raw U+FFFF") << QString(QChar(0xFFFF)) << 0xFFFFu;
        QTest::newRow("U+FFFE") << QStringLiteral("&#xFFFE;") << 0xFFFEu;
        QTest::newRow("surrogate") << QStringLiteral("&#xD800;") << 0xD800u;
        QTest::newRow("last surrogate, decimal") << QStringLiteral("&#57343;") << 0xDFFFu;
        QTest::newRow("beyond U+10FFFF, wrapping round") << QStringLiteral("&#x10000000000000041;") << 0xFFFFu;
    }

    // A character reference reads as the character it names, wherever in the text.
    void characterReferences_data()
    {
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("read");
        QTest::newRow("decimal") << QStringLiteral("caf&#233;") << QStringLiteral("café");
        QTest::newRow("hexadecimal, two bytes") << QStringLiteral("&#x42f;&#x44f;") << QStringLiteral("Яя");
        QTest::newRow("lowest beyond ASCII") << QStringLiteral("&#x80;") << QString(QChar(0x80));
        QTest::newRow("beyond the basic plane")
            << QStringLiteral("&#x1F600;&#x10FFFF;") << QString::fromUcs4(U"\U0001F600\U0010FFFF");
        QTest::newRow("ASCII") << QStringLiteral("&#65;&#x42;") << QStringLiteral("AB");
        QTest::newRow("escaped ampersand") << QStringLiteral("&amp;#233;") << QStringLiteral("&#233;");
        QTest::newRow("inside CDATA, as written")
            << QStringLiteral("<![CDATA[&#233;]]>&#233;") << QStringLiteral("&#233;é");
    }
    void characterReferences()
    {
        QFETCH(QString, written);
        QFETCH(QString, read);
        const std::wstring task = L"<task><name>" + written.toStdWString() +
                                  L"</name><description/><starting_point>1</starting_point>"
                                  L"<trigger><type>daily</type><repeat_interval>1</repeat_interval></trigger>"
                                  L"<action><type>command</type><executable>/bin/x</executable></action></task>";
        const auto parsed = store::ParseTasks(taskXml(kGood + task));
        QCOMPARE(parsed.size(), std::size_t(2));
        QVERIFY2(parsed[1].task.has_value(), parsed[1].error.c_str());
        QCOMPARE(QString::fromStdWString(parsed[1].task->name), read);
    }
    void charactersXmlCannotHold()
    {
        QFETCH(QString, reference);
        QFETCH(uint, code);
        const std::wstring bad = L"<task><name>bad</name><description/><starting_point>1</starting_point>"
                                 L"<trigger><type>daily</type><repeat_interval>1</repeat_interval></trigger>"
                                 L"<action><type>command</type><executable>/bin/x</executable><arguments>a" +
                                 reference.toStdWString() + L"b</arguments></action></task>";
        const auto parsed = store::ParseTasks(taskXml(kGood + bad + kGood));
        QCOMPARE(parsed.size(), std::size_t(3));
        QVERIFY(parsed[0].task && parsed[2].task);
        QVERIFY(!parsed[1].task);
        const QString reason = QString::fromStdString(parsed[1].error);
        QVERIFY2(reason.contains(QStringLiteral("U+%1").arg(code, 4, 16, QLatin1Char('0')).toUpper()) &&
                     reason.contains(QStringLiteral("arguments")),
                 qPrintable(reason));

        // Held in memory (as a path or a pasted text could), it is written as U+FFFD and
        // the file loads back whole. A lone surrogate cannot even reach a path.
        if (code >= 0xD800 && code <= 0xDFFF)
            return;
        std::wstring text = L"a";
        text.push_back(static_cast<wchar_t>(code));
        text += L"b";
        std::vector<TaskInfo> tasks;
        for (const TextField& f : textFields()) {
            TaskInfo t = makeTask(L"t");
            f.set(t, text);
            tasks.push_back(t);
        }
        std::vector<const TaskInfo*> pointers;
        for (const TaskInfo& t : tasks)
            pointers.push_back(&t);
        const std::wstring document = store::WriteTasks(pointers);
        QVERIFY(!store::FirstCharacterXmlCannotHold(document));
        const auto reread = store::ParseTasks(document);
        QCOMPARE(reread.size(), tasks.size());
        for (std::size_t i = 0; i < tasks.size(); ++i) {
            QVERIFY2(reread[i].task.has_value(), reread[i].error.c_str());
            QCOMPARE(textFields()[i].get(*reread[i].task), std::wstring(L"a\xFFFD"
                                                                        L"b"));
        }
    }

    // Numbers the schedule cannot use keep their task, with a warning, and are written
    // back as they were read.
    void keepsOutOfRangeNumbers_data()
    {
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<QString>("warning");
        const auto weekly = [](const char* days) {
            return QStringLiteral("<type>weekly</type><repeat_interval>1</repeat_interval><weekdays>%1</weekdays>")
                .arg(QLatin1String(days));
        };
        const auto monthly = [](const char* lists) {
            return QStringLiteral("<type>monthly</type><repeat_interval>1</repeat_interval>%1")
                .arg(QLatin1String(lists));
        };
        QTest::newRow("weekday 8") << weekly("<weekday>3</weekday><weekday>8</weekday>") << QStringLiteral("weekday 8");
        QTest::newRow("weekday 255") << weekly("<weekday>255</weekday>") << QStringLiteral("weekday 255");
        QTest::newRow("month 0") << monthly("<months><month>0</month><month>5</month></months><days/>")
                                 << QStringLiteral("month 0");
        QTest::newRow("month 13") << monthly("<months><month>13</month></months><days><day>2</day></days>")
                                  << QStringLiteral("month 13");
        QTest::newRow("day 0") << monthly("<months/><days><day>0</day></days>") << QStringLiteral("day 0");
        QTest::newRow("day 32") << monthly("<months/><days><day>32</day><day>1</day></days>")
                                << QStringLiteral("day 32");
        QTest::newRow("daily interval 0") << QStringLiteral("<type>daily</type><repeat_interval>0</repeat_interval>")
                                          << QStringLiteral("repeat_interval 0");
        QTest::newRow("weekly interval -2")
            << QStringLiteral("<type>weekly</type><repeat_interval>-2</repeat_interval><weekdays/>")
            << QStringLiteral("repeat_interval -2");
        QTest::newRow("monthly interval minimum")
            << QStringLiteral(
                   "<type>monthly</type><repeat_interval>-9223372036854775808</repeat_interval><months/><days/>")
            << QStringLiteral("repeat_interval -9223372036854775808");
    }
    void keepsOutOfRangeNumbers()
    {
        QFETCH(QString, trigger);
        QFETCH(QString, warning);
        const std::wstring task = L"<task><name>n</name><description/><starting_point>1</starting_point>"
                                  L"<run_only_on_working_days>false</run_only_on_working_days><trigger>" +
                                  trigger.toStdWString() +
                                  L"</trigger><action><type>command</type><executable>/bin/x</executable>"
                                  L"<arguments/><working_directory/></action></task>";
        const auto parsed = store::ParseTasks(taskXml(task));
        QCOMPARE(parsed.size(), std::size_t(1));
        QVERIFY2(parsed[0].task.has_value(), parsed[0].error.c_str());
        QCOMPARE(parsed[0].warnings.size(), std::size_t(1));
        QVERIFY2(QString::fromStdString(parsed[0].warnings[0]).contains(warning), parsed[0].warnings[0].c_str());

        // The written trigger holds the same children with the same numbers.
        const std::wstring written = store::WriteTasks({&*parsed[0].task});
        QString compact = QString::fromStdWString(written);
        compact.remove(QLatin1Char('\t')).remove(QLatin1Char('\n'));
        QString expected = trigger;
        expected.replace(QRegularExpression(QStringLiteral("<(\\w+)></\\1>")), QStringLiteral("<\\1/>"));
        QVERIFY2(compact.contains(QStringLiteral("<trigger>") + expected + QStringLiteral("</trigger>")),
                 qPrintable(compact));
        const auto again = store::ParseTasks(written);
        QCOMPARE(again.size(), std::size_t(1));
        QVERIFY(again[0].task && *again[0].task == *parsed[0].task);
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

    void formatWords_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("element");
        QTest::addColumn<int>("readBack");
        QTest::newRow("DXF") << 0 << QStringLiteral("<format>DXF</format>") << 0;
        QTest::newRow("MIF") << 1 << QStringLiteral("<format>MIF</format>") << 1;
        QTest::newRow("TXF/SXF") << 2 << QStringLiteral("<format>PNR</format>") << 2;
        QTest::newRow("DWG") << 3 << QStringLiteral("<format>DWG</format>") << 3;
        QTest::newRow("IFC") << 4 << QStringLiteral("<format>IFC</format>") << 4;
        QTest::newRow("unknown number") << 9 << QStringLiteral("<format/>") << 1;
    }
    void formatWords()
    {
        QFETCH(int, format);
        QFETCH(QString, element);
        QFETCH(int, readBack);
        TaskInfo task = makeTask(L"t");
        task.action = exportWith(static_cast<ExportFormat>(format));
        QTemporaryDir dir;
        const auto file = std::filesystem::path(dir.path().toStdString()) / "storage.xml";
        QVERIFY(store::WriteFile(file, store::WriteTasks({&task})));
        const std::wstring document = *store::ReadFile(file);
        QVERIFY(QString::fromStdWString(document).contains(QLatin1String("\t\t\t\t") + element));
        const auto parsed = store::ParseTasks(document);
        QCOMPARE(parsed.size(), std::size_t(1));
        QVERIFY2(parsed[0].task.has_value(), parsed[0].error.c_str());
        QCOMPARE(int(std::get<ExportAction>(parsed[0].task->action).format), readBack);
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
        QTest::newRow("unknown action") << start + daily + QStringLiteral("<action><type>copy</type></action></task>");
        QTest::newRow("bad uuid") << start + daily +
                                         QStringLiteral(
                                             "<action><type>backup</type><connection_id>not-a-uuid</"
                                             "connection_id><source_path/><destination_path/></action></task>");
        QTest::newRow("versions not a number")
            << start + daily +
                   QStringLiteral("<action><type>backup</type><connection_id>0f8fad5bd9cb469fa16570867728950e</"
                                  "connection_id><source_path/><destination_path/><keep_versions>-1</keep_versions></"
                                  "action></task>");
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
