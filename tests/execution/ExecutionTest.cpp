#include "execution/Actions.h"
#include "execution/Backup.h"
#include "execution/CliPath.h"
#include "execution/TaskLog.h"
#include "execution/ToolRun.h"
#include "support/Connections.h"
#include "support/Files.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <future>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::filesystem::path tool()
{
    return testsupport::fsPath(testsupport::binPath(QStringLiteral("KalvorCLI")));
}

QStringList toQt(const std::vector<std::string>& args)
{
    QStringList out;
    for (const auto& a : args)
        out << QString::fromStdString(a);
    return out;
}

std::string script(const QTemporaryDir& dir, const char* name, const QByteArray& body)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    testsupport::writeScript(path, body);
    return path.toStdString();
}

} // namespace

class ExecutionTest : public QObject
{
    Q_OBJECT

private slots:
    void exportArguments_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QStringList>("tail");
        QTest::newRow("MIF with scheme") << 1
                                         << QStringList{QStringLiteral("MIF"), QStringLiteral("P"),
                                                        QStringLiteral("/tmp/out"), QStringLiteral("S1")};
        QTest::newRow("IFC with mapping and version")
            << 4
            << QStringList{QStringLiteral("IFC"), QStringLiteral("P"), QStringLiteral("/tmp/out"), QStringLiteral("M2"),
                           QStringLiteral("4.0")};
        for (const auto& [format, word] : {std::pair{0, "DXF"}, std::pair{2, "PNR"}, std::pair{3, "DWG"}})
            QTest::newRow(word) << format
                                << QStringList{QString::fromLatin1(word), QStringLiteral("P"),
                                               QStringLiteral("/tmp/out"), QStringLiteral("S1")};
        QTest::newRow("unknown format, empty word")
            << 9 << QStringList{QString(), QStringLiteral("P"), QStringLiteral("/tmp/out"), QStringLiteral("S1")};
    }
    void exportArguments()
    {
        QFETCH(int, format);
        QFETCH(QStringList, tail);
        ExportAction a;
        a.format = static_cast<ExportFormat>(format);
        a.output_path = L"/tmp/out";
        a.scheme_code = L"S1";
        a.ifc_mapping_code = L"M2";
        QStringList expected{QStringLiteral("/opt/kalvorbim/bin/KalvorCLI"),
                             QStringLiteral("--action"),
                             QStringLiteral("export"),
                             QStringLiteral("--format"),
                             tail[0],
                             QStringLiteral("--project-path"),
                             tail[1],
                             QStringLiteral("--output-dir"),
                             tail[2],
                             QStringLiteral("--options-code"),
                             tail[3]};
        if (format == IFC)
            expected << QStringLiteral("--ifc-version") << tail[4];
        QCOMPARE(toQt(execution::ExportArguments("/opt/kalvorbim/bin/KalvorCLI", a, L"P")), expected);
    }

    void cliPathFromConfig_data()
    {
        QTest::addColumn<QByteArray>("limits");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<bool>("told");
        QTest::newRow("none") << QByteArray() << 240 << false;
        QTest::newRow("whole minutes") << QByteArray("ToolTimeoutMinutes=15") << 15 << false;
        for (const char* bad : {"0.5", "0", "-3", "soon", "1e3", "99999999999"})
            QTest::newRow(bad) << QByteArray("ToolTimeoutMinutes=") + bad << 240 << true;
    }
    void cliPathFromConfig()
    {
        QFETCH(QByteArray, limits);
        QFETCH(int, minutes);
        QFETCH(bool, told);
        QTemporaryDir dir;
        const auto ini = std::filesystem::u8path(dir.filePath(QStringLiteral("config.ini")).toStdString());
        QCOMPARE(CliExecutablePathFrom(ini), std::filesystem::path("/opt/kalvorbim/bin/KalvorCLI"));
        testsupport::writeFile(QString::fromStdString(ini.string()),
                               "[Paths]\nKalvor-III=/usr/local/kalvor\n[Limits]\n" + limits + '\n');
        QCOMPARE(CliExecutablePathFrom(ini), std::filesystem::path("/usr/local/kalvor/KalvorCLI"));
        std::string unused;
        QCOMPARE(ToolTimeoutFrom(ini, &unused), std::chrono::minutes(minutes));
        // A value that is there but not used is named, with the value used instead.
        QCOMPARE(!unused.empty(), told);
        QVERIFY(unused.empty() || unused.find("240 minutes") != std::string::npos);
    }

    void commandStart_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("workingDirectory");
        QTest::addColumn<QString>("startDirectory");
        QTest::newRow("directory of the program") << "/opt/tools/run.sh"
                                                  << ""
                                                  << "/opt/tools";
        QTest::newRow("given directory") << "/opt/tools/run.sh"
                                         << "/srv"
                                         << "/srv";
        QTest::newRow("bare name, no directory") << "run.sh"
                                                 << ""
                                                 << "";
    }
    void commandStart()
    {
        QFETCH(QString, executable);
        QFETCH(QString, workingDirectory);
        QFETCH(QString, startDirectory);
        const CommandAction c{executable.toStdString(), workingDirectory.toStdString(), L""};
        QCOMPARE(QString::fromStdString(execution::CommandStartDirectory(c).string()), startDirectory);
    }

    void logFileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("file");
        QTest::newRow("plain") << "Резервная копия"
                               << "/logs/Резервная копия.log";
        QTest::newRow("slash") << "Архив 01/12"
                               << "/logs/Архив 01%2F12.log";
        QTest::newRow("escape of a slash, written out") << "Архив 01%2F12"
                                                        << "/logs/Архив 01%252F12.log";
        QTest::newRow("parent component") << "../evil"
                                          << "/logs/..%2Fevil.log";
        QTest::newRow("absolute") << "/etc/passwd"
                                  << "/logs/%2Fetc%2Fpasswd.log";
        QTest::newRow("empty") << ""
                               << "/logs/.log";
        QTest::newRow("longest that fits")
            << QString(251, QLatin1Char('a'))
            << QStringLiteral("/logs/") + QString(251, QLatin1Char('a')) + QStringLiteral(".log");
    }
    void logFileNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, file);
        QCOMPARE(QString::fromStdString(execution::LogFilePathFor("/logs", name.toStdWString()).string()), file);
    }

    // A name too long for a file name is cut and told apart by a hash; its older file fits.
    void longLogFileNames()
    {
        const std::wstring longName(300, L'я');
        const auto cut = execution::LogFilePathFor("/logs", longName);
        QVERIFY(cut != execution::LogFilePathFor("/logs", longName + L"1"));
        for (const auto& file : {cut, execution::LogFilePathFor("/logs", std::wstring(251, L'a'))})
            QVERIFY(execution::OlderLogPath(file).filename().string().size() <= 255);
    }

    void logLinesAndFiles()
    {
        const QDateTime t(QDate(2026, 1, 7), QTime(10, 0, 4));
        QCOMPARE(QString::fromStdString(execution::FormatLogLine(t, L"50% %1 готово")),
                 QStringLiteral("07.01.2026 10:00:04 50% %1 готово\n"));
        QTemporaryDir dir;
        const auto file = std::filesystem::u8path(dir.filePath(QStringLiteral("t.log")).toStdString());
        {
            execution::TaskLog log(file);
            QVERIFY(log.IsOpen());
            log.Write("one\n");
        }
        execution::TaskLog again(file); // appends
        again.Write("two\n");
        // A line cut short by a full disk is taken back: the next one starts clean.
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit
        {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const struct rlimit small = {12, limit.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool cut = again.Write("cut off line\n");
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_DFL);
        QVERIFY(!cut);
        QVERIFY(again.Write("three\n"));
        const QString path = QString::fromStdString(file.string());
        QCOMPARE(testsupport::readFile(path), QByteArray("one\ntwo\nthree\n"));
        QCOMPARE(int(QFile(path).permissions() & 0x7777),
                 int(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser));
        execution::TaskLog missingDir(std::filesystem::u8path(dir.filePath(QStringLiteral("no/t.log")).toStdString()));
        QVERIFY(!missingDir.IsOpen());
        QVERIFY(!missingDir.Write("dropped\n"));

        // Only a regular file is written: a symbolic link is not followed, and a FIFO that
        // nobody reads is refused at once.
        const QString target = dir.filePath(QStringLiteral("target"));
        testsupport::writeFile(target, "keep");
        QVERIFY(QFile::link(target, dir.filePath(QStringLiteral("link.log"))));
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo.log")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        for (const char* name : {"link.log", "fifo.log"}) {
            const auto at = std::filesystem::u8path(dir.filePath(QString::fromLatin1(name)).toStdString());
            auto wrote = std::async(std::launch::async, [at] { return execution::TaskLog(at).Write("x\n"); });
            if (wrote.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
                const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK); // lets the open go on
                wrote.wait();
                ::close(reader);
                QFAIL("opening the log blocked");
            }
            QVERIFY(!wrote.get());
        }
        QCOMPARE(testsupport::readFile(target), QByteArray("keep"));
    }

    // Past its limit a log keeps its newer half; the older half replaces the older file.
    void logRotation()
    {
        QTemporaryDir dir;
        const auto file = std::filesystem::u8path(dir.filePath(QStringLiteral("r.log")).toStdString());
        QByteArray all;
        execution::TaskLog log(file, 100);
        for (int i = 10; i < 50; ++i) {
            const QByteArray line = "line " + QByteArray::number(i) + '\n';
            all += line;
            QVERIFY(log.Write(line.toStdString()));
        }
        const QByteArray current = testsupport::readFile(QString::fromStdString(file.string()));
        const QByteArray older = testsupport::readFile(QString::fromStdString(execution::OlderLogPath(file).string()));
        QVERIFY2(current.size() <= 100, QByteArray(current + "|" + older).constData());
        QVERIFY(older.size() > 0 && current.size() > 0);
        QVERIFY(all.endsWith(older + current));
        QVERIFY(current.startsWith("line ") && older.startsWith("line "));
    }

    void toolResults()
    {
        QTemporaryDir dir;
        // Several megabytes of standard error never block the run; only its start is kept.
        execution::ToolResult r;
        {
            const testsupport::ScopedEnvironment env{
                {"KALVORCLI_STDERR_BYTES", "4000000"}, {"KALVORCLI_STDERR", "first\\n"}, {"KALVORCLI_EXIT_CODE", "3"}};
            r = execution::RunTool({tool().string(), "--action", "select"});
        }
        QVERIFY(r.started);
        QCOMPARE(r.exitCode, 3);
        QCOMPARE(r.errorLines.size(), execution::kStderrKeptLines);
        QCOMPARE(r.errorLines.front(), QStringLiteral("first"));
        QCOMPARE(r.omittedErrorLines, std::size_t(4000000 / 80 - 199));
        QCOMPARE(r.omittedErrorBytes, std::size_t(4000000 - 199 * 80));

        // Arguments reach the child as UTF-8 whatever the locale; lines come back decoded.
        const QString record = dir.filePath(QStringLiteral("args.json"));
        {
            const testsupport::ScopedEnvironment env{{"KALVORCLI_RECORD", QFile::encodeName(record)},
                                                     {"KALVORCLI_EXIT_CODE", "1"},
                                                     {"KALVORCLI_STDERR", "Ошибка\\nlast"}};
            r = execution::RunTool({tool().string(), "--project-path", "vadro://Демо/Проект", ""});
        }
        QCOMPARE(r.errorLines, (std::vector<QString>{QStringLiteral("Ошибка"), QStringLiteral("last")}));
        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(f.readAll()).object()[QStringLiteral("args")].toVariant().toStringList(),
                 (QStringList{QStringLiteral("--project-path"), QStringLiteral("vadro://Демо/Проект"), QString()}));

        // A signal's number is the exit code; each byte that is not UTF-8 is one U+FFFD.
        r = execution::RunTool({script(dir, "kill.sh", "printf 'caf\\351 Ошибка\\n' >&2\nkill -TERM $$\n")});
        QCOMPARE(r.exitCode, int(SIGTERM));
        QCOMPARE(r.signal, int(SIGTERM));
        QCOMPARE(r.errorLines.size(), std::size_t(1));
        QCOMPARE(r.errorLines[0], QStringLiteral("caf\uFFFD Ошибка"));

        r = execution::RunTool({dir.filePath(QStringLiteral("missing")).toStdString()});
        QVERIFY(!r.started);
        QVERIFY(!r.launchError.isEmpty());

        // Exit code 0: standard error is not kept.
        r = execution::RunTool({script(dir, "ok.sh", "echo noise >&2\n")});
        QVERIFY(r.Succeeded());
        QVERIFY(r.errorLines.empty());
    }

    // A file name that is not UTF-8 reaches the tool as the bytes the file system holds.
    void checkPassesFileNameBytes()
    {
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path());
        const QByteArray file = folder + "/x\xff\xfe.ifc";
        const QByteArray ids = folder + "/rules.ids";
        for (const QByteArray& name : {file, ids}) {
            const int fd = ::open(name.constData(), O_WRONLY | O_CREAT, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        CheckAction c;
        c.ifc_file = dir.path().toStdWString();
        c.ids_file = QString::fromUtf8(ids).toStdWString();
        c.only_changed_documents = true;
        const QString record = dir.filePath(QStringLiteral("args.jsonl"));
        qputenv("KALVORCLI_RECORD", QFile::encodeName(record));
        std::vector<std::wstring> lines;
        const auto outcome =
            execution::RunCheck(c, tool(), [&lines](const std::wstring& m, bool) { lines.push_back(m); });
        qunsetenv("KALVORCLI_RECORD");
        ::unlink(file.constData()); // QTemporaryDir cannot name it
        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList hex =
            QJsonDocument::fromJson(f.readAll()).object()[QStringLiteral("argsHex")].toVariant().toStringList();
        QCOMPARE(hex.value(5), QString::fromLatin1(file.toHex()));
        QCOMPARE(lines, std::vector<std::wstring>{L"Задание успешно выполнено."});
        QCOMPARE(outcome.times.size(), std::size_t(1));
    }

    void checkSources()
    {
        QTemporaryDir dir;
        for (const char* name : {"b.IFC", "a.ifc", "notes.txt", ".hidden.ifc"}) {
            QFile f(dir.filePath(QString::fromLatin1(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QDir(dir.path()).mkdir(QStringLiteral("c.ifc"));
        CheckAction c;
        c.ifc_file = dir.path().toStdWString();
        execution::CheckSources s = execution::CollectCheckSources(c);
        QCOMPARE(s.files, (std::vector<std::wstring>{dir.filePath(QStringLiteral("a.ifc")).toStdWString(),
                                                     dir.filePath(QStringLiteral("b.IFC")).toStdWString()}));
        for (const auto& [path, time] : s.times)
            c.modification_times[path] = time;
        QVERIFY(execution::CollectCheckSources(c).files.empty());
        c.only_changed_documents = false;
        QCOMPARE(execution::CollectCheckSources(c).files, std::vector<std::wstring>{c.ifc_file});
        QCOMPARE(toQt(execution::CheckArguments("T", c, {"x"})),
                 (QStringList{QStringLiteral("T"), QStringLiteral("--action"), QStringLiteral("check"),
                              QStringLiteral("--format"), QStringLiteral("ids"), QStringLiteral("--source-path"),
                              QStringLiteral("x"), QStringLiteral("--check-path"), QString()}));
    }

    void pathOfAnotherConnectionStartsNothing_data()
    {
        // The task's connection is the one at `own` among `saved`.
        QTest::addColumn<bool>("backup");
        QTest::addColumn<QStringList>("saved");
        QTest::addColumn<int>("own");
        QTest::addColumn<QString>("reason"); // empty: the run goes ahead
        const QStringList renamed{QStringLiteral("Main"), QStringLiteral("Демо")};
        const QStringList twice{QStringLiteral("Демо"), QStringLiteral("Демо")};
        const QString other =
            QStringLiteral("указывает на подключение «Демо», а задание использует подключение «Main»");
        const QString ambiguous = QStringLiteral("подключение «Демо» сохранено несколько раз");
        QTest::newRow("export, renamed") << false << renamed << 0 << other;
        QTest::newRow("export, name saved twice") << false << twice << 1 << ambiguous;
        QTest::newRow("export, its own") << false << renamed << 1 << QString();
        QTest::newRow("backup, renamed") << true << renamed << 0 << other;
        QTest::newRow("backup, name saved twice") << true << twice << 1 << ambiguous;
        QTest::newRow("backup, its own") << true << renamed << 1 << QString();
    }

    // The tool finds a project by the connection name in its path: a run whose path names
    // another connection than the task's would read another repository.
    void pathOfAnotherConnectionStartsNothing()
    {
        QFETCH(bool, backup);
        QFETCH(QStringList, saved);
        QFETCH(int, own);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        testsupport::writeFile(dir.filePath(QStringLiteral("repo/Проекты/A")), "alpha");
        std::vector<vadro_cm::Connection> connections;
        for (const QString& name : saved)
            connections.push_back(testsupport::folderConnection(name, dir.filePath(QStringLiteral("repo"))));
        testsupport::saveConnections(connections);
        const vadro::Uuid id = connections[static_cast<std::size_t>(own)].id;
        const QString destination = dir.filePath(QStringLiteral("copy"));
        std::wstring failure;
        if (backup) {
            failure = execution::RunBackup({id, L"vadro://Демо/Проекты", destination.toStdWString()},
                                           *vadro::CreateCore(), SavedConnectionsPath())
                          .reason;
        } else {
            ExportAction action;
            action.connection_id = id;
            action.project_path = L"vadro://Демо/Проекты/A";
            action.output_path = destination.toStdWString();
            execution::RunFailure noted;
            execution::RunExport(
                action, *vadro::CreateCore(), script(dir, "tool.sh", "touch \"$8/started\"\n"),
                [](const std::wstring&, bool) {}, {}, &noted);
            QCOMPARE(QFileInfo::exists(destination + QStringLiteral("/started")), reason.isEmpty());
            failure = noted.reason;
        }
        QVERIFY2(QString::fromStdWString(failure).contains(reason), qPrintable(QString::fromStdWString(failure)));
        QCOMPARE(QFileInfo::exists(destination), reason.isEmpty());
    }
};

QTEST_GUILESS_MAIN(ExecutionTest)
#include "ExecutionTest.moc"
