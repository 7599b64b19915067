#include "repository/Vadro.h"
#include "support/Files.h"

#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::writeFile;

namespace {

std::vector<std::wstring> names(const QStringList& list)
{
    std::vector<std::wstring> result;
    for (const QString& item : list)
        result.push_back(item.toStdWString());
    return result;
}

QStringList qNames(const std::vector<std::wstring>& list)
{
    QStringList result;
    for (const std::wstring& item : list)
        result << QString::fromStdWString(item);
    return result;
}

vadro_cm::Address addressOf(const QString& folder)
{
    return vadro_cm::ServerAddress{folder.toStdWString(), 0};
}

QByteArray readAll(vadro::ISession& session, const vadro::IdPath& document, std::size_t chunk)
{
    std::unique_ptr<vadro::IContentReader> reader = session.OpenContent(document);
    if (!reader)
        return {};
    QByteArray content;
    std::vector<char> buffer(chunk);
    while (const std::size_t count = reader->ReadChunk(buffer.data(), buffer.size()))
        content.append(buffer.data(), static_cast<int>(count));
    return content;
}

QByteArray patterned(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return bytes;
}

} // namespace

class EmbeddedRepositoryTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void openSessionFails_data();
    void openSessionFails();
    void openSessionOnUnreadableFolder();
    void resolvePath_data();
    void resolvePath();
    void listsFoldersThenDocumentsByName();
    void reportsModificationTimeInNanoseconds();
    void wrongItemKindsAreErrors();
    void unknownIdentifierIsAnError();
    void identifiersAreStableAcrossSessions();
    void vanishedItemIsAnError();
    void chunkedRead_data();
    void chunkedRead();
    void symbolicLinks_data();
    void symbolicLinks();
    void concurrentSessions();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString root_;
    std::shared_ptr<vadro::ICore> core_ = vadro::CreateCore();
};

void EmbeddedRepositoryTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    root_ = dir_->filePath(QStringLiteral("repo"));
    writeFile(root_ + QStringLiteral("/Проекты/Дом/План.dwg"), "plan");
    writeFile(root_ + QStringLiteral("/Проекты/Дом/Фасад.dxf"), "facade");
    writeFile(root_ + QStringLiteral("/Проекты/Дом/Архив/Старый.dwg"), "old");
    QVERIFY(QDir().mkpath(root_ + QStringLiteral("/Проекты/Мост")));
    writeFile(root_ + QStringLiteral("/readme.txt"), "readme");
    writeFile(root_ + QStringLiteral("/Б.txt"), "b");
    writeFile(root_ + QStringLiteral("/а.txt"), "a");
    writeFile(dir_->filePath(QStringLiteral("outside/secret.txt")), "secret");
}

void EmbeddedRepositoryTest::openSessionFails_data()
{
    QTest::addColumn<bool>("hasAddress");
    QTest::addColumn<QString>("host");

    QTest::newRow("missing folder") << true << QStringLiteral("%1/нет такой папки");
    QTest::newRow("regular file") << true << QStringLiteral("%1/repo/readme.txt");
    QTest::newRow("empty host") << true << QString();
    QTest::newRow("no address") << false << QString();
}

void EmbeddedRepositoryTest::openSessionFails()
{
    QFETCH(bool, hasAddress);
    QFETCH(QString, host);

    if (host.contains(QLatin1String("%1")))
        host = host.arg(dir_->path());
    const vadro_cm::Address address = hasAddress ? addressOf(host) : vadro_cm::Address();
    try {
        core_->OpenSession(address, {});
        QFAIL("OpenSession accepted a folder that is no repository");
    } catch (const vadro::VadroError& e) {
        const QString description = QString::fromStdWString(e.GetDescription());
        QVERIFY(!description.isEmpty());
        if (!host.isEmpty())
            QVERIFY2(description.contains(host), qPrintable(description));
        QCOMPARE(QString::fromUtf8(e.what()), description);
    }
}

void EmbeddedRepositoryTest::openSessionOnUnreadableFolder()
{
    if (::geteuid() == 0)
        QSKIP("Permissions do not bind the superuser");
    const QString locked = dir_->filePath(QStringLiteral("locked"));
    QVERIFY(QDir().mkpath(locked));
    QVERIFY(::chmod(QFile::encodeName(locked).constData(), 0) == 0);
    QVERIFY_EXCEPTION_THROWN(core_->OpenSession(addressOf(locked), {}), vadro::VadroError);
    ::chmod(QFile::encodeName(locked).constData(), 0700);
}

