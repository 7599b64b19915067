// End-to-end runs of the built KalvorCLI stand-in against a repository folder and a
// saved-connections file made in a temporary directory.

#include "repository/Connections.h"
#include "support/Files.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

using Result = testsupport::ProgramResult;
using Env = testsupport::ProgramEnvironment;
using testsupport::readFile;
using testsupport::writeFile;

} // namespace

class KalvorCLITest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void builtTreeFindsTheTool();
    void select_data();
    void select();
    void exportWritesDocument_data();
    void exportWritesDocument();
    void exportFailures_data();
    void exportFailures();
    void check_data();
    void check();
    void recordsArguments();
    void forcedOutput_data();
    void forcedOutput();
    void filler_data();
    void filler();
    void delay();

private:
    Result run(const QStringList& args, const Env& env = {});

    QString cli_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString repo_;
};

Result KalvorCLITest::run(const QStringList& args, const Env& env)
{
    return testsupport::runProgram(
        cli_, args, Env{{QStringLiteral("XDG_DATA_HOME"), dir_->filePath(QStringLiteral("data"))}} + env);
}

void KalvorCLITest::initTestCase()
{
    cli_ = testsupport::binPath(QStringLiteral("KalvorCLI"));
    QVERIFY2(QFileInfo(cli_).isExecutable(), qPrintable(QStringLiteral("KalvorCLI is not built: ") + cli_));
}

void KalvorCLITest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    repo_ = dir_->filePath(QStringLiteral("repo"));
    writeFile(repo_ + QStringLiteral("/Проекты/Дом/План.dwg"), QByteArrayLiteral("plan bytes\n\0with zero"));
    writeFile(repo_ + QStringLiteral("/Проекты/Дом/Модель.ifc"), "ISO-10303-21;");
    QVERIFY(QDir().mkpath(repo_ + QStringLiteral("/Проекты/Пусто")));

    const std::filesystem::path file(
        dir_->filePath(QStringLiteral("data/Holmiq/KalvorIII_2013/ConnectionsConfig.xml")).toStdString());
    Config config(file);
    ConnectionsModel model(config);
    vadro_cm::Connection demo;
    demo.name = L"Демо";
    demo.address = vadro_cm::ServerAddress{repo_.toStdWString(), 0};
    vadro_cm::Connection gone;
    gone.name = L"Пропавшее";
    gone.address = vadro_cm::ServerAddress{dir_->filePath(QStringLiteral("gone")).toStdWString(), 0};
    model.UpdateConnections({gone, demo});
}

void KalvorCLITest::builtTreeFindsTheTool()
{
    const QString binDir = testsupport::binDir();
    QSettings settings(binDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
    const QString toolDir = settings.value(QStringLiteral("Paths/Kalvor-III")).toString();
    QVERIFY(!toolDir.isEmpty());
    QCOMPARE(QFileInfo(toolDir + QStringLiteral("/KalvorCLI")).canonicalFilePath(),
             QFileInfo(cli_).canonicalFilePath());
}

void KalvorCLITest::select_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<QByteArray>("schemes");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("DXF, first of two") << QStringLiteral("DXF") << QByteArray()
                                       << QByteArrayLiteral(
                                              "CODE:DXF-GOST-21.101\nNAME:ГОСТ 21.101: слои по разделам проекта\n");
    QTest::newRow("IFC mapping") << QStringLiteral("IFC") << QByteArray()
                                 << QByteArrayLiteral("CODE:IFC-DEFAULT\nNAME:Соответствие классов IFC по умолчанию\n");
    for (const char* word : {"DWG", "MIF", "PNR"})
        QTest::newRow(word) << QString::fromLatin1(word) << QByteArray() << QByteArray("CODE:") + word;
    QTest::newRow("unknown word") << QStringLiteral("XYZ") << QByteArray() << QByteArray();
    QTest::newRow("empty word") << QString() << QByteArray() << QByteArray();
    QTest::newRow("lower case word") << QStringLiteral("dxf") << QByteArray() << QByteArray();
    QTest::newRow("file overrides") << QStringLiteral("DWG")
                                    << QByteArrayLiteral("# comment\nDXF\tX\tY\nDWG\tS1\tСхема 1\r\nDWG\tS2\tСхема 2\n")
                                    << QByteArrayLiteral("CODE:S1\nNAME:Схема 1\n");
    QTest::newRow("file without the word")
        << QStringLiteral("DXF") << QByteArrayLiteral("DWG\tS1\tСхема 1\n") << QByteArray();
}

