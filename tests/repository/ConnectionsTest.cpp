#include "repository/Connections.h"
#include "support/Files.h"

#include <QtTest>

#include <boost/uuid/string_generator.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <thread>

Q_DECLARE_METATYPE(vadro_cm::Connection)

using namespace testsupport;

namespace {

unsigned modeBits(const QString& path)
{
    struct stat st
    {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

vadro_cm::Connection connection(const wchar_t* name, vadro_cm::Address address, vadro_cm::Credentials credentials,
                                std::uint8_t flags)
{
    vadro_cm::Connection c;
    c.name = name;
    c.address = std::move(address);
    c.credentials = std::move(credentials);
    c.flags = flags;
    return c;
}

std::vector<vadro_cm::Connection> loadAll(const QString& file)
{
    Config config(fsPath(file));
    ConnectionsModel model(config);
    model.Init(config.GetConfigSubtree(ConnectionsModel::kSubtreePath));
    return model.GetConnections();
}

} // namespace

class ConnectionsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void writesAreRestrictedAndStable();
    void keepsTheRestOfTheFile();
    void malformedFile_data();
    void malformedFile();
    void missingFile();
    void unknownIdentifier();
    void hostileFile_data();
    void hostileFile();
    void damagedFileIsSalvaged_data();
    void damagedFileIsSalvaged();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString file_;
};

void ConnectionsTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    // A folder that does not exist yet: the first write creates it.
    file_ = dir_->filePath(QStringLiteral("Holmiq/KalvorIII_2013/ConnectionsConfig.xml"));
}

void ConnectionsTest::roundTrip_data()
{
    QTest::addColumn<vadro_cm::Connection>("connection");

    QTest::newRow("no address, no credentials") << connection(L"Пустое", std::nullopt, {}, 0);
    QTest::newRow("folder address") << connection(L"Демо", vadro_cm::ServerAddress{L"/srv/хранилище данных", 0}, {}, 1);
    QTest::newRow("login with markup characters")
        << connection(L"Основной <сервер> & \"копия\"", vadro_cm::ServerAddress{L"kalvor.example", 65535},
                      vadro_cm::LoginPassword{L"Иванов", L"p<a>&'\"ss"}, 255);
    QTest::newRow("token") << connection(L"С токеном", vadro_cm::ServerAddress{L"host", 8080},
                                         std::string("tok\xD0\xB5n-123"), 7);
    QTest::newRow("surrounding spaces kept") << connection(L"  Демо ", vadro_cm::ServerAddress{L" /srv/demo ", 1},
                                                           vadro_cm::LoginPassword{L" login", L"pass \n word "}, 3);
    QTest::newRow("empty name and empty login")
        << connection(L"", vadro_cm::ServerAddress{L"", 0}, vadro_cm::LoginPassword{}, 0);
}

void ConnectionsTest::roundTrip()
{
    QFETCH(vadro_cm::Connection, connection);

    Config config(fsPath(file_));
    ConnectionsModel model(config);
    model.Init(config.GetConfigSubtree(ConnectionsModel::kSubtreePath));
    QVERIFY(model.GetConnections().empty());

    const vadro_cm::Connection other = ::connection(L"Второе", vadro_cm::ServerAddress{L"/x", 1}, {}, 0);
    model.UpdateConnections({other, connection});
    QCOMPARE(model.GetConnections().size(), std::size_t(2));

    const std::vector<vadro_cm::Connection> loaded = loadAll(file_);
    QCOMPARE(loaded.size(), std::size_t(2));
    QVERIFY(loaded[0] == other);
    QVERIFY(loaded[1] == connection);
    const std::optional<vadro_cm::Connection> found = FindSavedConnection(connection.id, fsPath(file_));
    QVERIFY(found && *found == connection);
    const std::optional<vadro_cm::Connection> byName = FindSavedConnectionByName(connection.name, fsPath(file_));
    QVERIFY(byName && *byName == connection);
}

