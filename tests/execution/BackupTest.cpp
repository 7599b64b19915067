#include "execution/Backup.h"
#include "common/Utf8.h"
#include "execution/BackupTestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <QElapsedTimer>

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace backuptest;
using testsupport::fsPath;

namespace {

ino_t Inode(const QString& path)
{
    struct stat st
    {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// 2026-12-07 02:00:00 UTC, the start of the first run with versions; the tests run in UTC.
constexpr std::time_t kFirstRun = 1796608800;

// The names in a folder, hidden ones included, sorted; without the ledger of versions.
QStringList EntriesOf(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.removeAll(QStringLiteral(".kalvor-versions"));
    names.sort();
    return names;
}

QString VersionAt(int hour)
{
    return QStringLiteral("2026-12-07_%1-00-00").arg(hour, 2, 10, QLatin1Char('0'));
}

// A new empty folder, or a new symbolic link to `target`, at `path`, in place of what stood there.
bool FreshFolder(const QString& path)
{
    QDir(path).removeRecursively();
    return QDir().mkpath(path);
}
bool FreshLink(const QString& target, const QString& path)
{
    QFile::remove(path);
    return QFile::link(target, path);
}

// The report of a run that copied `copied` documents and failed to copy one, as `failure` tells.
QStringList OneNotCopied(qsizetype copied, const QString& failure)
{
    return {
        QStringLiteral("Резервное копирование не выполнено: скопировано документов %1, не скопировано 1.").arg(copied),
        failure};
}

QStringList Report(const execution::BackupResult& result)
{
    QStringList lines;
    for (const std::wstring& line : execution::BackupReport(result))
        lines << QString::fromStdWString(line);
    return lines;
}

// A repository that answers with whatever names it is given: the far side of the
// repository boundary is not trusted. Its root holds the items of `children`; a folder
// among them holds one document "inner".
class NamingSession final : public vadro::ISession, public vadro::IPathResolver
{
public:
    explicit NamingSession(std::vector<vadro::ItemInfo> children)
        : children_(std::move(children))
    {}
    std::shared_ptr<vadro::IPathResolver> GetPathResolver() override
    {
        return std::shared_ptr<vadro::IPathResolver>(std::shared_ptr<void>(), this);
    }
    vadro::IdPath ResolvePath(const std::vector<std::wstring>& names) override
    {
        return vadro::IdPath(names.size(), vadro::GenerateUuid());
    }
    std::vector<std::wstring> GetPathNames(const vadro::IdPath&) override { return {}; }
    vadro::ItemInfo GetItem(const vadro::IdPath&) override { return {}; }
    std::vector<vadro::ItemInfo> ListChildren(const vadro::IdPath& folder) override
    {
        if (folder.size() == 1)
            return children_;
        return {vadro::ItemInfo{vadro::GenerateUuid(), L"inner", true, {}, {}}};
    }
    std::unique_ptr<vadro::IContentReader> OpenContent(const vadro::IdPath&) override
    {
        struct Text final : vadro::IContentReader
        {
            std::string text = "written";
            std::size_t ReadChunk(char* buffer, std::size_t size) override
            {
                const std::size_t n = std::min(size, text.size());
                std::copy_n(text.data(), n, buffer);
                text.erase(0, n);
                return n;
            }
        };
        return std::make_unique<Text>();
    }

private:
    std::vector<vadro::ItemInfo> children_;
};

class NamingCore final : public vadro::ICore
{
public:
    explicit NamingCore(std::vector<vadro::ItemInfo> children)
        : children_(std::move(children))
    {}
    std::shared_ptr<vadro::ISession> OpenSession(const vadro_cm::Address&, const vadro_cm::Credentials&) override
    {
        return std::make_shared<NamingSession>(children_);
    }

private:
    std::vector<vadro::ItemInfo> children_;
};

} // namespace

class BackupTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString repo;
    std::filesystem::path connections;
    vadro_cm::Connection connection;
    const QMap<QString, QByteArray> source{{QStringLiteral("Проекты/A"), "alpha"},
                                           {QStringLiteral("Проекты/B"), "beta"},
                                           {QStringLiteral("Проекты/C"), "gamma"},
                                           {QStringLiteral("Проекты/Sub/D"), "delta"}};

    // A run with versions that starts `hours` after the first one.
    execution::BackupResult BackUpWithVersions(vadro::ICore& core, const QString& destination, int keep, int hours,
                                               const std::atomic<bool>* stop = nullptr,
                                               const std::wstring& source = L"vadro://Демо/Проекты")
    {
        return execution::RunBackup(
            {connection.id, source, destination.toStdWString(), std::uint32_t(keep), kFirstRun + hours * 3600}, core,
            connections, stop);
    }

    execution::BackupResult BackUp(vadro::ICore& core, const QString& destination,
                                   const QString& folder = QStringLiteral("Проекты"))
    {
        return execution::RunBackup({connection.id, QString(QStringLiteral("vadro://Демо/") + folder).toStdWString(),
                                     destination.toStdWString()},
                                    core, connections);
    }

    // The repository's documents still hold what they held, and nothing was added to it.
    void VerifySourceUntouched()
    {
        QStringList expected{QStringLiteral("Проекты"), QStringLiteral("Проекты/Sub")};
        for (auto it = source.begin(); it != source.end(); ++it) {
            QCOMPARE(readFile(repo + QLatin1Char('/') + it.key()), it.value());
            expected << it.key();
        }
        expected.sort();
        QCOMPARE(treeOf(repo), expected);
    }

private slots:
    void initTestCase()
    {
        qputenv("TZ", "UTC");
        ::tzset();
    }

    void init()
    {
        QVERIFY(dir.isValid());
        repo = dir.filePath(QStringLiteral("repo"));
        QDir(repo).removeRecursively();
        for (auto it = source.begin(); it != source.end(); ++it)
            writeFile(repo + QLatin1Char('/') + it.key(), it.value());
        connections = fsPath(dir.filePath(QStringLiteral("connections.xml")));
        connection = saveConnection(connections, repo);
    }

    // An empty source writes nothing, not even the destination folder.
    void emptySourceWritesNothing()
    {
        NamingCore core({});
        const execution::BackupResult result = BackUp(core, dir.filePath(QStringLiteral("пустая/копия")));
        QVERIFY(result.ok);
        QCOMPARE(result.documents, std::size_t(0));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("пустая"))));
    }

    // A destination that is the source, or lies inside it, is refused before anything is
    // written: no document is truncated and the copy never nests inside itself.
    void refusesTheSourceAsDestination_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("foreign"); // made another user's
        QTest::addColumn<bool>("swapped");    // a link to the source's sub-folder, once the run has begun
        const QString same = QStringLiteral("совпадает"), inside = QStringLiteral("внутри"),
                      holds = QStringLiteral("содержит"), foreign = QStringLiteral("принадлежит другому пользователю");
        QTest::newRow("the source") << QStringLiteral("repo/Проекты") << same << QString() << false;
        QTest::newRow("the source, spelled with dots")
            << QStringLiteral("repo/Проекты/Sub/..") << same << QString() << false;
        QTest::newRow("new folder inside")
            << QStringLiteral("repo/Проекты/копия/свежая") << inside << QString() << false;
        QTest::newRow("existing sub-folder") << QStringLiteral("repo/Проекты/Sub") << inside << QString() << false;
        QTest::newRow("through a link to the source") << QStringLiteral("link/копия") << inside << QString() << false;
        QTest::newRow("the repository holding it") << QStringLiteral("repo") << holds << QString() << false;
        QTest::newRow("a folder above the repository") << QStringLiteral(".") << holds << QString() << false;
        QTest::newRow("through a link to the repository") << QStringLiteral("rlink") << holds << QString() << false;
        QTest::newRow("another user's link") << QStringLiteral("bk") << foreign << QStringLiteral("bk") << false;
        QTest::newRow("a link to the source swapped in") << QStringLiteral("swap") << inside << QString() << true;
        QTest::newRow("in another user's folder") << QStringLiteral("x/bk") << foreign << QStringLiteral("x") << false;
    }
    void refusesTheSourceAsDestination()
    {
        QFETCH(QString, destination);
        QFETCH(QString, reason);
        QFETCH(QString, foreign);
        QFETCH(bool, swapped);
        const QString victim = dir.filePath(QStringLiteral("victim"));
        QVERIFY(FreshLink(repo + QStringLiteral("/Проекты"), dir.filePath(QStringLiteral("link"))));
        QVERIFY(FreshLink(repo, dir.filePath(QStringLiteral("rlink"))));
        QVERIFY(FreshFolder(dir.filePath(QStringLiteral("x"))));
        QVERIFY(FreshFolder(victim));
        QVERIFY(FreshLink(victim, dir.filePath(QStringLiteral("bk"))));
        if (!foreign.isEmpty()) {
            if (::geteuid() != 0)
                QSKIP("making a file another user's needs root");
            QCOMPARE(::lchown(QFile::encodeName(dir.filePath(foreign)).constData(), 4242, 4242), 0);
        }
        const QString swap = dir.filePath(QStringLiteral("swap"));
        QFile::remove(swap);
        ReadPlan plan;
        if (swapped)
            plan.beforeListing = [&](const vadro::IdPath& folder) {
                if (folder.size() == 1)
                    FreshLink(repo + QStringLiteral("/Проекты/Sub"), swap);
            };
        PlannedCore core(plan);
        for (int run = 0; run < 2; ++run) {
            const execution::BackupResult result = BackUp(core, dir.filePath(destination));
            const QStringList lines = Report(result);
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines[0].startsWith(QStringLiteral("Резервное копирование не выполнено: папка назначения ")),
                     qPrintable(lines[0]));
            QVERIFY2(lines[0].contains(reason), qPrintable(lines[0]));
            VerifySourceUntouched();
            QCOMPARE(treeOf(victim), QStringList());
            QCOMPARE(treeOf(dir.filePath(QStringLiteral("x"))), QStringList());
        }
    }

    // Whatever fails is skipped and counted, the rest is copied, and a previous good copy
    // of what failed stays as it was.
    void failuresAreCountedAndTheRestIsCopied_data()
    {
        QTest::addColumn<QString>("planted"); // what stands in the destination beforehand
        QTest::addColumn<QString>("kind");    // "file" holding "previous", "folder", or "link" to the source's own
        QTest::addColumn<QString>("failingDocument");
        QTest::addColumn<QStringList>("copied");
        QTest::addColumn<QStringList>("tree"); // the destination afterwards

        const QString a = QStringLiteral("A"), b = QStringLiteral("B"), c = QStringLiteral("C"),
                      sub = QStringLiteral("Sub"), d = QStringLiteral("Sub/D");
        const QString file = QStringLiteral("file"), folder = QStringLiteral("folder"), link = QStringLiteral("link");
        QTest::newRow("reading breaks off mid-document")
            << b << file << b << QStringList{a, c, d} << QStringList{a, b, c, sub, d};
        QTest::newRow("a folder where the document goes")
            << c << folder << QString() << QStringList{a, b, d} << QStringList{a, b, c, sub, d};
        QTest::newRow("a file where the folder goes")
            << sub << file << QString() << QStringList{a, b, c} << QStringList{a, b, c, sub};
        const QString temp = QStringLiteral(".kalvor-backup-0123456789abcdef.tmp"); // a document named so
        QTest::newRow("a document named like a temporary file")
            << temp << file << temp << QStringList{a, b, c, d} << QStringList{temp, a, b, c, sub, d};
        QTest::newRow("the destination file is the document itself")
            << a << link << QString() << QStringList{b, c, d} << QStringList{a, b, c, sub, d};
    }
    void failuresAreCountedAndTheRestIsCopied()
    {
        QFETCH(QString, planted);
        QFETCH(QString, kind);
        QFETCH(QString, failingDocument);
        QFETCH(QStringList, copied);
        QFETCH(QStringList, tree);

        const QString destination = dir.filePath(QStringLiteral("out"));
        const QString plantedPath = destination + QLatin1Char('/') + planted;
        const QString original = repo + QStringLiteral("/Проекты/") + planted;
        if (planted.startsWith(QLatin1Char('.')))
            writeFile(original, "source");
        QVERIFY(FreshFolder(destination));
        if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(plantedPath));
        else if (kind == QLatin1String("link"))
            QCOMPARE(::link(QFile::encodeName(original).constData(), QFile::encodeName(plantedPath).constData()), 0);
        else
            writeFile(plantedPath, "previous");

        ReadPlan plan;
        plan.chunk = 2; // every document takes several chunks
        if (!failingDocument.isEmpty())
            plan.failing.insert(failingDocument.toStdWString());
        PlannedCore core(plan);
        const QStringList lines = Report(BackUp(core, destination));

        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], OneNotCopied(copied.size(), QString())[0]);
        const QString failedPath = QStringLiteral("vadro://Демо/Проекты/") + planted + QStringLiteral(": ");
        QVERIFY2(lines[1].startsWith(failedPath) && lines[1].size() > failedPath.size(), qPrintable(lines[1]));
        for (const QString& name : copied)
            QCOMPARE(readFile(destination + QLatin1Char('/') + name), source.value(QStringLiteral("Проекты/") + name));
        if (kind == QLatin1String("file"))
            QCOMPARE(readFile(plantedPath), QByteArray("previous"));
        if (kind == QLatin1String("link"))
            QCOMPARE(Inode(plantedPath), Inode(original)); // still the one file
        QCOMPARE(treeOf(destination), tree);               // nothing half-written stays behind
        if (planted.startsWith(QLatin1Char('.')))
            QFile::remove(original);
        VerifySourceUntouched();
    }

    // Below the destination no symbolic link is followed, also one swapped in for a folder
    // the run made: a link where a folder or a document belongs fails that item, and what
    // it leads to (another user's folder, a folder of the repository) stays as it was.
    void linksInTheDestinationAreNotFollowed_data()
    {
        QTest::addColumn<QString>("link");   // the item whose place it takes
        QTest::addColumn<QString>("target"); // below the test folder
        QTest::addColumn<bool>("swapped");   // put in place once the run has made the folder
        const QString sub = QStringLiteral("Sub"), victim = QStringLiteral("victim");
        QTest::newRow("folder, to another folder") << sub << victim << false;
        QTest::newRow("folder, into the repository") << sub << QStringLiteral("repo/Архив") << false;
        QTest::newRow("folder, to a file") << sub << QStringLiteral("victim/D") << false;
        QTest::newRow("document, to a file") << QStringLiteral("A") << QStringLiteral("victim/D") << false;
        QTest::newRow("folder swapped in after it was made") << sub << victim << true;
    }
    void linksInTheDestinationAreNotFollowed()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(bool, swapped);
        const QString destination = dir.filePath(QStringLiteral("linked")), at = destination + QLatin1Char('/') + link;
        QDir(dir.filePath(QStringLiteral("victim"))).removeRecursively();
        writeFile(dir.filePath(QStringLiteral("victim/D")), "victim");
        writeFile(repo + QStringLiteral("/Архив/D"), "archive");
        QVERIFY(FreshFolder(destination));
        if (!swapped)
            QVERIFY(QFile::link(dir.filePath(target), at));
        ReadPlan plan;
        if (swapped)
            plan.beforeListing = [&](const vadro::IdPath& folder) {
                if (folder.size() == 2 && QFile::rename(at, at + QStringLiteral(".made")))
                    QFile::link(dir.filePath(target), at);
            };
        PlannedCore core(plan);
        const QStringList lines = Report(BackUp(core, destination));
        const QString holds = link == QLatin1String("A") ? QStringLiteral("документа") : QStringLiteral("папки");
        QCOMPARE(lines,
                 OneNotCopied(3, QStringLiteral("vadro://Демо/Проекты/%1: на месте %2 находится символическая ссылка")
                                     .arg(link, holds)));
        QVERIFY(QFileInfo(at).isSymLink());
        QCOMPARE(treeOf(dir.filePath(QStringLiteral("victim"))), QStringList{QStringLiteral("D")});
        QCOMPARE(readFile(dir.filePath(QStringLiteral("victim/D"))), QByteArray("victim"));
        QCOMPARE(treeOf(repo + QStringLiteral("/Архив")), QStringList{QStringLiteral("D")});
        QCOMPARE(readFile(repo + QStringLiteral("/Архив/D")), QByteArray("archive"));
    }

    // A document or folder whose name is not UTF-8 cannot be copied under its name, and one
    // that cannot be examined cannot be copied at all: it is counted as not copied, with the
    // reason.
    void uncopiableItemsAreCounted_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<bool>("deep"); // in folders so deep that its path is too long
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("reason");
        const QString notUtf8 = QStringLiteral("имя файла не в кодировке UTF-8");
        QTest::newRow("document") << QByteArray("caf\xe9") << false << false << QStringLiteral("caf\uFFFD") << notUtf8;
        QTest::newRow("folder") << QByteArray("caf\xe9") << true << false << QStringLiteral("caf\uFFFD") << notUtf8;
        QTest::newRow("holding a line feed")
            << QByteArray("caf\xe9\nРезервное копирование завершено") << false << false
            << QStringLiteral("caf\uFFFD\\nРезервное копирование завершено") << notUtf8;
        QTest::newRow("path too long") << QByteArray(255, 'f') << false << true << QString(255, QLatin1Char('f'))
                                       << QString::fromLocal8Bit(std::strerror(ENAMETOOLONG));
    }
    void uncopiableItemsAreCounted()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, folder);
        QFETCH(bool, deep);
        QFETCH(QString, shown);
        QFETCH(QString, reason);
        QByteArray at = QFile::encodeName(repo + QStringLiteral("/Проекты"));
        QString shownAt = QStringLiteral("vadro://Демо/Проекты/");
        std::vector<QByteArray> made;
        while (deep && at.size() + 251 < 4095) {
            at += '/' + QByteArray(250, 'd');
            QCOMPARE(::mkdir(at.constData(), 0755), 0);
            made.push_back(at);
            shownAt += QString(250, QLatin1Char('d')) + QLatin1Char('/');
        }
        const int parent = ::open(at.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(parent >= 0);
        const QByteArray file = folder ? name + "/inner" : name;
        QVERIFY(!folder || ::mkdirat(parent, name.constData(), 0755) == 0);
        QCOMPARE(::close(::openat(parent, file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)), 0);
        auto core = vadro::CreateCore();
        const QStringList lines = Report(BackUp(*core, dir.filePath(QStringLiteral("utf8"))));
        // Qt can neither name these to remove them nor reach them by their whole path.
        ::unlinkat(parent, file.constData(), 0);
        ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
        ::close(parent);
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            ::rmdir(it->constData());
        QDir(dir.filePath(QStringLiteral("utf8"))).removeRecursively();
        QCOMPARE(lines, OneNotCopied(4, shownAt + shown + QStringLiteral(": ") + reason));
    }

    // The embedded repository reads the document it checked: a symbolic link swapped in for
    // it meanwhile is refused, not followed out of the repository.
    void swappedLinkIsNotFollowed()
    {
        const QString folder = repo + QStringLiteral("/Проекты/");
        const QString secret = dir.filePath(QStringLiteral("secret"));
        writeFile(secret, "secret");
        auto session = vadro::CreateCore()->OpenSession(connection.address, {});
        const vadro::IdPath ids = session->GetPathResolver()->ResolvePath({L"Проекты", L"A"});
        QCOMPARE(ids.size(), std::size_t(2));
        const QByteArray target = QFile::encodeName(folder + QStringLiteral("A"));
        const QByteArray staged = QFile::encodeName(folder + QStringLiteral("A.staged"));
        std::atomic<bool> done{false};
        std::thread swapper([&] {
            for (int i = 0; !done; ++i) {
                if (i % 2 == 0) {
                    ::symlink(QFile::encodeName(secret).constData(), staged.constData());
                } else {
                    QFile f(QString::fromLocal8Bit(staged));
                    if (f.open(QIODevice::WriteOnly))
                        f.write("alpha");
                }
                ::rename(staged.constData(), target.constData());
            }
        });
        int read = 0;
        QElapsedTimer timer;
        timer.start();
        QByteArray leaked;
        while (timer.elapsed() < 1500 && leaked.isEmpty()) {
            try {
                const auto reader = session->OpenContent(ids);
                char buffer[16];
                const std::size_t n = reader->ReadChunk(buffer, sizeof buffer);
                if (QByteArray(buffer, int(n)) != "alpha")
                    leaked = QByteArray(buffer, int(n));
                ++read;
            } catch (const vadro::VadroError&) {
            }
        }
        done = true;
        swapper.join();
        QFile::remove(QString::fromLocal8Bit(staged));
        QFile::remove(QString::fromLocal8Bit(target));
        writeFile(QString::fromLocal8Bit(target), "alpha");
        QVERIFY2(leaked.isEmpty(), leaked.constData());
        QVERIFY(read > 0);
    }

    // Names from the repository are used as one path component or not at all.
    void hostileNamesNeverWriteOutside_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("document");
        QTest::newRow("parent, document") << QStringLiteral("..") << true;
        QTest::newRow("parent, folder") << QStringLiteral("..") << false;
        QTest::newRow("itself, folder") << QStringLiteral(".") << false;
        QTest::newRow("step up") << QStringLiteral("../escaped") << true;
        QTest::newRow("absolute") << QStringLiteral("ABSOLUTE/escaped") << true;
        QTest::newRow("slash inside, folder") << QStringLiteral("a/b") << false;
        QTest::newRow("empty") << QString() << true;
    }
    void hostileNamesNeverWriteOutside()
    {
        QFETCH(QString, name);
        QFETCH(bool, document);
        QTemporaryDir sandbox;
        name.replace(QStringLiteral("ABSOLUTE"), sandbox.path());
        const QString destination = sandbox.filePath(QStringLiteral("a/out"));
        QVERIFY(QDir().mkpath(sandbox.filePath(QStringLiteral("a/b"))));
        NamingCore core({vadro::ItemInfo{vadro::GenerateUuid(), name.toStdWString(), document, {}, {}},
                         vadro::ItemInfo{vadro::GenerateUuid(), L"ok", true, {}, {}}});
        const execution::BackupResult result = BackUp(core, destination);
        QCOMPARE(Report(result), OneNotCopied(1, QStringLiteral("vadro://Демо/Проекты/") + name +
                                                     QStringLiteral(": недопустимое имя")));
        QCOMPARE(treeOf(sandbox.path()), (QStringList{QStringLiteral("a"), QStringLiteral("a/b"),
                                                      QStringLiteral("a/out"), QStringLiteral("a/out/ok")}));
    }

    // Each run with versions writes a complete dated version; a document unchanged since the
    // newest version is the same file in both, a changed one is copied with its time.
    void versionsLinkWhatIsUnchanged()
    {
        const QString destination = dir.filePath(QStringLiteral("versions"));
        QDir(destination).removeRecursively();
        writeFile(destination + QStringLiteral("/A"), "single copy made before versions");
        auto core = vadro::CreateCore();
        const QString b = repo + QStringLiteral("/Проекты/B");
        const QStringList expected{
            QStringLiteral("версия %1, скопировано документов 4, без изменений 0.").arg(VersionAt(2)),
            QStringLiteral("версия %1, скопировано документов 1, без изменений 3.").arg(VersionAt(3)),
            QStringLiteral("версия %1, скопировано документов 0, без изменений 4.").arg(VersionAt(4))};
        for (int run = 0; run < 3; ++run) {
            if (run == 1)
                writeFile(b, "BETA"); // the same size
            QCOMPARE(Report(BackUpWithVersions(*core, destination, 5, run)),
                     QStringList{QStringLiteral("Резервное копирование завершено: ") + expected[run]});
        }
        const auto at = [&](int hour, const char* name) -> QString {
            return destination + QLatin1Char('/') + VersionAt(hour) + QLatin1Char('/') + QLatin1String(name);
        };
        QCOMPARE(Inode(at(2, "Sub/D")), Inode(at(4, "Sub/D")));
        QCOMPARE(Inode(at(3, "B")), Inode(at(4, "B")));
        QVERIFY(Inode(at(2, "B")) != Inode(at(3, "B")));
        QCOMPARE(readFile(at(2, "B")), QByteArray("beta"));
        QCOMPARE(readFile(at(4, "B")), QByteArray("BETA"));
        QCOMPARE(QFileInfo(at(3, "B")).lastModified(), QFileInfo(b).lastModified());
        QCOMPARE(readFile(destination + QStringLiteral("/A")), QByteArray("single copy made before versions"));
        writeFile(b, "beta");
    }

    // After a successful run only the newest N complete versions stay, and "latest" names
    // the newest; without versions the destination holds the one copy as before.
    void versionsArePruned_data()
    {
        QTest::addColumn<int>("keep");
        QTest::addColumn<QList<int>>("runs"); // hours after the first run
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("present"); // folders of the user's made before
        QTest::addColumn<bool>("shared");         // a second task backs up Sub into it each time
        const QString latest = QStringLiteral("latest");
        QTest::newRow("keep 1") << 1 << QList<int>{0, 1, 2, 3} << QStringList{VersionAt(5), latest} << QStringList()
                                << false;
        QTest::newRow("keep 2") << 2 << QList<int>{0, 1, 2, 3} << QStringList{VersionAt(4), VersionAt(5), latest}
                                << QStringList() << false;
        QTest::newRow("keep more than made")
            << 9 << QList<int>{0, 1} << QStringList{VersionAt(2), VersionAt(3), latest} << QStringList() << false;
        QTest::newRow("clock set back: versions kept in the order made")
            << 2 << QList<int>{3, 2, 1} << QStringList{VersionAt(3), VersionAt(4), latest} << QStringList() << false;
        const QStringList foreign{VersionAt(1), VersionAt(2),
                                  QLatin1Char('.') + VersionAt(0) + QStringLiteral(".partial")};
        QTest::newRow("folders named as versions are not ours")
            << 1 << QList<int>{0, 1} << (foreign + QStringList{VersionAt(3), latest}) << foreign << false;
        QTest::newRow("two tasks, one destination, the same second")
            << 1 << QList<int>{0, 1} << QStringList{VersionAt(3), VersionAt(3) + QStringLiteral("_2"), latest}
            << QStringList() << true;
        QTest::newRow("no versions") << 0 << QList<int>{0, 1}
                                     << QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"),
                                                    QStringLiteral("Sub")}
                                     << QStringList() << false;
    }
    void versionsArePruned()
    {
        QFETCH(int, keep);
        QFETCH(QList<int>, runs);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, present);
        QFETCH(bool, shared);
        const QString destination = dir.filePath(QStringLiteral("pruned"));
        QDir(destination).removeRecursively();
        for (const QString& folder : present)
            writeFile(destination + QLatin1Char('/') + folder + QStringLiteral("/A"), "alpha");
        auto core = vadro::CreateCore();
        for (int hours : runs) {
            QVERIFY(BackUpWithVersions(*core, destination, keep, hours).ok);
            if (shared)
                QVERIFY(BackUpWithVersions(*core, destination, keep, hours, nullptr, L"vadro://Демо/Проекты/Sub").ok);
        }
        entries.sort();
        QCOMPARE(EntriesOf(destination), entries);
        if (keep > 0)
            QCOMPARE(QFile::symLinkTarget(destination + QStringLiteral("/latest")),
                     destination + QLatin1Char('/') + VersionAt(2 + runs.last()) +
                         (shared ? QStringLiteral("_2") : QString()));
        for (const QString& folder : present)
            QCOMPARE(treeOf(destination + QLatin1Char('/') + folder), QStringList{QStringLiteral("A")});
    }

    // A stopped run leaves no version that looks complete, and the next run finishes
    // cleanly: it removes the unfinished versions of runs that ended, but not one that a run
    // still writes, nor anything that is not ours or not named so, and follows no link.
    void stoppedRunLeavesNoVersion()
    {
        const QString destination = dir.filePath(QStringLiteral("stopped"));
        QDir(destination).removeRecursively();
        auto core = vadro::CreateCore();
        QVERIFY(BackUpWithVersions(*core, destination, 3, 0).ok);

        std::atomic<bool> stop{false};
        ReadPlan plan;
        plan.beforeListing = [&](const vadro::IdPath& folder) { stop = folder.size() == 2; };
        PlannedCore stopping(plan);
        const QString partial = QLatin1Char('.') + VersionAt(3) + QStringLiteral(".partial");
        const execution::BackupResult stopped = BackUpWithVersions(stopping, destination, 3, 1, &stop);
        QVERIFY(!stopped.ok);
        QVERIFY(stopped.version.empty());
        QCOMPARE(EntriesOf(destination), (QStringList{partial, VersionAt(2), QStringLiteral("latest")}));
        QCOMPARE(QFile::symLinkTarget(destination + QStringLiteral("/latest")),
                 destination + QLatin1Char('/') + VersionAt(2));

        // What the next run must leave: a version a run still writes, a link and a folder
        // not named as a version, and what a link in a leftover leads to.
        const QString held = destination + QStringLiteral("/.2026-12-06_00-00-00.partial");
        QVERIFY(QDir().mkpath(held));
        const int holder = ::open(QFile::encodeName(held).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
        writeFile(dir.filePath(QStringLiteral("victim/D")), "victim");
        for (const QString& at :
             QStringList{partial + QStringLiteral("/Sub/into-victim"), QStringLiteral(".2026-12-05_00-00-00.partial")})
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("victim")), destination + QLatin1Char('/') + at));
        for (const char* name : {"/.2026-12-0x_00-00-00.partial", "/_2026-12-05_00-00-00.partial",
                                 "/.2026-12-02_00-00-00.deleting/Sub", "/.2026-12-03_00-00-00.deleting/Sub"})
            QVERIFY(QDir().mkpath(destination + QLatin1String(name)));
        // A run killed while it removed an old version: the ledger lists it as being removed.
        QFile ledger(destination + QStringLiteral("/.kalvor-versions"));
        QVERIFY(ledger.open(QIODevice::Append));
        ledger.write(QStringLiteral("deleting 2026-12-03_00-00-00 vadro://Демо/Проекты\n").toUtf8());
        ledger.close();

        QVERIFY(BackUpWithVersions(*core, destination, 3, 2).ok);
        ::close(holder);
        QCOMPARE(
            EntriesOf(destination),
            (QStringList{QStringLiteral(".2026-12-02_00-00-00.deleting"),
                         QStringLiteral(".2026-12-05_00-00-00.partial"), QStringLiteral(".2026-12-06_00-00-00.partial"),
                         QStringLiteral(".2026-12-0x_00-00-00.partial"), VersionAt(2), VersionAt(4),
                         QStringLiteral("_2026-12-05_00-00-00.partial"), QStringLiteral("latest")}));
        QCOMPARE(treeOf(dir.filePath(QStringLiteral("victim"))), QStringList{QStringLiteral("D")});
        QCOMPARE(treeOf(destination + QLatin1Char('/') + VersionAt(4)),
                 (QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("Sub"),
                              QStringLiteral("Sub/D")}));
    }

    // A run killed in the middle of a document leaves the previous copy whole and nothing
    // else; the next run removes temporary files that a killed run left, but not one that a
    // run still writes.
    void killedRunKeepsThePreviousCopy()
    {
        const QString destination = dir.filePath(QStringLiteral("killed"));
        writeFile(repo + QStringLiteral("/Большой/Big"), QByteArray(512 * 1024, 'n'));
        writeFile(destination + QStringLiteral("/Big"), "previous");
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ReadPlan slow;
            slow.chunk = 4096;
            slow.perChunk = std::chrono::milliseconds(20); // about six seconds for the document
            PlannedCore core(slow);
            BackUp(core, destination, QStringLiteral("Большой"));
            ::_exit(0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(writingUnnamedInto(child, destination), 5000);
        QTest::qWait(200); // part of the document is written
        ::kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(readFile(destination + QStringLiteral("/Big")), QByteArray("previous"));
        QCOMPARE(treeOf(destination), QStringList{QStringLiteral("Big")});

        // Where a file system has no unnamed files, a killed run leaves a named one.
        const QString left = destination + QStringLiteral("/.kalvor-backup-00000000deadbeef.tmp");
        const QString busy = destination + QStringLiteral("/.kalvor-backup-00000000cafef00d.tmp");
        writeFile(left, "part");
        writeFile(busy, "part");
        QFile held(busy);
        QVERIFY(held.open(QIODevice::ReadWrite));
        QCOMPARE(::flock(held.handle(), LOCK_EX | LOCK_NB), 0);

        auto core = vadro::CreateCore();
        const auto result = BackUp(*core, destination, QStringLiteral("Большой"));
        QCOMPARE(Report(result),
                 QStringList{QStringLiteral("Резервное копирование завершено: скопировано документов 1.")});
        QCOMPARE(treeOf(destination),
                 (QStringList{QStringLiteral(".kalvor-backup-00000000cafef00d.tmp"), QStringLiteral("Big")}));
        QCOMPARE(readFile(destination + QStringLiteral("/Big")), QByteArray(512 * 1024, 'n'));
        QDir(repo + QStringLiteral("/Большой")).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(BackupTest)
#include "BackupTest.moc"