void KalvorCLITest::select()
{
    QFETCH(QString, word);
    QFETCH(QByteArray, schemes);
    QFETCH(QByteArray, expected);

    Env env;
    if (!schemes.isEmpty()) {
        const QString file = dir_->filePath(QStringLiteral("schemes.txt"));
        writeFile(file, schemes);
        env.append({QStringLiteral("KALVORCLI_SCHEMES_FILE"), file});
    }
    const Result result =
        run({QStringLiteral("--action"), QStringLiteral("select"), QStringLiteral("--format"), word}, env);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    if (expected.endsWith('\n'))
        QCOMPARE(result.out, expected);
    else if (expected.isEmpty())
        QCOMPARE(result.out, QByteArray());
    else
        QVERIFY2(result.out.startsWith(expected) && result.out.contains("\nNAME:"), result.out.constData());
}

void KalvorCLITest::exportWritesDocument_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("extension");

    QTest::newRow("DXF") << QStringLiteral("DXF") << QStringLiteral("dxf");
    QTest::newRow("MIF") << QStringLiteral("MIF") << QStringLiteral("mif");
    QTest::newRow("PNR") << QStringLiteral("PNR") << QStringLiteral("txf");
    QTest::newRow("DWG") << QStringLiteral("DWG") << QStringLiteral("dwg");
    QTest::newRow("IFC") << QStringLiteral("IFC") << QStringLiteral("ifc");
}

void KalvorCLITest::exportWritesDocument()
{
    QFETCH(QString, format);
    QFETCH(QString, extension);

    // The output folder does not exist yet.
    const QString output = dir_->filePath(QStringLiteral("выгрузка/вложенная"));
    QStringList args{QStringLiteral("--action"),       QStringLiteral("export"),
                     QStringLiteral("--format"),       format,
                     QStringLiteral("--project-path"), QStringLiteral("vadro://Демо/Проекты/Дом/План.dwg"),
                     QStringLiteral("--output-dir"),   output,
                     QStringLiteral("--options-code"), QStringLiteral("S1")};
    if (format == QLatin1String("IFC"))
        args << QStringLiteral("--ifc-version") << QStringLiteral("4.0");
    const Result result = run(args);
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const QString written = output + QStringLiteral("/План.dwg.") + extension;
    QCOMPARE(readFile(written), readFile(repo_ + QStringLiteral("/Проекты/Дом/План.dwg")));
    QCOMPARE(QDir(output).entryList(QDir::Files).size(), 1);
}

void KalvorCLITest::exportFailures_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("projectPath");
    QTest::addColumn<QString>("outputDir");
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");

    const QString doc = QStringLiteral("vadro://Демо/Проекты/Дом/План.dwg");
    const QString out = QStringLiteral("%1/out");
    const QString s = QStringLiteral("S");
    QTest::newRow("unknown connection") << QStringLiteral("DXF") << QStringLiteral("vadro://Нет/Проекты/Дом/План.dwg")
                                        << out << s << 3 << QStringLiteral("Нет");
    QTest::newRow("repository folder gone") << QStringLiteral("DXF") << QStringLiteral("vadro://Пропавшее/a.dwg") << out
                                            << s << 3 << QStringLiteral("%1/gone");
    QTest::newRow("missing project") << QStringLiteral("DXF") << QStringLiteral("vadro://Демо/Проекты/Дом/Нет.dwg")
                                     << out << s << 4 << QStringLiteral("Нет.dwg");
    QTest::newRow("folder as project") << QStringLiteral("DXF") << QStringLiteral("vadro://Демо/Проекты/Дом") << out
                                       << s << 4 << QStringLiteral("Проекты/Дом");
    QTest::newRow("repository root") << QStringLiteral("DXF") << QStringLiteral("vadro://Демо/") << out << s << 4
                                     << QStringLiteral("vadro://Демо/");
    QTest::newRow("escape by parent name")
        << QStringLiteral("DXF") << QStringLiteral("vadro://Демо/../repo/Проекты/Дом/План.dwg") << out << s << 4
        << QStringLiteral("..");
    QTest::newRow("not a repository path") << QStringLiteral("DXF") << QStringLiteral("Проекты/Дом/План.dwg") << out
                                           << s << 2 << QStringLiteral("Проекты/Дом/План.dwg");
    QTest::newRow("output below a file") << QStringLiteral("DXF") << doc
                                         << QStringLiteral("%1/repo/Проекты/Дом/План.dwg/out") << s << 5
                                         << QStringLiteral("out");
    QTest::newRow("empty output folder") << QStringLiteral("DXF") << doc << QString() << s << 5
                                         << QStringLiteral("--output-dir");
    QTest::newRow("empty scheme code") << QStringLiteral("DWG") << doc << out << QString() << 2
                                       << QStringLiteral("--options-code");
    QTest::newRow("unknown format") << QStringLiteral("XYZ") << doc << out << s << 2 << QStringLiteral("XYZ");
}