void ConnectionsTest::writesAreRestrictedAndStable()
{
    Config config(fsPath(file_));
    ConnectionsModel model(config);
    const std::vector<vadro_cm::Connection> list{
        connection(L"Демо", vadro_cm::ServerAddress{L"/srv/demo", 0}, vadro_cm::LoginPassword{L"u", L"secret"}, 0)};
    model.UpdateConnections(list);
    QCOMPARE(modeBits(file_), 0600u);
    const QByteArray first = readFile(file_);
    QVERIFY(first.contains("<connections_manager>"));

    // Writing the same list again gives the same bytes, however often it is done.
    for (int i = 0; i < 3; ++i) {
        ConnectionsModel again(config);
        again.Init(config.GetConfigSubtree(ConnectionsModel::kSubtreePath));
        again.UpdateConnections(again.GetConnections());
    }
    QCOMPARE(readFile(file_), first);
    QCOMPARE(modeBits(file_), 0600u);
}

void ConnectionsTest::keepsTheRestOfTheFile()
{
    QVERIFY(QDir().mkpath(QFileInfo(file_).absolutePath()));
    writeFile(file_, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config><ui><language>ru</language></ui>"
                     "<connections_manager><connections><connection><id>6f3a2c1e-7d4b-4e2a-9c1f-0a1b2c3d4e5f</id>"
                     "<name>Старое</name></connection></connections></connections_manager></config>\n");
    Config config(fsPath(file_));
    ConnectionsModel model(config);
    model.Init(config.GetConfigSubtree(ConnectionsModel::kSubtreePath));
    QCOMPARE(model.GetConnections().size(), std::size_t(1));
    QVERIFY(model.GetConnections()[0].id ==
            boost::uuids::string_generator()(std::string("6f3a2c1e-7d4b-4e2a-9c1f-0a1b2c3d4e5f")));
    QVERIFY(!model.GetConnections()[0].address.has_value());

    model.UpdateConnections({});
    QCOMPARE(QString::fromStdWString(config.GetConfigSubtree("config.ui").get<std::wstring>(L"language")),
             QStringLiteral("ru"));
    QVERIFY(loadAll(file_).empty());
}

void ConnectionsTest::malformedFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("parseError");

    QTest::newRow("not XML") << QByteArray("this is not xml") << true;
    QTest::newRow("truncated") << QByteArray("<config><connections_manager><connections>") << true;
    QTest::newRow("invalid UTF-8") << QByteArray("<config><x>\xFF\xFE</x></config>") << true;
    QTest::newRow("invalid identifier")
        << QByteArray("<config><connections_manager><connections><connection><id>zzz</id></connection>"
                      "</connections></connections_manager></config>")
        << false;
    QTest::newRow("missing identifier")
        << QByteArray("<config><connections_manager><connections><connection><name>a</name></connection>"
                      "</connections></connections_manager></config>")
        << false;
    QTest::newRow("port out of range")
        << QByteArray("<config><connections_manager><connections><connection>"
                      "<id>6f3a2c1e-7d4b-4e2a-9c1f-0a1b2c3d4e5f</id><address><host>h</host><port>70000</port></address>"
                      "</connection></connections></connections_manager></config>")
        << false;
    QTest::newRow("unknown credentials type")
        << QByteArray("<config><connections_manager><connections><connection>"
                      "<id>6f3a2c1e-7d4b-4e2a-9c1f-0a1b2c3d4e5f</id><credentials><type>kerberos</type></credentials>"
                      "</connection></connections></connections_manager></config>")
        << false;
}

void ConnectionsTest::malformedFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, parseError);

    QVERIFY(QDir().mkpath(QFileInfo(file_).absolutePath()));
    writeFile(file_, content);
    Config config(fsPath(file_));
    ConnectionsModel model(config);
    if (parseError) {
        QVERIFY_EXCEPTION_THROWN(config.GetConfigSubtree(ConnectionsModel::kSubtreePath), exceptions::Error);
        QVERIFY_EXCEPTION_THROWN(model.UpdateConnections({connection(L"Новое", std::nullopt, {}, 0)}),
                                 exceptions::Error);
    } else {
        QVERIFY_EXCEPTION_THROWN(model.Init(config.GetConfigSubtree(ConnectionsModel::kSubtreePath)),
                                 exceptions::Error);
    }
    QVERIFY_EXCEPTION_THROWN(FindSavedConnection(vadro::GenerateUuid(), fsPath(file_)), exceptions::Error);
    QCOMPARE(readFile(file_), content);
}