void EmbeddedRepositoryTest::resolvePath_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<int>("resolved");

    QTest::newRow("empty") << QStringList() << 0;
    QTest::newRow("document") << QStringList{QStringLiteral("Проекты"), QStringLiteral("Дом"),
                                             QStringLiteral("План.dwg")}
                              << 3;
    QTest::newRow("folder") << QStringList{QStringLiteral("Проекты"), QStringLiteral("Мост")} << 2;
    QTest::newRow("missing at the end") << QStringList{QStringLiteral("Проекты"), QStringLiteral("Нет")} << 1;
    QTest::newRow("missing in the middle")
        << QStringList{QStringLiteral("Нет"), QStringLiteral("Дом"), QStringLiteral("План.dwg")} << 0;
    QTest::newRow("below a document") << QStringList{QStringLiteral("readme.txt"), QStringLiteral("x")} << 1;
    QTest::newRow("parent name") << QStringList{QStringLiteral("Проекты"), QStringLiteral(".."),
                                                QStringLiteral("Проекты")}
                                 << 1;
    QTest::newRow("parent name first") << QStringList{QStringLiteral(".."), QStringLiteral("outside")} << 0;
    QTest::newRow("dot") << QStringList{QStringLiteral("."), QStringLiteral("readme.txt")} << 0;
    QTest::newRow("empty name") << QStringList{QString()} << 0;
    QTest::newRow("two names in one") << QStringList{QStringLiteral("Проекты/Дом")} << 0;
    QTest::newRow("absolute name") << QStringList{QStringLiteral("/etc")} << 0;
    QTest::newRow("letter case matters") << QStringList{QStringLiteral("README.TXT")} << 0;
}

void EmbeddedRepositoryTest::resolvePath()
{
    QFETCH(QStringList, path);
    QFETCH(int, resolved);

    auto session = core_->OpenSession(addressOf(root_), {});
    auto resolver = session->GetPathResolver();
    const vadro::IdPath ids = resolver->ResolvePath(names(path));
    QCOMPARE(int(ids.size()), resolved);
    QCOMPARE(qNames(resolver->GetPathNames(ids)), path.mid(0, resolved));
    if (resolved > 0) {
        const vadro::ItemInfo item = session->GetItem(ids);
        QCOMPARE(QString::fromStdWString(item.name), path.at(resolved - 1));
        QVERIFY(item.id == ids.back());
        QCOMPARE(item.isDocument, path.at(resolved - 1).contains(QLatin1Char('.')));
    }
}

void EmbeddedRepositoryTest::listsFoldersThenDocumentsByName()
{
    auto session = core_->OpenSession(addressOf(root_), {});
    const std::vector<vadro::ItemInfo> children = session->ListChildren({});
    QStringList listed;
    for (const vadro::ItemInfo& child : children)
        listed << QString::fromStdWString(child.name) + (child.isDocument ? QString() : QStringLiteral("/"));
    QCOMPARE(listed, (QStringList{QStringLiteral("Проекты/"), QStringLiteral("readme.txt"), QStringLiteral("Б.txt"),
                                  QStringLiteral("а.txt")}));

    // Listed identifiers are the resolved ones and lead back to the same items.
    const vadro::IdPath project = session->GetPathResolver()->ResolvePath({L"Проекты", L"Дом"});
    QCOMPARE(project.size(), std::size_t(2));
    const std::vector<vadro::ItemInfo> house = session->ListChildren(project);
    QCOMPARE(house.size(), std::size_t(3));
    QCOMPARE(QString::fromStdWString(house[0].name), QStringLiteral("Архив"));
    for (const vadro::ItemInfo& child : house) {
        vadro::IdPath childPath = project;
        childPath.push_back(child.id);
        QVERIFY(session->GetPathResolver()->ResolvePath(session->GetPathResolver()->GetPathNames(childPath)) ==
                childPath);
    }
    QCOMPARE(readAll(*session, {project[0], project[1], house[1].id}, 4096), QByteArray("plan"));
    QVERIFY(session->ListChildren({project[0], project[1], house[0].id}).size() == 1);
}