void KalvorCLITest::exportFailures()
{
    QFETCH(QString, format);
    QFETCH(QString, projectPath);
    QFETCH(QString, outputDir);
    QFETCH(QString, code);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);

    outputDir.replace(QLatin1String("%1"), dir_->path());
    reason.replace(QLatin1String("%1"), dir_->path());
    const Result result = run({QStringLiteral("--action"), QStringLiteral("export"), QStringLiteral("--format"), format,
                               QStringLiteral("--project-path"), projectPath, QStringLiteral("--output-dir"), outputDir,
                               QStringLiteral("--options-code"), code});
    QCOMPARE(result.exitCode, exitCode);
    const QString err = QString::fromUtf8(result.err);
    QVERIFY2(err.endsWith(QLatin1Char('\n')) && err.contains(reason), qPrintable(err));
    QVERIFY(!QFileInfo::exists(dir_->filePath(QStringLiteral("out"))));
}

void KalvorCLITest::check_data()
{
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<QString>("ids");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("checked");

    const QString ids = QStringLiteral("rules.ids");
    QTest::newRow("one file") << QStringList{QStringLiteral("a.ifc")} << ids << 0
                              << QStringList{QStringLiteral("a.ifc")};
    QTest::newRow("two files in order") << QStringList{QStringLiteral("b.IFC"), QStringLiteral("a.ifc")} << ids << 0
                                        << QStringList{QStringLiteral("b.IFC"), QStringLiteral("a.ifc")};
    QTest::newRow("folder: its IFC files only")
        << QStringList{QStringLiteral("models")} << ids << 0
        << QStringList{QStringLiteral("models/a.ifc"), QStringLiteral("models/b.IFC")};
    QTest::newRow("missing source") << QStringList{QStringLiteral("a.ifc"), QStringLiteral("none.ifc")} << ids << 1
                                    << QStringList{QStringLiteral("a.ifc")};
    QTest::newRow("missing IDS") << QStringList{QStringLiteral("a.ifc")} << QStringLiteral("none.ids") << 1
                                 << QStringList{QStringLiteral("a.ifc")};
    QTest::newRow("IDS is a folder") << QStringList{QStringLiteral("a.ifc")} << QStringLiteral("models") << 1
                                     << QStringList{QStringLiteral("a.ifc")};
    QTest::newRow("folder without IFC files") << QStringList{QStringLiteral("empty")} << ids << 1 << QStringList();
    QTest::newRow("empty source") << QStringList{QString()} << ids << 1 << QStringList();
    QTest::newRow("no source") << QStringList() << ids << 2 << QStringList();
}

void KalvorCLITest::check()
{
    QFETCH(QStringList, sources);
    QFETCH(QString, ids);
    QFETCH(int, exitCode);
    QFETCH(QStringList, checked);

    const QString base = dir_->filePath(QStringLiteral("check"));
    for (const char* name :
         {"a.ifc", "b.IFC", "rules.ids", "models/a.ifc", "models/b.IFC", "models/notes.txt", "models/c.ifc/inner.ifc"})
        writeFile(base + QLatin1Char('/') + QString::fromUtf8(name), "x");
    QVERIFY(QDir().mkpath(base + QStringLiteral("/empty")));

    QStringList args{QStringLiteral("--action"), QStringLiteral("check"), QStringLiteral("--format"),
                     QStringLiteral("ids")};
    for (const QString& source : sources)
        args << QStringLiteral("--source-path") << (source.isEmpty() ? source : base + QLatin1Char('/') + source);
    args << QStringLiteral("--check-path") << base + QLatin1Char('/') + ids;
    const Result result = run(args);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.err.isEmpty(), exitCode == 0);

    QStringList lines = QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), checked.size());
    for (int i = 0; i < checked.size(); ++i)
        QVERIFY2(lines[i].endsWith(base + QLatin1Char('/') + checked[i]), qPrintable(lines[i]));
}