void ConnectionsTest::missingFile()
{
    Config config(fsPath(file_));
    QVERIFY(config.GetConfigSubtree(ConnectionsModel::kSubtreePath).empty());
    QVERIFY(!FindSavedConnection(vadro::GenerateUuid(), fsPath(file_)));
    QVERIFY(!QFileInfo::exists(file_));
    QVERIFY(!QFileInfo::exists(QFileInfo(file_).absolutePath()));

    // The default file lies in the product's folder of the generic data location.
    const QString expected = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                             QStringLiteral("/Holmiq/KalvorIII_2013/ConnectionsConfig.xml");
    QCOMPARE(QString::fromStdString(SavedConnectionsPath().string()), expected);
}

void ConnectionsTest::unknownIdentifier()
{
    Config config(fsPath(file_));
    ConnectionsModel model(config);
    const vadro_cm::Connection saved = connection(L"Демо", vadro_cm::ServerAddress{L"/srv", 0}, {}, 0);
    model.UpdateConnections({saved});
    QVERIFY(!model.FindConnectionByID(vadro::GenerateUuid()));
    QVERIFY(!FindSavedConnection(vadro::GenerateUuid(), fsPath(file_)));
    QVERIFY(!FindSavedConnectionByName(L"демо", fsPath(file_)));
    QVERIFY(model.FindConnectionByID(saved.id) == saved);
}

void ConnectionsTest::hostileFile_data()
{
    QTest::addColumn<QByteArray>("content"); // "FIFO": a FIFO at the file's path, "HUGE": 2 GiB of zeros
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("30,000 nested elements") << QByteArray("<config>") + QByteArray("<a>").repeated(30'000) +
                                                   QByteArray("</a>").repeated(30'000) + QByteArray("</config>")
                                            << QByteArray("nested deeper than");
    // The reader skips an unknown declaration up to its first '>' only.
    QTest::newRow("200,000 elements behind an unknown declaration")
        << QByteArray("<config><!x[") + QByteArray("<a>").repeated(200'000) << QByteArray("nested deeper than");
    QTest::newRow("FIFO") << QByteArray("FIFO") << QByteArray("it is not a regular file");
    QTest::newRow("2 GiB") << QByteArray("HUGE") << QByteArray("it is larger than 16777216 bytes");
}

void ConnectionsTest::hostileFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, message);
    QVERIFY(QDir().mkpath(QFileInfo(file_).absolutePath()));
    if (content == "FIFO")
        QCOMPARE(::mkfifo(QFile::encodeName(file_).constData(), 0600), 0);
    else
        writeFile(file_, content == "HUGE" ? QByteArray() : content);
    if (content == "HUGE")
        QCOMPARE(::truncate(QFile::encodeName(file_).constData(), off_t(2) << 30), 0);

    // Run where a hang cannot hold the test: a backup reads the file on a thread of its own.
    const auto outcome = [file = fsPath(file_)](auto step) {
        std::promise<std::string> promise;
        std::future<std::string> result = promise.get_future();
        std::thread([promise = std::move(promise), step, file]() mutable {
            try {
                step(file);
                promise.set_value("no error");
            } catch (const exceptions::Error& e) {
                promise.set_value(e.what());
            } catch (...) {
                promise.set_value("another error");
            }
        }).detach();
        if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            std::fprintf(stderr, "FAIL: reading the saved connections did not return\n");
            std::_Exit(1);
        }
        return QByteArray::fromStdString(result.get());
    };
    const QByteArray found =
        outcome([](const std::filesystem::path& f) { FindSavedConnection(vadro::GenerateUuid(), f); });
    QVERIFY2(found.contains(message), found.constData());
    const QByteArray updated = outcome([](const std::filesystem::path& f) {
        Config config(f);
        ConnectionsModel(config).UpdateConnections({connection(L"Новое", std::nullopt, {}, 0)});
    });
    QVERIFY2(updated.contains(message), updated.constData());
    if (content == "FIFO")
        QVERIFY(QFileInfo(file_).exists() && !QFileInfo(file_).isFile());
    else if (content == "HUGE")
        QCOMPARE(QFileInfo(file_).size(), qint64(2) << 30);
    else
        QCOMPARE(readFile(file_), content);
}

