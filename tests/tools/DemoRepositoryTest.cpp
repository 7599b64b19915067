// The demo-data script: the repository it makes is usable through the boundary and the
// built tool, and an existing saved-connections file is left exactly as it was.

#include "repository/Connections.h"
#include "support/Files.h"

#include <QtTest>

using testsupport::readFile;

class DemoRepositoryTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void createsRepositoryAndConnection();
    void leavesExistingConnectionsAlone_data();
    void leavesExistingConnectionsAlone();

private:
    int runScript(const QStringList& args = {});
    int runCli(const QStringList& args);

    std::unique_ptr<QTemporaryDir> dir_;
    QString dataHome_;
    QString connections_;
};

void DemoRepositoryTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    dataHome_ = dir_->filePath(QStringLiteral("данные & <xml>"));
    connections_ = dataHome_ + QStringLiteral("/Holmiq/KalvorIII_2013/ConnectionsConfig.xml");
}

int DemoRepositoryTest::runScript(const QStringList& args)
{
    const QString script =
        qEnvironmentVariable("KALVOR_SOURCE_DIR") + QStringLiteral("/scripts/make-demo-repository.sh");
    return testsupport::runProgram(QStringLiteral("sh"), QStringList{script} + args,
                                   {{QStringLiteral("XDG_DATA_HOME"), dataHome_}})
        .exitCode;
}

int DemoRepositoryTest::runCli(const QStringList& args)
{
    return testsupport::runProgram(testsupport::binPath(QStringLiteral("KalvorCLI")), args,
                                   {{QStringLiteral("XDG_DATA_HOME"), dataHome_}})
        .exitCode;
}

void DemoRepositoryTest::createsRepositoryAndConnection()
{
    QCOMPARE(runScript(), 0);
    const std::filesystem::path file(connections_.toStdString());
    const std::optional<vadro_cm::Connection> demo = FindSavedConnectionByName(L"Демо", file);
    QVERIFY(demo && demo->address);
    QVERIFY(std::holds_alternative<std::monostate>(demo->credentials));
    QCOMPARE(QFileInfo(connections_).permissions() & QFileDevice::ReadOther, QFileDevice::Permissions());
    QCOMPARE(FindSavedConnection(demo->id, file), demo);

    auto session = vadro::CreateCore()->OpenSession(demo->address, demo->credentials);
    int folders = 0;
    int documents = 0;
    std::vector<vadro::IdPath> pending{{}};
    while (!pending.empty()) {
        const vadro::IdPath folder = pending.back();
        pending.pop_back();
        for (const vadro::ItemInfo& child : session->ListChildren(folder)) {
            vadro::IdPath path = folder;
            path.push_back(child.id);
            if (child.isDocument)
                ++documents;
            else
                pending.push_back(path);
            folders += child.isDocument ? 0 : 1;
        }
    }
    QVERIFY(documents >= 5);
    QVERIFY(folders >= 4);

    // A second run keeps the file, and the demo projects export through the built tool.
    const QByteArray saved = readFile(connections_);
    QCOMPARE(runScript(), 0);
    QCOMPARE(readFile(connections_), saved);
    const QString output = dir_->filePath(QStringLiteral("out"));
    QCOMPARE(runCli({QStringLiteral("--action"), QStringLiteral("export"), QStringLiteral("--format"),
                     QStringLiteral("IFC"), QStringLiteral("--project-path"),
                     QStringLiteral("vadro://Демо/Проекты/Жилой дом/Модель здания.ifc"), QStringLiteral("--output-dir"),
                     output, QStringLiteral("--options-code"), QStringLiteral("IFC-DEFAULT")}),
             0);
    QVERIFY(readFile(output + QStringLiteral("/Модель здания.ifc.ifc")).startsWith("ISO-10303-21;"));
}

void DemoRepositoryTest::leavesExistingConnectionsAlone_data()
{
    QTest::addColumn<QByteArray>("existing");

    QTest::newRow("another connection") << QByteArray("<?xml version=\"1.0\"?>\n<config><connections_manager>"
                                                      "<connections/></connections_manager></config>\n");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("malformed file") << QByteArray("<config>");
}

void DemoRepositoryTest::leavesExistingConnectionsAlone()
{
    QFETCH(QByteArray, existing);

    QVERIFY(QDir().mkpath(QFileInfo(connections_).absolutePath()));
    {
        QFile file(connections_);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(existing);
    }
    const QString folder = dir_->filePath(QStringLiteral("своя папка"));
    QCOMPARE(runScript({folder}), 0);
    QCOMPARE(readFile(connections_), existing);
    QVERIFY(QFileInfo::exists(folder + QStringLiteral("/Проекты/Жилой дом/План 1 этажа.dwg")));
    QCOMPARE(QDir(QFileInfo(connections_).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

QTEST_GUILESS_MAIN(DemoRepositoryTest)
#include "DemoRepositoryTest.moc"