void KalvorCLITest::recordsArguments()
{
    const QString record = dir_->filePath(QStringLiteral("record.jsonl"));
    const Env env{{QStringLiteral("KALVORCLI_RECORD"), record}};
    const QStringList first{QStringLiteral("--action"), QStringLiteral("select"), QStringLiteral("--format"),
                            QString()};
    const QStringList second{QStringLiteral("--action"),      QStringLiteral("check"),
                             QStringLiteral("--source-path"), QStringLiteral("/путь с пробелами/\"a\".ifc"),
                             QStringLiteral("--check-path"),  QStringLiteral("line\nbreak")};
    run(first, env);
    run(second, env);

    const QList<QByteArray> lines = readFile(record).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[2].isEmpty());
    int i = 0;
    for (const QStringList& expected : {first, second}) {
        const QJsonObject object = QJsonDocument::fromJson(lines[i++]).object();
        QCOMPARE(object.value(QStringLiteral("args")).toArray().toVariantList(), QVariant(expected).toList());
        QCOMPARE(object.value(QStringLiteral("argv0")).toString(), cli_);
    }
}

void KalvorCLITest::forcedOutput_data()
{
    QTest::addColumn<Env>("env");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    const QString code = QStringLiteral("KALVORCLI_EXIT_CODE");
    QTest::newRow("exit code skips the action")
        << Env{{code, QStringLiteral("0")}} << 0 << QByteArray() << QByteArray();
    QTest::newRow("failure with reason lines")
        << Env{{code, QStringLiteral("3")},
               {QStringLiteral("KALVORCLI_STDERR"), QStringLiteral("Ошибка 1\\nОшибка 2\\n")}}
        << 3 << QByteArray() << QByteArrayLiteral("Ошибка 1\nОшибка 2\n");
    QTest::newRow("scripted reply lines")
        << Env{{code, QStringLiteral("0")},
               {QStringLiteral("KALVORCLI_STDOUT"), QStringLiteral("NAME:n\\r\\nCODE:c\\r\\n\\\\n")}}
        << 0 << QByteArrayLiteral("NAME:n\r\nCODE:c\r\n\\n") << QByteArray();
    QTest::newRow("reason before the action's own")
        << Env{{QStringLiteral("KALVORCLI_STDERR"), QStringLiteral("hook\\n")}} << 2 << QByteArray()
        << QByteArrayLiteral("hook\nНеизвестное действие: none\n");
}

void KalvorCLITest::forcedOutput()
{
    QFETCH(Env, env);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    // Without the forced code this export would fail on the unknown connection.
    const QStringList args = env.at(0).first == QLatin1String("KALVORCLI_EXIT_CODE")
                                 ? QStringList{QStringLiteral("--action"),       QStringLiteral("export"),
                                               QStringLiteral("--format"),       QStringLiteral("DXF"),
                                               QStringLiteral("--project-path"), QStringLiteral("vadro://Нет/a"),
                                               QStringLiteral("--output-dir"),   dir_->path(),
                                               QStringLiteral("--options-code"), QStringLiteral("S")}
                                 : QStringList{QStringLiteral("--action"), QStringLiteral("none")};
    const Result result = run(args, env);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out, out);
    QVERIFY2(result.err.startsWith(err), result.err.constData());
}

void KalvorCLITest::filler_data()
{
    QTest::addColumn<QString>("variable");
    QTest::addColumn<int>("bytes");

    QTest::newRow("megabytes on standard error") << QStringLiteral("KALVORCLI_STDERR_BYTES") << 5 * 1024 * 1024 + 3;
    QTest::newRow("trailing standard output") << QStringLiteral("KALVORCLI_TRAILING_STDOUT_BYTES") << 3 * 1024 * 1024;
}

void KalvorCLITest::filler()
{
    QFETCH(QString, variable);
    QFETCH(int, bytes);

    const Result result =
        run({QStringLiteral("--action"), QStringLiteral("select"), QStringLiteral("--format"), QStringLiteral("DXF")},
            {{variable, QString::number(bytes)}});
    QCOMPARE(result.exitCode, 0);
    const QByteArray reply = QByteArrayLiteral("CODE:DXF-GOST-21.101\nNAME:ГОСТ 21.101: слои по разделам проекта\n");
    QVERIFY(result.out.startsWith(reply));
    const QByteArray& filler = variable.contains(QLatin1String("STDERR")) ? result.err : result.out.mid(reply.size());
    QCOMPARE(filler.size(), bytes);
    QVERIFY(!filler.contains("CODE:") && !filler.contains("NAME:"));
}

void KalvorCLITest::delay()
{
    QElapsedTimer timer;
    timer.start();
    const Result result =
        run({QStringLiteral("--action"), QStringLiteral("select"), QStringLiteral("--format"), QStringLiteral("DXF")},
            {{QStringLiteral("KALVORCLI_DELAY_MS"), QStringLiteral("400")}});
    QVERIFY(timer.elapsed() >= 400);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.startsWith("CODE:"));
}

QTEST_GUILESS_MAIN(KalvorCLITest)
#include "KalvorCLITest.moc"