void ConnectionsTest::damagedFileIsSalvaged_data()
{
    // A whole file of the connections "А", "Б" and "В", then damaged: `cut` bytes cut off
    // its end, or the first `from` replaced by `to`.
    QTest::addColumn<int>("cut");
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("salvaged");
    QTest::newRow("whole") << 0 << QByteArray() << QByteArray() << QStringLiteral("АБВ");
    QTest::newRow("truncated by 20 bytes") << 20 << QByteArray() << QByteArray() << QStringLiteral("АБВ");
    QTest::newRow("cut inside the last connection") << 90 << QByteArray() << QByteArray() << QStringLiteral("АБ");
    QTest::newRow("stray character") << 0 << QByteArray("<name>Б") << QByteArray("<name<Б") << QStringLiteral("АВ");
    QTest::newRow("unreadable identifier") << 0 << QByteArray("<id>") << QByteArray("<id>zz") << QStringLiteral("БВ");
    QTest::newRow("character reference") << 0 << QByteArray("<name>Б") << QByteArray("<name>&#1041;")
                                         << QStringLiteral("АБВ");
    QTest::newRow("NUL by reference") << 0 << QByteArray("<name>Б") << QByteArray("<name>Б&#0;")
                                      << QStringLiteral("АВ");
}

// Every connection that reads on its own is kept; the first write keeps the damaged
// bytes beside the file before it replaces them.
void ConnectionsTest::damagedFileIsSalvaged()
{
    QFETCH(int, cut);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, salvaged);
    std::vector<vadro_cm::Connection> all;
    for (const wchar_t* name : {L"А", L"Б", L"В"})
        all.push_back(connection(name, vadro_cm::ServerAddress{L"/srv", 0}, {}, 0));
    {
        Config config(fsPath(file_));
        ConnectionsModel(config).UpdateConnections(all);
    }
    QByteArray damaged = readFile(file_);
    damaged.chop(cut);
    if (!from.isEmpty())
        damaged.replace(damaged.indexOf(from), from.size(), to);
    writeFile(file_, damaged);

    Config config(fsPath(file_));
    ConnectionsModel model(config);
    model.Load();
    QString names;
    for (const vadro_cm::Connection& c : model.GetConnections())
        names += QString::fromStdWString(c.name);
    QCOMPARE(names, salvaged);
    const bool whole = cut == 0 && salvaged.size() == 3;
    QCOMPARE(model.Damage().empty(), whole);
    QCOMPARE(model.Dropped(), std::size_t(3 - salvaged.size()));

    std::vector<vadro_cm::Connection> edited = model.GetConnections();
    edited.push_back(connection(L"Новое", std::nullopt, {}, 0));
    model.UpdateConnections(edited);
    model.UpdateConnections(edited);
    const QDir folder = QFileInfo(file_).dir();
    const QStringList kept = folder.entryList({QStringLiteral("ConnectionsConfig.xml.damaged*")}, QDir::Files);
    QCOMPARE(kept.size(), whole ? 0 : 1);
    if (!whole) {
        QVERIFY(QRegularExpression(QStringLiteral("^ConnectionsConfig\\.xml\\.damaged-\\d{8}-\\d{6}$"))
                    .match(kept[0])
                    .hasMatch());
        QCOMPARE(readFile(folder.filePath(kept[0])), damaged);
        QCOMPARE(modeBits(folder.filePath(kept[0])), 0600u);
    }
    QVERIFY(loadAll(file_) == edited);
}

QTEST_GUILESS_MAIN(ConnectionsTest)
#include "ConnectionsTest.moc"
