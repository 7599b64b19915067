#include "wizard/SchemeLookup.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::filesystem::path cliPath()
{
    const QString path = qEnvironmentVariable("KALVOR_BIN_DIR") + QStringLiteral("/KalvorCLI");
    return std::filesystem::u8path(path.toStdString());
}

// Sets environment variables for the tool for the lifetime of the object.
class ToolEnvironment
{
public:
    ToolEnvironment(std::initializer_list<std::pair<const char*, QByteArray>> values)
    {
        for (const auto& [name, value] : values) {
            names_.push_back(name);
            qputenv(name, value);
        }
    }
    ~ToolEnvironment()
    {
        for (const char* name : names_)
            qunsetenv(name);
    }

private:
    std::vector<const char*> names_;
};

} // namespace

class SchemeLookupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(std::filesystem::exists(cliPath()), "the stand-in tool is built beside the program");
    }

    void parseReply_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("unread");

        QTest::newRow("name before code, reading stops after the code")
            << QByteArray("NAME:Слои\nCODE:C1\nCODE:C2\n") << QByteArray("C1") << QByteArray("Слои")
            << QByteArray("CODE:C2\n");
        QTest::newRow("two codes then a name, CRLF")
            << QByteArray("CODE:first\r\nCODE:second\r\nNAME:n\r\nrest\r\n") << QByteArray("first") << QByteArray("n")
            << QByteArray("rest\r\n");
        QTest::newRow("only a code") << QByteArray("CODE:X\n") << QByteArray("X") << QByteArray() << QByteArray();
        QTest::newRow("lower-case prefix and leading space ignored")
            << QByteArray("code:a\n CODE:b\nName:c\n NAME:d\n") << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("empty code lets a later one count")
            << QByteArray("CODE:\nNAME:n\nCODE:late\n") << QByteArray("late") << QByteArray("n") << QByteArray();
        QTest::newRow("value keeps colons and spaces; a second CR spoils the line")
            << QByteArray("CODE:bad\r\r\nCODE: a:b \nNAME:x") << QByteArray(" a:b ") << QByteArray("x") << QByteArray();
        QTest::newRow("no output") << QByteArray() << QByteArray() << QByteArray() << QByteArray();
    }

    void parseReply()
    {
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, code);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, unread);
        std::istringstream stream(output.toStdString());
        const auto result = ParseSchemeReply(stream);
        QCOMPARE(QByteArray::fromStdString(result.first), code);
        QCOMPARE(QByteArray::fromStdString(result.second), name);
        const std::string rest(std::istreambuf_iterator<char>(stream), {});
        QCOMPARE(QByteArray::fromStdString(rest), unread);
    }

    void toolCommandLine_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QString>("name");
        QTest::newRow("DXF") << QStringLiteral("DXF") << QByteArray("DXF-GOST-21.101")
                             << QStringLiteral("ГОСТ 21.101: слои по разделам проекта");
        QTest::newRow("IFC") << QStringLiteral("IFC") << QByteArray("IFC-DEFAULT")
                             << QStringLiteral("Соответствие классов IFC по умолчанию");
        QTest::newRow("empty word") << QString() << QByteArray() << QString();
    }

    void toolCommandLine()
    {
        QFETCH(QString, word);
        QFETCH(QByteArray, code);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("record.jsonl"));
        ToolEnvironment env{{"KALVORCLI_RECORD", record.toUtf8()}};
        const auto result = SelectScheme(cliPath(), word.toStdString());
        QCOMPARE(QByteArray::fromStdString(result.first), code);
        QCOMPARE(QString::fromStdString(result.second), name);

        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray args =
            QJsonDocument::fromJson(file.readLine()).object().value(QStringLiteral("args")).toArray();
        QCOMPARE(args.size(), 4);
        QCOMPARE(args.at(0).toString(), QStringLiteral("--action"));
        QCOMPARE(args.at(1).toString(), QStringLiteral("select"));
        QCOMPARE(args.at(2).toString(), QStringLiteral("--format"));
        QCOMPARE(args.at(3).toString(), word);
    }

    void toolReplies_data()
    {
        QTest::addColumn<QByteArray>("stdoutText");
        QTest::addColumn<QByteArray>("exitCode");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("name first, failing exit status not looked at")
            << QByteArray("NAME:имя\\nCODE:K\\n") << QByteArray("3") << QByteArray("K") << QByteArray("имя");
        QTest::newRow("CRLF and a second code") << QByteArray("CODE:A\\r\\nCODE:B\\r\\nNAME:N\\r\\n") << QByteArray("0")
                                                << QByteArray("A") << QByteArray("N");
        QTest::newRow("nothing recognised")
            << QByteArray("code:a\\n CODE:b\\n") << QByteArray("0") << QByteArray() << QByteArray();
    }

    void toolReplies()
    {
        QFETCH(QByteArray, stdoutText);
        QFETCH(QByteArray, exitCode);
        QFETCH(QByteArray, code);
        QFETCH(QByteArray, name);
        ToolEnvironment env{{"KALVORCLI_STDOUT", stdoutText},
                            {"KALVORCLI_EXIT_CODE", exitCode},
                            {"KALVORCLI_STDERR", QByteArray("noise on the error stream\\n")}};
        const auto result = SelectScheme(cliPath(), "DXF");
        QCOMPARE(QByteArray::fromStdString(result.first), code);
        QCOMPARE(QByteArray::fromStdString(result.second), name);
    }

    void toolThatKeepsWritingDoesNotBlock()
    {
        // Far more than a pipe holds: the tool would block on a full pipe if nobody read or closed it.
        ToolEnvironment env{{"KALVORCLI_TRAILING_STDOUT_BYTES", QByteArray("50000000")}};
        QElapsedTimer timer;
        timer.start();
        const auto result = SelectScheme(cliPath(), "DWG");
        QCOMPARE(QByteArray::fromStdString(result.first), QByteArray("DWG-GOST-21.101"));
        QVERIFY2(timer.elapsed() < 20000, "the wait ended");
    }

    void toolInAFolderWithACyrillicName()
    {
        QTemporaryDir dir;
        const QString copy = dir.filePath(QStringLiteral("Продукт/KalvorCLI"));
        QVERIFY(QDir().mkpath(QFileInfo(copy).absolutePath()));
        QVERIFY(QFile::copy(QString::fromStdString(cliPath().string()), copy));
        const auto result = SelectScheme(std::filesystem::u8path(copy.toStdString()), "PNR");
        QCOMPARE(QByteArray::fromStdString(result.first), QByteArray("PNR-TXF-SXF"));
    }

    void childInheritsInputAndEnvironmentAndLosesErrors()
    {
        // A tool that reports where its standard input and error lead, and a variable of ours.
        QTemporaryDir dir;
        const QString tool = dir.filePath(QStringLiteral("probe"));
        QFile script(tool);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\n"
                     "echo \"CODE:in=$(readlink /proc/self/fd/0)\"\n"
                     "echo \"NAME:err=$(readlink /proc/self/fd/2) var=$SCHEME_LOOKUP_PROBE\"\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        ToolEnvironment env{{"SCHEME_LOOKUP_PROBE", QByteArray("унаследовано")}};
        // Our standard input is a known file for the call, whatever the test runner gave us.
        const QString input = dir.filePath(QStringLiteral("input"));
        QVERIFY(QFile(input).open(QIODevice::WriteOnly));
        const int inputFd = ::open(QFile::encodeName(input).constData(), O_RDONLY);
        QVERIFY(inputFd >= 0);
        const int savedInput = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
        QCOMPARE(::dup2(inputFd, 0), 0);
        ::close(inputFd);
        const auto result = SelectScheme(std::filesystem::u8path(tool.toStdString()), "DXF");
        if (savedInput >= 0) {
            ::dup2(savedInput, 0);
            ::close(savedInput);
        } else {
            ::close(0);
        }

        QCOMPARE(QString::fromStdString(result.first), QString(QStringLiteral("in=") + input));
        QCOMPARE(QString::fromStdString(result.second), QStringLiteral("err=/dev/null var=унаследовано"));
    }

    void toolThatCannotStart_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::newRow("missing") << QStringLiteral("/nonexistent/KalvorCLI");
        QTest::newRow("not executable") << QStringLiteral("notexec");
        QTest::newRow("a folder") << QStringLiteral("folder");
    }

    void toolThatCannotStart()
    {
        QFETCH(QString, tool);
        QTemporaryDir dir;
        QFile notExecutable(dir.filePath(QStringLiteral("notexec")));
        QVERIFY(notExecutable.open(QIODevice::WriteOnly));
        notExecutable.write("#!/bin/sh\necho CODE:x\n");
        notExecutable.close();
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        const QString path = tool.startsWith(QLatin1Char('/')) ? tool : dir.filePath(tool);
        const auto result = SelectScheme(std::filesystem::u8path(path.toStdString()), "DXF");
        QVERIFY(result.first.empty());
        QVERIFY(result.second.empty());
    }
};

QTEST_GUILESS_MAIN(SchemeLookupTest)
#include "SchemeLookupTest.moc"