void EmbeddedRepositoryTest::reportsModificationTimeInNanoseconds()
{
    const QByteArray file = QFile::encodeName(root_ + QStringLiteral("/readme.txt"));
    const struct timespec times[2] = {{1'600'000'000, 5}, {1'700'000'123, 456'789'012}};
    QVERIFY(::utimensat(AT_FDCWD, file.constData(), times, 0) == 0);

    auto session = core_->OpenSession(addressOf(root_), {});
    const vadro::ItemInfo item = session->GetItem(session->GetPathResolver()->ResolvePath({L"readme.txt"}));
    QVERIFY(item.modified.has_value());
    QCOMPARE(*item.modified, std::int64_t(1'700'000'123'456'789'012));
    for (const vadro::ItemInfo& child : session->ListChildren({})) {
        if (child.name == L"readme.txt")
            QCOMPARE(*child.modified, *item.modified);
    }
}

void EmbeddedRepositoryTest::wrongItemKindsAreErrors()
{
    auto session = core_->OpenSession(addressOf(root_), {});
    const vadro::IdPath document = session->GetPathResolver()->ResolvePath({L"readme.txt"});
    const vadro::IdPath folder = session->GetPathResolver()->ResolvePath({L"Проекты"});
    QVERIFY_EXCEPTION_THROWN(session->ListChildren(document), vadro::VadroError);
    QVERIFY_EXCEPTION_THROWN(session->OpenContent(folder), vadro::VadroError);
    QVERIFY_EXCEPTION_THROWN(session->OpenContent({}), vadro::VadroError);
    const vadro::ItemInfo root = session->GetItem({});
    QVERIFY(!root.isDocument);
    QCOMPARE(QString::fromStdWString(root.name), QStringLiteral("repo"));
}

void EmbeddedRepositoryTest::unknownIdentifierIsAnError()
{
    auto session = core_->OpenSession(addressOf(root_), {});
    const vadro::IdPath project = session->GetPathResolver()->ResolvePath({L"Проекты", L"Дом"});
    // An identifier that names no item, and a real one out of place.
    QVERIFY_EXCEPTION_THROWN(session->GetItem({vadro::GenerateUuid()}), vadro::VadroError);
    QVERIFY_EXCEPTION_THROWN(session->GetPathResolver()->GetPathNames({project[1]}), vadro::VadroError);
    QVERIFY_EXCEPTION_THROWN(session->ListChildren({project[1], project[0]}), vadro::VadroError);
}

void EmbeddedRepositoryTest::identifiersAreStableAcrossSessions()
{
    const std::vector<std::wstring> path{L"Проекты", L"Дом", L"Архив", L"Старый.dwg"};
    auto first = core_->OpenSession(addressOf(root_), {});
    const vadro::IdPath ids = first->GetPathResolver()->ResolvePath(path);
    QCOMPARE(ids.size(), path.size());

    auto second = vadro::CreateCore()->OpenSession(addressOf(root_), {});
    QVERIFY(second->GetPathResolver()->ResolvePath(path) == ids);

    // A fresh session turns identifiers handed out elsewhere back into names.
    auto fresh = core_->OpenSession(addressOf(root_), {});
    QVERIFY(fresh->GetPathResolver()->GetPathNames(ids) == path);
    QCOMPARE(readAll(*fresh, ids, 2), QByteArray("old"));

    // Same name in another folder, another item.
    const vadro::IdPath other = first->GetPathResolver()->ResolvePath({L"Проекты", L"Мост"});
    QVERIFY(other[0] == ids[0]);
    QVERIFY(other[1] != ids[1]);
    QVERIFY(ids[3] != first->GetPathResolver()->ResolvePath({L"Проекты", L"Дом", L"План.dwg"})[2]);
}

void EmbeddedRepositoryTest::vanishedItemIsAnError()
{
    auto session = core_->OpenSession(addressOf(root_), {});
    const vadro::IdPath ids = session->GetPathResolver()->ResolvePath({L"а.txt"});
    QCOMPARE(ids.size(), std::size_t(1));
    QVERIFY(QFile::remove(root_ + QStringLiteral("/а.txt")));
    QVERIFY_EXCEPTION_THROWN(session->GetItem(ids), vadro::VadroError);
    QVERIFY_EXCEPTION_THROWN(session->OpenContent(ids), vadro::VadroError);
    QVERIFY(QDir(root_).removeRecursively());
    QVERIFY_EXCEPTION_THROWN(session->ListChildren({}), vadro::VadroError);
}

void EmbeddedRepositoryTest::chunkedRead_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk");

    QTest::newRow("empty document") << 0 << 4096;
    QTest::newRow("one byte, large chunks") << 1 << 65536;
    QTest::newRow("odd chunk size") << 100'000 << 7;
    QTest::newRow("exact multiple") << 8192 << 4096;
    QTest::newRow("one short of a multiple") << 8191 << 4096;
    QTest::newRow("byte by byte") << 3000 << 1;
    QTest::newRow("several megabytes") << 3 * 1024 * 1024 + 17 << (1 << 20);
}

