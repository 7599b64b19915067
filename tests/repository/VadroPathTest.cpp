#include "repository/VadroPath.h"

#include <QtTest>

namespace {

std::vector<std::wstring> toComponents(const QStringList& list)
{
    std::vector<std::wstring> components;
    for (const QString& item : list)
        components.push_back(item.toStdWString());
    return components;
}

} // namespace

class VadroPathTest : public QObject
{
    Q_OBJECT

private slots:
    void parseValid_data();
    void parseValid();
    void parseRejects_data();
    void parseRejects();
    void makeThenParse_data();
    void makeThenParse();
};

void VadroPathTest::parseValid_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QStringList>("components");

    QTest::newRow("bare prefix") << QStringLiteral("vadro://Демо/") << QStringLiteral("Демо") << QStringList();
    QTest::newRow("one component") << QStringLiteral("vadro://Демо/Проекты") << QStringLiteral("Демо")
                                   << QStringList{QStringLiteral("Проекты")};
    QTest::newRow("nested") << QStringLiteral("vadro://srv/a/b/c.dwg") << QStringLiteral("srv")
                            << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c.dwg")};
    QTest::newRow("spaces kept") << QStringLiteral("vadro:// сервер 1 / Жилой дом /План 1 этажа.dwg ")
                                 << QStringLiteral(" сервер 1 ")
                                 << QStringList{QStringLiteral(" Жилой дом "), QStringLiteral("План 1 этажа.dwg ")};
    QTest::newRow("colon and port-like name")
        << QStringLiteral("vadro://host:5000/x") << QStringLiteral("host:5000") << QStringList{QStringLiteral("x")};
    QTest::newRow("backslash is an ordinary character")
        << QStringLiteral("vadro://s/a\\b") << QStringLiteral("s") << QStringList{QStringLiteral("a\\b")};
}

void VadroPathTest::parseValid()
{
    QFETCH(QString, text);
    QFETCH(QString, server);
    QFETCH(QStringList, components);

    std::wstring parsedServer;
    std::vector<std::wstring> parsedComponents{L"stale"};
    std::optional<vadro::Uuid> id = vadro::GenerateUuid();
    QVERIFY(path::utils::ParseVadroPath(text.toStdWString(), parsedServer, parsedComponents, id, true));
    QCOMPARE(QString::fromStdWString(parsedServer), server);
    QVERIFY(parsedComponents == toComponents(components));
    QVERIFY(!id.has_value());
    QCOMPARE(QString::fromStdWString(path::utils::MakeVadroPath(parsedServer, parsedComponents, id)), text);
}

void VadroPathTest::parseRejects_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << QString();
    QTest::newRow("scheme only") << QStringLiteral("vadro://");
    QTest::newRow("empty server") << QStringLiteral("vadro:///a");
    QTest::newRow("no separator after server") << QStringLiteral("vadro://Демо");
    QTest::newRow("empty inner component") << QStringLiteral("vadro://Демо/a//b");
    QTest::newRow("trailing separator") << QStringLiteral("vadro://Демо/a/");
    QTest::newRow("double separator after server") << QStringLiteral("vadro://Демо//");
    QTest::newRow("upper-case scheme") << QStringLiteral("VADRO://Демо/a");
    QTest::newRow("other scheme") << QStringLiteral("http://Демо/a");
    QTest::newRow("one slash") << QStringLiteral("vadro:/Демо/a");
    QTest::newRow("leading space") << QStringLiteral(" vadro://Демо/a");
    QTest::newRow("plain file path") << QStringLiteral("/home/user/a.dwg");
}

void VadroPathTest::parseRejects()
{
    QFETCH(QString, text);

    std::wstring server;
    std::vector<std::wstring> components;
    std::optional<vadro::Uuid> id = vadro::GenerateUuid();
    QVERIFY(!path::utils::ParseVadroPath(text.toStdWString(), server, components, id, true));
    QVERIFY(!id.has_value());
}

void VadroPathTest::makeThenParse_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QStringList>("components");

    QTest::newRow("no components") << QStringLiteral("Демо") << QStringList();
    QTest::newRow("deep") << QStringLiteral("Демо")
                          << QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                                         QStringLiteral("4.ifc")};
    QTest::newRow("unicode outside the basic plane") << QStringLiteral("s") << QStringList{QStringLiteral("план 😀")};
}

void VadroPathTest::makeThenParse()
{
    QFETCH(QString, server);
    QFETCH(QStringList, components);

    const std::wstring text = path::utils::MakeVadroPath(server.toStdWString(), toComponents(components));
    std::wstring parsedServer;
    std::vector<std::wstring> parsedComponents;
    std::optional<vadro::Uuid> id;
    QVERIFY(path::utils::ParseVadroPath(text, parsedServer, parsedComponents, id, false));
    QCOMPARE(QString::fromStdWString(parsedServer), server);
    QVERIFY(parsedComponents == toComponents(components));
}

QTEST_GUILESS_MAIN(VadroPathTest)
#include "VadroPathTest.moc"
