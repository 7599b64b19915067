#include "scheduler/TaskStorage.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "model/TaskStoreFile.h"
#include "repository/Connections.h"
#include "scheduler/LocalZone.h"
#include "scheduler/NextRun.h"
#include "support/Connections.h"
#include "support/Files.h"
#include "support/Service.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <csignal>
#include <cstdio>

#include <atomic>
#include <fstream>
#include <optional>
#include <thread>

using namespace testsupport;

namespace {

// Sets a file's modification time (seconds since the epoch).
void touch(const QString& path, long seconds)
{
    struct utimbuf times
    {};
    times.actime = times.modtime = seconds;
    ::utime(QFile::encodeName(path).constData(), &times);
}

// One `task` element of a store file: a daily task that runs /bin/true.
QByteArray taskXml(const QByteArray& name, Instant start, const QByteArray& triggerType = "daily")
{
    return "<task><name>" + name + "</name><description/><starting_point>" + QByteArray::number(qint64(start)) +
           "</starting_point><trigger><type>" + triggerType +
           "</type><repeat_interval>1</repeat_interval></trigger><action><type>command</type>"
           "<executable>/bin/true</executable><arguments/></action></task>";
}

QStringList storedNames(const std::filesystem::path& store)
{
    QStringList names;
    const auto text = store::ReadFile(store);
    if (!text)
        return {QStringLiteral("(no file)")};
    try {
        for (const auto& p : store::ParseTasks(*text))
            names << (p.task ? QString::fromStdWString(p.task->name) : QStringLiteral("(bad)"));
    } catch (const std::exception& e) {
        return {QStringLiteral("(damaged) ") + QString::fromUtf8(e.what())};
    }
    return names;
}

// Lowers the largest file this process may write for as long as it lives; writes
// beyond it fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
};

QList<QJsonObject> recordedRuns(const QString& file)
{
    QList<QJsonObject> runs;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return runs;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.isEmpty())
            runs << QJsonDocument::fromJson(line).object();
    return runs;
}

} // namespace

class TaskStorageTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString repo;
    vadro_cm::Connection connection;

    TaskInfo dueSoon(std::int64_t ms = 150)
    {
        TaskInfo t;
        t.starting_point = CurrentInstant() + ms * kNanosPerMilli;
        return t;
    }

    TaskInfo exportTask(const QString& name, const QString& project)
    {
        TaskInfo t;
        t.name = name.toStdWString();
        t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
        ExportAction e;
        e.connection_id = connection.id;
        e.project_path = QString(QStringLiteral("vadro://Демо/") + project).toStdWString();
        e.output_path = QString(dir.path() + QStringLiteral("/out")).toStdWString();
        e.scheme_code = L"S1";
        t.action = e;
        return t;
    }

    // Runs a stored task now and waits until its log holds `lines` lines.
    QStringList runAndWait(TaskStorage& s, const TaskInfo* t, int lines)
    {
        s.RunNow(t);
        QStringList got;
        for (int i = 0; i < 200 && got.size() < lines; ++i) {
            QTest::qWait(25);
            got = logMessages(s, t);
        }
        return got;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QFile::exists(binPath(QStringLiteral("KalvorCLI"))));
        repo = dir.path() + QStringLiteral("/repo");
        writeFile(repo + QStringLiteral("/Проекты/A"), "alpha");
        writeFile(repo + QStringLiteral("/Проекты/B"), "beta");
        writeFile(repo + QStringLiteral("/Проекты/C"), "gamma");
        writeFile(repo + QStringLiteral("/Проекты/Sub/D"), "delta");
        QDir().mkpath(repo + QStringLiteral("/Пусто"));
        connection = folderConnection(QStringLiteral("Демо"), repo);
        saveConnections({connection});
        qputenv("KALVORCLI_RECORD", QFile::encodeName(dir.path() + QStringLiteral("/calls.jsonl")));
    }

    void startsEmptyAndPersists()
    {
        QTemporaryDir own;
        const auto store = fsPath(own.path() + QStringLiteral("/a/b/storage.xml"));
        const TaskInfo* stored;
        {
            TaskStorage s(store, fsPath(own.path() + QStringLiteral("/logs")), vadro::CreateCore());
            QVERIFY(s.Tasks().empty());
            TaskInfo t;
            t.name = L"первая";
            stored = s.AddTask(t);
            t.name = L"вторая";
            QVERIFY(s.AddTask(t) != stored);
            QCOMPARE(s.Tasks().front().get(), stored);
            struct stat st
            {};
            QCOMPARE(::stat(store.c_str(), &st), 0);
            QCOMPARE(int(st.st_mode & 0777), 0600);
            struct stat logSt
            {};
            QCOMPARE(::stat(s.LogFilePath(stored).c_str(), &logSt), 0);
            QCOMPARE(int(logSt.st_mode & 0777), 0600);
        }
        TaskStorage again(store, fsPath(own.path() + QStringLiteral("/logs")), vadro::CreateCore());
        QCOMPARE(again.Tasks().size(), std::size_t(2));
        QCOMPARE(again.Tasks().back()->name, std::wstring(L"вторая"));
    }

    // A store written by hand: the good tasks around a bad one are loaded in order and
    // armed; the one due soon fires, the one whose start lies long past waits for its
    // next run after the load.
    void loadArmsTheGoodTasksAroundABadOne_data()
    {
        QTest::addColumn<QByteArray>("bad");
        const Instant later = CurrentInstant() + 3600 * kNanosPerSecond;
        QTest::newRow("unknown trigger") << taskXml("плохая", later, "hourly");
        QTest::newRow("no name") << QByteArray(taskXml("x", later)).replace("<name>x</name>", "");
        QTest::newRow("starting point not a number")
            << QByteArray(taskXml("плохая", later)).replace("<starting_point>", "<starting_point>x");
        QTest::newRow("unknown action") << QByteArray(taskXml("плохая", later)).replace("command", "teleport");
    }
    void loadArmsTheGoodTasksAroundABadOne()
    {
        QFETCH(QByteArray, bad);
        QTemporaryDir own;
        const QString store = own.path() + QStringLiteral("/storage.xml");
        const Instant soon = CurrentInstant() + 400 * kNanosPerMilli;
        const Instant longAgo = CurrentInstant() - (400 * 86400 + 6 * 3600) * kNanosPerSecond;
        writeFile(store, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config><tasks>" + taskXml("скоро", soon) + bad +
                             taskXml("давняя", longAgo) + "</tasks></config>\n");

        const Instant before = CurrentInstant();
        TaskStorage s(fsPath(store), fsPath(own.path() + QStringLiteral("/logs")), vadro::CreateCore());
        const Instant after = CurrentInstant();
        QCOMPARE(s.Tasks().size(), std::size_t(2));
        const TaskInfo* first = s.Tasks().front().get();
        const TaskInfo* last = s.Tasks().back().get();
        QCOMPARE(first->name, std::wstring(L"скоро"));
        QCOMPARE(last->name, std::wstring(L"давняя"));

        const Instant expected = schedule::NextRun(*last, before, LocalZone());
        QCOMPARE(schedule::NextRun(*last, after, LocalZone()), expected);
        QVERIFY(expected > after);
        QCOMPARE(s.ScheduledRun(last), expected);

        QTRY_VERIFY_WITH_TIMEOUT(logMessages(s, first).size() == 2, 5000);
        QCOMPARE(logMessages(s, first).first(), QStringLiteral("Начало выполнения задания."));
        QCOMPARE(s.ScheduledRun(first), soon + 86400 * kNanosPerSecond);
        QVERIFY(logMessages(s, last).isEmpty());
    }

    // Every change reaches the store file at once, and replaces it as a whole: a hard
    // link to the old file keeps the old content complete, and a write that fails half
    // way leaves the old file as it was.
    void changesReplaceTheStoreFile_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("writeFails");
        QTest::addColumn<QStringList>("expected");
        const QString a = QStringLiteral("альфа"), b = QStringLiteral("бета");
        QTest::newRow("add") << "add" << false << QStringList{a, b, QStringLiteral("гамма")};
        QTest::newRow("update") << "update" << false << QStringList{QStringLiteral("альфа, правка"), b};
        QTest::newRow("remove") << "remove" << false << QStringList{b};
        QTest::newRow("add, write fails") << "add" << true << QStringList{a, b};
        QTest::newRow("update, write fails") << "update" << true << QStringList{a, b};
    }
    void changesReplaceTheStoreFile()
    {
        QFETCH(QString, change);
        QFETCH(bool, writeFails);
        QFETCH(QStringList, expected);
        QTemporaryDir own;
        const QString store = own.path() + QStringLiteral("/storage.xml");
        const QString link = own.path() + QStringLiteral("/old.xml");
        TaskStorage s(fsPath(store), fsPath(own.path() + QStringLiteral("/logs")), vadro::CreateCore());
        TaskInfo t;
        t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
        t.name = L"альфа";
        const TaskInfo* alpha = s.AddTask(t);
        t.name = L"бета";
        s.AddTask(t);
        const QByteArray old = readFile(store);
        QCOMPARE(::link(QFile::encodeName(store).constData(), QFile::encodeName(link).constData()), 0);

        // Every field changes; the start lies long past, so the update arms the next run
        // after now, not the start.
        TaskInfo edited = *alpha;
        edited.name = L"альфа, правка";
        edited.description = L"описание";
        edited.starting_point = CurrentInstant() - (400 * 86400 + 6 * 3600) * kNanosPerSecond;
        edited.trigger = DailyTrigger{2};
        edited.run_only_on_working_days = true;
        edited.action = CommandAction{"/bin/true", {}, L"-x"};
        t.name = L"гамма";
        // Grow the file past the limit below: an added task stays within one write buffer,
        // whose failure shows only when it is flushed; an update needs several writes.
        if (writeFails)
            t.description = edited.description = std::wstring(change == QLatin1String("add") ? 1000 : 40000, L'г');
        const Instant before = CurrentInstant();
        {
            std::optional<FileSizeLimit> limit;
            if (writeFails)
                limit.emplace(old.size() + 16);
            if (change == QLatin1String("add"))
                s.AddTask(t);
            else if (change == QLatin1String("update"))
                s.UpdateTask(alpha, edited);
            else
                s.RemoveTask(alpha);
        }
        const Instant after = CurrentInstant();
        QCOMPARE(storedNames(fsPath(store)), expected);
        QCOMPARE(readFile(link), old);
        if (writeFails)
            QCOMPARE(readFile(store), old);
        if (change == QLatin1String("update")) {
            QVERIFY(*alpha == edited);
            if (!writeFails)
                QVERIFY(store::ParseTasks(*store::ReadFile(fsPath(store))).front().task.value() == edited);
            const Instant next = schedule::NextRun(edited, before, LocalZone());
            QCOMPARE(schedule::NextRun(edited, after, LocalZone()), next);
            QVERIFY(next > after);
            QCOMPARE(s.ScheduledRun(alpha), next);
        }
    }

    void timerRunsCommandAndRearms()
    {
        auto s = serviceIn(dir.path());
        const QString marker = dir.path() + QStringLiteral("/marker");
        const QString script = dir.path() + QStringLiteral("/tools/mark.sh");
        writeScript(script, "printf '%s|%s' \"$1\" \"$(pwd)\" > \"$MARKER\"\n");
        qputenv("MARKER", QFile::encodeName(marker));
        TaskInfo t = dueSoon();
        t.name = L"команда";
        t.action = CommandAction{fsPath(script), {}, L"-a -b Ж"};
        const TaskInfo* stored = s->AddTask(t);
        QTRY_VERIFY_WITH_TIMEOUT(logMessages(*s, stored).size() == 2, 5000);
        const QStringList lines = logMessages(*s, stored);
        QCOMPARE(lines[0], QStringLiteral("Начало выполнения задания."));
        const QDateTime next =
            QDateTime::fromMSecsSinceEpoch((t.starting_point + 86400 * kNanosPerSecond) / kNanosPerMilli);
        QCOMPARE(lines[1], QStringLiteral("Завершение выполнения задания. Следующий запуск: ") +
                               next.toString(QStringLiteral("dd.MM.yyyy 'в' hh:mm:ss")) + QLatin1Char('.'));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(marker).size() > 0, 5000);
        QFile m(marker);
        QVERIFY(m.open(QIODevice::ReadOnly));
        // One argument with the whole text; the start directory is the program's.
        QCOMPARE(QString::fromUtf8(m.readAll()), QStringLiteral("-a -b Ж|") + dir.path() + QStringLiteral("/tools"));
        QCOMPARE(s->ScheduledRun(stored), t.starting_point + 86400 * kNanosPerSecond);

        // An empty arguments text is still one (empty) argument.
        QFile::remove(marker);
        std::get<CommandAction>(t.action).arguments.clear();
        t.starting_point += 86400 * kNanosPerSecond;
        s->UpdateTask(stored, t);
        s->RunNow(stored);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(marker).size() > 0, 5000);
        QFile again(marker);
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(again.readAll()), QStringLiteral("|") + dir.path() + QStringLiteral("/tools"));
    }

    void exportOutcomesAreLogged_data()
    {
        QTest::addColumn<QByteArray>("exitCode");
        QTest::addColumn<QByteArray>("stderrText");
        QTest::addColumn<QByteArray>("tool"); // empty: the stand-in; "missing"; else a script's body
        QTest::addColumn<QStringList>("expected");
        const QString failed = QStringLiteral("Задание не выполнено:");
        QTest::newRow("success, stderr not read") << QByteArray("0") << QByteArray("noise") << QByteArray()
                                                  << QStringList{QStringLiteral("Задание успешно выполнено.")};
        QTest::newRow("failure lines") << QByteArray("2") << QByteArray("a\\n\\nб") << QByteArray()
                                       << QStringList{failed, QStringLiteral("a"), QString(), QStringLiteral("б")};
        QTest::newRow("tool cannot start") << QByteArray() << QByteArray() << QByteArray("missing")
                                           << QStringList{failed, QStringLiteral("No such file or directory")};
        QTest::newRow("one bad byte") << QByteArray("1") << QByteArray("Ошибка: файл \xff.ifc") << QByteArray()
                                      << QStringList{failed, QStringLiteral("Ошибка: файл \uFFFD.ifc")};
        QTest::newRow("no error output") << QByteArray("3") << QByteArray() << QByteArray()
                                         << QStringList{failed, QStringLiteral("Программа завершилась с кодом 3.")};
        QTest::newRow("killed by a signal") << QByteArray() << QByteArray() << QByteArray("kill -KILL $$\n")
                                            << QStringList{failed, QStringLiteral("Программа завершена сигналом 9.")};
    }
    void exportOutcomesAreLogged()
    {
        QFETCH(QByteArray, exitCode);
        QFETCH(QByteArray, stderrText);
        QFETCH(QByteArray, tool);
        QFETCH(QStringList, expected);
        auto s = serviceIn(dir.path());
        const QString script = dir.path() + QStringLiteral("/tool-") + QString::fromLatin1(QTest::currentDataTag());
        if (tool == "missing")
            s->SetToolPath(fsPath(dir.path() + QStringLiteral("/no/KalvorCLI")));
        if (!tool.isEmpty() && tool != "missing") {
            writeScript(script, tool);
            s->SetToolPath(fsPath(script));
        }
        const ScopedEnvironment env{{"KALVORCLI_EXIT_CODE", exitCode}, {"KALVORCLI_STDERR", stderrText}};
        TaskInfo t = exportTask(QStringLiteral("экспорт ") + QString::fromLatin1(QTest::currentDataTag()),
                                QStringLiteral("Проекты/A"));
        const TaskInfo* stored = s->AddTask(t);
        const QStringList lines = runAndWait(*s, stored, expected.size());
        QCOMPARE(lines, expected);
        // The stored reason is the line that says why.
        if (expected.size() > 1)
            QTRY_COMPARE(QString::fromStdWString(s->Copy(stored).last_run.reason), expected[1]);
        // A run through RunNow leaves the schedule alone.
        QCOMPARE(s->ScheduledRun(stored), t.starting_point);
    }

    void unusableSourcesAreLogged()
    {
        auto s = serviceIn(dir.path());
        TaskInfo bad = exportTask(QStringLiteral("bad path"), QString());
        std::get<ExportAction>(bad.action).project_path = L"http://x/y";
        TaskInfo noConnection = exportTask(QStringLiteral("no connection"), QStringLiteral("Проекты/A"));
        std::get<ExportAction>(noConnection.action).connection_id = vadro::GenerateUuid();
        TaskInfo missing = exportTask(QStringLiteral("missing"), QStringLiteral("Проекты/Z"));
        const TaskInfo* a = s->AddTask(bad);
        const TaskInfo* b = s->AddTask(noConnection);
        const TaskInfo* c = s->AddTask(missing);
        QCOMPARE(runAndWait(*s, a, 2), (QStringList{QStringLiteral("Неверно задан путь http://x/y"), QString()}));
        QCOMPARE(runAndWait(*s, b, 1),
                 QStringList{QStringLiteral("Не удалось найти подключение к ХД по пути vadro://Демо/Проекты/A")});
        QCOMPARE(runAndWait(*s, c, 1), QStringList{QStringLiteral("Не найден файл vadro://Демо/Проекты/Z")});
    }

    void onlyChangedExportOfAFolder()
    {
        const QString calls = dir.path() + QStringLiteral("/calls.jsonl");
        QFile::remove(calls);
        auto s = serviceIn(dir.path());
        const TaskInfo* stored = s->AddTask(exportTask(QStringLiteral("folder"), QStringLiteral("Проекты")));
        QCOMPARE(runAndWait(*s, stored, 3).size(), 3);
        QList<QJsonObject> runs = recordedRuns(calls);
        QCOMPARE(runs.size(), 3);
        QCOMPARE(
            runs[0][QStringLiteral("args")].toVariant().toStringList(),
            (QStringList{QStringLiteral("--action"), QStringLiteral("export"), QStringLiteral("--format"),
                         QStringLiteral("DXF"), QStringLiteral("--project-path"),
                         QStringLiteral("vadro://Демо/Проекты/A"), QStringLiteral("--output-dir"),
                         dir.path() + QStringLiteral("/out"), QStringLiteral("--options-code"), QStringLiteral("S1")}));
        QVERIFY(QFile::exists(dir.path() + QStringLiteral("/out/B.dxf")));
        // Nothing changed: no tool, no lines. The times reached the store file.
        s->RunNow(stored);
        QTest::qWait(300);
        QCOMPARE(recordedRuns(calls).size(), 3);
        QCOMPARE(logMessages(*s, stored).size(), 3);
        QVERIFY(store::ReadFile(s->StorePath())->find(L"vadro://Демо/Проекты/C") != std::wstring::npos);
        // One document changes, and its export fails: it is tried again next time.
        touch(repo + QStringLiteral("/Проекты/B"), 2000000000);
        qputenv("KALVORCLI_EXIT_CODE", "3");
        QCOMPARE(runAndWait(*s, stored, 5).size(), 5);
        qunsetenv("KALVORCLI_EXIT_CODE");
        QCOMPARE(runAndWait(*s, stored, 6).size(), 6);
        runs = recordedRuns(calls);
        QCOMPARE(runs.size(), 5);
        QCOMPARE(runs[4][QStringLiteral("args")].toArray()[5].toString(), QStringLiteral("vadro://Демо/Проекты/B"));
        s->RunNow(stored);
        QTest::qWait(300);
        QCOMPARE(recordedRuns(calls).size(), 5);
    }

    void checkOfADirectory()
    {
        const QString calls = dir.path() + QStringLiteral("/calls.jsonl");
        QFile::remove(calls);
        const QString ifc = dir.path() + QStringLiteral("/ifc");
        writeFile(ifc + QStringLiteral("/b.IFC"), "b");
        writeFile(ifc + QStringLiteral("/a.ifc"), "a");
        writeFile(ifc + QStringLiteral("/notes.txt"), "n");
        writeFile(ifc + QStringLiteral("/.hidden.ifc"), "h");
        QDir().mkpath(ifc + QStringLiteral("/c.ifc"));
        writeFile(dir.path() + QStringLiteral("/rules.ids"), "ids");
        auto s = serviceIn(dir.path());
        TaskInfo t;
        t.name = L"check";
        t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
        CheckAction c;
        c.ifc_file = ifc.toStdWString();
        c.ids_file = QString(dir.path() + QStringLiteral("/rules.ids")).toStdWString();
        t.action = c;
        const TaskInfo* stored = s->AddTask(t);
        QCOMPARE(runAndWait(*s, stored, 1), QStringList{QStringLiteral("Задание успешно выполнено.")});
        const auto runs = recordedRuns(calls);
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs[0][QStringLiteral("args")].toVariant().toStringList(),
                 (QStringList{QStringLiteral("--action"), QStringLiteral("check"), QStringLiteral("--format"),
                              QStringLiteral("ids"), QStringLiteral("--source-path"), ifc + QStringLiteral("/a.ifc"),
                              QStringLiteral("--source-path"), ifc + QStringLiteral("/b.IFC"),
                              QStringLiteral("--check-path"), dir.path() + QStringLiteral("/rules.ids")}));
        // Unchanged files: nothing runs.
        s->RunNow(stored);
        QTest::qWait(300);
        QCOMPARE(recordedRuns(calls).size(), 1);
        // With only-changed off the directory itself is the one source.
        std::get<CheckAction>(t.action).only_changed_documents = false;
        s->UpdateTask(stored, t);
        runAndWait(*s, stored, 2);
        QCOMPARE(recordedRuns(calls).last()[QStringLiteral("args")].toArray()[5].toString(), ifc);
    }

    void backups()
    {
        auto s = serviceIn(dir.path());
        const QString dest = dir.path() + QStringLiteral("/backup/deep");
        TaskInfo t;
        t.name = L"backup";
        t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
        t.action = BackupAction{connection.id, L"vadro://Демо/Проекты", dest.toStdWString()};
        const TaskInfo* stored = s->AddTask(t);
        QCOMPARE(runAndWait(*s, stored, 1),
                 QStringList{QStringLiteral("Резервное копирование завершено: скопировано документов 4.")});
        // The pool keeps the outcome as the task's last run.
        QTRY_COMPARE_WITH_TIMEOUT(s->Copy(stored).last_run.outcome, RunOutcome::Succeeded, 5000);
        QFile d(dest + QStringLiteral("/Sub/D"));
        QVERIFY(d.open(QIODevice::ReadOnly));
        QCOMPARE(d.readAll(), QByteArray("delta"));
        // A second run overwrites and leaves extra files alone.
        writeFile(dest + QStringLiteral("/X"), "extra");
        writeFile(dest + QStringLiteral("/A"), "stale");
        QCOMPARE(runAndWait(*s, stored, 2).size(), 2);
        QFile a(dest + QStringLiteral("/A"));
        QVERIFY(a.open(QIODevice::ReadOnly));
        QCOMPARE(a.readAll(), QByteArray("alpha"));
        QVERIFY(QFile::exists(dest + QStringLiteral("/X")));
        // An empty source writes nothing, not even the destination.
        const QString emptyDest = dir.path() + QStringLiteral("/backup-empty");
        std::get<BackupAction>(t.action) = BackupAction{connection.id, L"vadro://Демо/Пусто", emptyDest.toStdWString()};
        s->UpdateTask(stored, t);
        QCOMPARE(runAndWait(*s, stored, 3).last(),
                 QStringLiteral("Резервное копирование завершено: скопировано документов 0."));
        QVERIFY(!QFileInfo::exists(emptyDest));
        // A source that does not exist is reported.
        std::get<BackupAction>(t.action).source_path = L"vadro://Демо/Нет";
        s->UpdateTask(stored, t);
        QVERIFY(runAndWait(*s, stored, 4).last().startsWith(QStringLiteral("Резервное копирование не выполнено: ")));
        QTRY_COMPARE_WITH_TIMEOUT(s->Copy(stored).last_run.outcome, RunOutcome::Failed, 5000);
        QCOMPARE(QString::fromStdWString(s->Copy(stored).last_run.reason), logMessages(*s, stored).last());
    }

    void updateRearmsAndKeepsPlace()
    {
        // The service's clock stands still, so the instants it arms are known exactly.
        const Instant now = CurrentInstant();
        TaskStorage::Settings pinned;
        pinned.clock = [now] { return now; };
        auto s = serviceIn(dir.path(), vadro::CreateCore(), pinned);
        TaskInfo first = exportTask(QStringLiteral("u1"), QStringLiteral("Проекты/A"));
        std::get<ExportAction>(first.action).modification_times = {{L"x", 1}};
        const TaskInfo* stored = s->AddTask(first);
        s->AddTask(exportTask(QStringLiteral("u2"), QStringLiteral("Проекты/B")));
        TaskInfo edited = first;
        edited.starting_point += 7 * kNanosPerSecond;
        s->UpdateTask(stored, edited);
        QCOMPARE(s->Tasks().front().get(), stored);
        QCOMPARE(s->ScheduledRun(stored), edited.starting_point);
        QCOMPARE(std::get<ExportAction>(stored->action).modification_times.size(), std::size_t(1));
        std::get<ExportAction>(edited.action).project_path = L"vadro://Демо/Проекты/B";
        s->UpdateTask(stored, edited);
        QVERIFY(std::get<ExportAction>(stored->action).modification_times.empty());
        TaskInfo stranger;
        QVERIFY_EXCEPTION_THROWN(s->UpdateTask(&stranger, edited), std::out_of_range);
        // A wait cancelled by an update never runs the task: a task due later has run
        // once its time has passed, and the cancelled one has not.
        TaskInfo soon;
        soon.starting_point = CurrentInstant() + 400 * kNanosPerMilli;
        soon.name = L"cancelled";
        const TaskInfo* c = s->AddTask(soon);
        soon.starting_point += 3600 * kNanosPerSecond;
        s->UpdateTask(c, soon);
        QCOMPARE(s->ScheduledRun(c), soon.starting_point);
        TaskInfo marker;
        marker.starting_point = soon.starting_point - 3600 * kNanosPerSecond + 100 * kNanosPerMilli;
        marker.name = L"after the cancelled one";
        const TaskInfo* m = s->AddTask(marker);
        QCOMPARE(s->ScheduledRun(m), marker.starting_point);
        QTRY_VERIFY_WITH_TIMEOUT(!logMessages(*s, m).isEmpty(), 5000);
        QVERIFY(logMessages(*s, c).isEmpty());
    }

    // Every name gets a log of its own inside the log directory; it follows the task to a
    // new name and goes with the task. Nothing outside the directory is touched.
    void logFilesStayInsideTheLogDirectory()
    {
        auto s = serviceIn(dir.path());
        const QString outside = dir.path() + QStringLiteral("/evil.log");
        writeFile(outside, "keep");
        TaskInfo t;
        t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
        for (const std::wstring& name :
             {std::wstring(L"../evil"), std::wstring(L"Архив 01/12"), std::wstring(300, L'я')}) {
            t.name = name;
            const TaskInfo* stored = s->AddTask(t);
            const auto log = s->LogFilePath(stored);
            QCOMPARE(log.parent_path(), s->LogDirectory());
            s->Log(stored, L"строка", false);
            QCOMPARE(logMessages(*s, stored), QStringList{QStringLiteral("строка")});
            s->RemoveTask(stored);
            QVERIFY(!std::filesystem::exists(log));
        }
        QCOMPARE(readFile(outside), QByteArray("keep"));

        // A renamed task takes its log along, unless the new name has one already.
        t.name = L"старое";
        const TaskInfo* renamed = s->AddTask(t);
        s->Log(renamed, L"история", false);
        t.name = L"новое";
        s->UpdateTask(renamed, t);
        QCOMPARE(s->LogFilePath(renamed), s->LogDirectory() / std::filesystem::u8path("новое.log"));
        QCOMPARE(logMessages(*s, renamed), QStringList{QStringLiteral("история")});
        QVERIFY(!std::filesystem::exists(s->LogDirectory() / std::filesystem::u8path("старое.log")));
        const QString taken = common::toQString(s->LogDirectory() / std::filesystem::u8path("занято.log"));
        writeFile(taken, "01.01.2026 10:00:00 чужое\n");
        t.name = L"занято";
        s->UpdateTask(renamed, t);
        QCOMPARE(logMessages(*s, renamed), QStringList{QStringLiteral("чужое")});
        QVERIFY(std::filesystem::exists(s->LogDirectory() / std::filesystem::u8path("новое.log")));

        s->RemoveTask(renamed);
        QVERIFY(!QFile::exists(taken));
        QVERIFY(s->Tasks().empty());
        s->RemoveTask(renamed); // unknown now: removes nothing, still saves
        QVERIFY(store::ReadFile(s->StorePath())->find(L"<tasks/>") != std::wstring::npos);
    }

    // Every log line reaches standard error as one line of its own, headed with the task's
    // name when asked; a task no longer stored still reaches it, unheaded.
    void logLinesAreEchoedOnStandardError()
    {
        auto s = serviceIn(dir.path());
        TaskInfo t;
        t.name = L"эхо";
        t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
        const TaskInfo* stored = s->AddTask(t);
        QTemporaryFile capture;
        QVERIFY(capture.open());
        // Qt's own handler, as in the program; the test framework's would keep the lines.
        const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
        common::UseBareMessages();
        std::fflush(stderr);
        const int saved = ::dup(2);
        QVERIFY(saved >= 0);
        QCOMPARE(::dup2(capture.handle(), 2), 2);
        s->Log(stored, L"первая строка", true);
        s->Log(stored, L"вторая", false);
        s->RemoveTask(stored);
        s->Log(stored, L"после удаления", true);
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        qInstallMessageHandler(testHandler);
        capture.seek(0);
        const QString echoed = QString::fromUtf8(capture.readAll());
        const QString stamp = QStringLiteral("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d ");
        const QRegularExpression expected(QStringLiteral("^\\[эхо\\]: ") + stamp + QStringLiteral("первая строка\n") +
                                          stamp + QStringLiteral("вторая\n") + stamp +
                                          QStringLiteral("после удаления\n$"));
        QVERIFY2(expected.match(echoed).hasMatch(), qPrintable(echoed));
    }

    // A run whose start throws ends as failed with the reason, logged, and its task stays
    // scheduled; the worker goes on with the next one.
    void aThrowingStartEndsTheRunAndRearms()
    {
        auto s = serviceIn(dir.path());
        std::atomic<int> calls{0};
        s->SetStartObserver([&calls](const TaskInfo*) {
            if (calls++ == 0)
                throw std::runtime_error("first job fails");
        });
        TaskInfo first = dueSoon(50);
        first.name = L"throws";
        TaskInfo second = dueSoon(300);
        second.name = L"runs";
        const TaskInfo* failing = s->AddTask(first);
        const TaskInfo* later = s->AddTask(second);
        QTRY_VERIFY_WITH_TIMEOUT(logMessages(*s, later).size() >= 2, 5000);
        QCOMPARE(logMessages(*s, later).first(), QStringLiteral("Начало выполнения задания."));
        QCOMPARE(calls.load(), 2);
        const QStringList lines = logMessages(*s, failing);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], QStringLiteral("Задание не выполнено: first job fails"));
        QVERIFY2(lines[1].startsWith(QStringLiteral("Завершение выполнения задания. Следующий запуск: ")),
                 qPrintable(lines[1]));
        const LastRun kept = s->Copy(failing).last_run;
        QCOMPARE(kept.outcome, RunOutcome::Failed);
        QCOMPARE(kept.reason, std::wstring(L"first job fails"));
        QVERIFY(s->ScheduledRun(failing) > CurrentInstant() + 3600 * kNanosPerSecond);
    }

    // A run due at once does not start before the whole store is loaded: every save holds
    // every task.
    void loadArmsEveryTaskBeforeARun()
    {
        QTemporaryDir own;
        const auto store = fsPath(own.path() + QStringLiteral("/storage.xml"));
        const QString snapshot = own.path() + QStringLiteral("/at-start.xml");
        const QString script = own.path() + QStringLiteral("/snapshot.sh");
        // The run copies the store as its start saved it.
        writeScript(script, "cp '" + QFile::encodeName(QString::fromStdString(store.string())) + "' '" +
                                QFile::encodeName(snapshot) + "'\n");
        constexpr int kCount = 3000;
        std::vector<TaskInfo> tasks(kCount);
        const Instant now = CurrentInstant();
        for (int i = 0; i < kCount; ++i) {
            tasks[i].name = L"t" + std::to_wstring(i);
            tasks[i].starting_point = now + 3600 * kNanosPerSecond;
            tasks[i].action = CommandAction{"/bin/true", {}, {}};
        }
        // The first one missed a run, made up at once.
        tasks[0].action = CommandAction{fsPath(script), {}, {}};
        tasks[0].run_missed = true;
        tasks[0].awaited_run = now - 60 * kNanosPerSecond;
        std::vector<const TaskInfo*> list;
        for (const TaskInfo& t : tasks)
            list.push_back(&t);
        QVERIFY(store::WriteFile(store, store::WriteTasks(list)));
        TaskStorage::Settings settings;
        settings.missedRunDelay = std::chrono::milliseconds(0);
        TaskStorage s(store, fsPath(own.path() + QStringLiteral("/logs")), vadro::CreateCore(), settings);
        QTRY_VERIFY_WITH_TIMEOUT(s.Copy(s.Tasks().front().get()).last_run.outcome == RunOutcome::Succeeded, 10000);
        QCOMPARE(int(s.Tasks().size()), kCount);
        QCOMPARE(storedNames(fsPath(snapshot)).size(), kCount);
    }

    // What an interrupted save left beside the store is removed at the start; nothing else is.
    void saveLeftoversAreRemoved()
    {
        QTemporaryDir own;
        const QString store = own.path() + QStringLiteral("/storage.xml");
        const QStringList removed{QStringLiteral("storage.xml.aB3xYz"), QStringLiteral("storage.xml.QWERTY")};
        const QStringList kept{QStringLiteral("storage.xml.aB3xY"),  QStringLiteral("storage.xml.aB3xYz1"),
                               QStringLiteral("storage.xml.aB-xYz"), QStringLiteral("other.xml.aB3xYz"),
                               QStringLiteral("storage.xml.Link00"), QStringLiteral("storage.xml.Dir000")};
        for (const QString& name : removed + kept.mid(0, 4))
            writeFile(own.filePath(name), "<config>");
        QVERIFY(QFile::link(own.filePath(QStringLiteral("other.xml.aB3xYz")), own.filePath(kept[4])));
        QVERIFY(QDir(own.path()).mkdir(kept[5]));
        // A log's rotation cut short leaves its temporary file in the log folder.
        writeFile(own.filePath(QStringLiteral("logs/.log-rotate.Pg8wmw")), "older half");
        writeFile(own.filePath(QStringLiteral("logs/.log-rotate.log")), "a task named .log-rotate");
        TaskStorage s(fsPath(store), fsPath(own.path() + QStringLiteral("/logs")), vadro::CreateCore());
        QVERIFY(!QFileInfo::exists(own.filePath(QStringLiteral("logs/.log-rotate.Pg8wmw"))));
        QVERIFY(QFileInfo::exists(own.filePath(QStringLiteral("logs/.log-rotate.log"))));
        for (const QString& name : removed)
            QVERIFY2(!QFileInfo::exists(own.filePath(name)), qPrintable(name));
        for (const QString& name : kept)
            QVERIFY2(QFileInfo(own.filePath(name)).exists(), qPrintable(name));
    }

    // Adds, updates, removes and runs tasks from this thread while the worker fires them
    // every few milliseconds; run under ThreadSanitizer in CI.
    void stress()
    {
        auto s = serviceIn(dir.path());
        std::vector<const TaskInfo*> live;
        for (int i = 0; i < 300; ++i) {
            TaskInfo t = dueSoon(2 + i % 5);
            t.name = L"stress" + std::to_wstring(i % 7);
            if (i % 3 == 0)
                t.action = BackupAction{connection.id, L"bad path", L"/nowhere"};
            else
                t.action = exportTask(QStringLiteral("x"), QStringLiteral("Нет")).action;
            live.push_back(s->AddTask(t));
            if (live.size() > 5) {
                TaskInfo edited = *live[i % live.size()];
                edited.starting_point = CurrentInstant() + 1 * kNanosPerMilli;
                s->UpdateTask(live[i % live.size()], edited);
                s->RunNow(live[(i + 1) % live.size()]);
                s->RemoveTask(live.front());
                live.erase(live.begin());
            }
            if (i % 50 == 0)
                QTest::qWait(5);
        }
        QTest::qWait(200);
        QCOMPARE(s->Tasks().size(), live.size());
        s.reset(); // destruction with backups and runs possibly in flight
    }
};

QTEST_GUILESS_MAIN(TaskStorageTest)
#include "TaskStorageTest.moc"