void EmbeddedRepositoryTest::chunkedRead()
{
    QFETCH(int, size);
    QFETCH(int, chunk);

    const QByteArray content = patterned(size);
    writeFile(root_ + QStringLiteral("/data.bin"), content);
    auto session = core_->OpenSession(addressOf(root_), {});
    const vadro::IdPath ids = session->GetPathResolver()->ResolvePath({L"data.bin"});
    QCOMPARE(readAll(*session, ids, std::size_t(chunk)), content);

    // The end stays the end.
    auto reader = session->OpenContent(ids);
    std::vector<char> buffer(std::size_t(size) + 1);
    std::size_t total = 0;
    while (const std::size_t count = reader->ReadChunk(buffer.data() + total, buffer.size() - total))
        total += count;
    QCOMPARE(total, std::size_t(size));
    QCOMPARE(reader->ReadChunk(buffer.data(), buffer.size()), std::size_t(0));
}

void EmbeddedRepositoryTest::symbolicLinks_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("visible");

    QTest::newRow("document inside") << QStringLiteral("%1/repo/Проекты/Дом/План.dwg") << true;
    QTest::newRow("relative document inside") << QStringLiteral("Проекты/Дом/Фасад.dxf") << true;
    QTest::newRow("document outside") << QStringLiteral("%1/outside/secret.txt") << false;
    QTest::newRow("relative escape") << QStringLiteral("../outside/secret.txt") << false;
    QTest::newRow("folder inside") << QStringLiteral("%1/repo/Проекты") << false;
    QTest::newRow("folder outside") << QStringLiteral("%1/outside") << false;
    QTest::newRow("dangling") << QStringLiteral("%1/repo/nothing") << false;
    QTest::newRow("loop to itself") << QStringLiteral("link") << false;
}

void EmbeddedRepositoryTest::symbolicLinks()
{
    QFETCH(QString, target);
    QFETCH(bool, visible);

    target.replace(QLatin1String("%1"), dir_->path());
    QVERIFY(::symlink(QFile::encodeName(target).constData(),
                      QFile::encodeName(root_ + QStringLiteral("/link")).constData()) == 0);

    auto session = core_->OpenSession(addressOf(root_), {});
    bool listed = false;
    for (const vadro::ItemInfo& child : session->ListChildren({}))
        listed = listed || child.name == L"link";
    QCOMPARE(listed, visible);
    const vadro::IdPath ids = session->GetPathResolver()->ResolvePath({L"link"});
    QCOMPARE(ids.size(), std::size_t(visible ? 1 : 0));
    QVERIFY(session->GetPathResolver()->ResolvePath({L"link", L"secret.txt"}).size() <= 1);
    if (visible) {
        QVERIFY(session->GetItem(ids).isDocument);
        QVERIFY(!readAll(*session, ids, 16).isEmpty());
    }
}

void EmbeddedRepositoryTest::concurrentSessions()
{
    const QByteArray big = patterned(256 * 1024);
    writeFile(root_ + QStringLiteral("/Проекты/Дом/big.bin"), big);
    auto shared = core_->OpenSession(addressOf(root_), {});

    std::atomic<int> failures{0};
    std::atomic<int> rounds{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            try {
                for (int i = 0; i < 20; ++i) {
                    // Half the threads share one session, the others open their own each time.
                    auto session = t % 2 ? shared : core_->OpenSession(addressOf(root_), {});
                    auto resolver = session->GetPathResolver();
                    const vadro::IdPath house = resolver->ResolvePath({L"Проекты", L"Дом"});
                    const auto children = session->ListChildren(house);
                    const auto found = std::find_if(children.begin(), children.end(),
                                                    [](const vadro::ItemInfo& c) { return c.name == L"big.bin"; });
                    if (house.size() != 2 || found == children.end()) {
                        ++failures;
                        continue;
                    }
                    vadro::IdPath document = house;
                    document.push_back(found->id);
                    if (readAll(*session, document, 4096 + t) != big ||
                        resolver->GetPathNames(document) != std::vector<std::wstring>{L"Проекты", L"Дом", L"big.bin"})
                        ++failures;
                    ++rounds;
                }
            } catch (...) {
                ++failures;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(failures.load(), 0);
    QCOMPARE(rounds.load(), 8 * 20);
}

QTEST_GUILESS_MAIN(EmbeddedRepositoryTest)
#include "EmbeddedRepositoryTest.moc"
