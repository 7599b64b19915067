// Store documents that do not parse as a whole, read task element by task element, and
// documents built to make the XML reader recurse past the stack.

#include "model/StoreSalvage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString task(const QString& name, const QString& interval = QStringLiteral("1"))
{
    return QStringLiteral("<task><name>%1</name><description>d</description><starting_point>0</starting_point>"
                          "<trigger><type>daily</type><repeat_interval>%2</repeat_interval></trigger>"
                          "<action><type>command</type><executable>/bin/true</executable></action></task>\n")
        .arg(name, interval);
}

QString storeOf(const QString& tasks)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config><tasks>\n") + tasks +
           QStringLiteral("</tasks></config>\n");
}

} // namespace

class StoreSalvageTest : public QObject
{
    Q_OBJECT

private slots:
    void salvage_data();
    void salvage();
    void bytesThatAreNotUtf8();
    void keepsOneCopyOfTheSameBytes();
};

void StoreSalvageTest::salvage_data()
{
    QTest::addColumn<QString>("document");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<QStringList>("recovered");
    QTest::addColumn<int>("dropped");

    const QString a = task(QStringLiteral("a")), b = task(QStringLiteral("b")), c = task(QStringLiteral("c"));
    const QStringList abc{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    const QStringList ac{QStringLiteral("a"), QStringLiteral("c")};

    QTest::newRow("whole") << storeOf(a + b + c) << true << abc << 0;
    QTest::newRow("bad value in a whole document")
        << storeOf(a + task(QStringLiteral("b"), QStringLiteral("x")) + c) << true << ac << 1;
    QTest::newRow("stray < costs its task") << storeOf(a + task(QStringLiteral("b <")) + c) << false << ac << 1;
    QTest::newRow("end tag of an element closed already")
        << storeOf(a + task(QStringLiteral("b</name>")) + c) << false << ac << 1;
    QString cut = storeOf(a + b + c);
    cut.truncate(cut.indexOf(QStringLiteral("<name>c")) + 20);
    QTest::newRow("cut inside the last task")
        << cut << false << QStringList{QStringLiteral("a"), QStringLiteral("b")} << 1;
    QTest::newRow("cut after the last task")
        << storeOf(a + b + c).left(storeOf(a + b + c).indexOf(QStringLiteral("</tasks>"))) << false << abc << 0;
    // A task left open ends where the next one starts; the next one is whole.
    QString open = task(QStringLiteral("b"));
    open.remove(QStringLiteral("</task>"));
    QTest::newRow("task left open") << storeOf(a + open + c) << false << ac << 1;
    // Each element is cut at the next start tag, so elements left open cost linear time.
    QTest::newRow("25,000 task elements left open")
        << storeOf(a + QStringLiteral("<task><name>x</name>").repeated(25'000) + c) << false << ac << 25'000;
    QTest::newRow("not XML at all") << QStringLiteral("\x01\x02 garbage") << false << QStringList() << 0;

    const int deep = 25'000;
    QTest::newRow("nested elements in a task")
        << storeOf(a + task(QStringLiteral("<x>").repeated(deep) + QStringLiteral("</x>").repeated(deep)) + c) << false
        << ac << 1;
    // Attribute values may hold "/>" and ">": they neither close nor end the tag.
    QTest::newRow("nested elements with quoted '/>'")
        << storeOf(a + task(QStringLiteral("<x q=\"/>\">").repeated(deep) + QStringLiteral("</x>").repeated(deep)) + c)
        << false << ac << 1;
    QTest::newRow("nested elements around the tasks")
        << QStringLiteral("<y>").repeated(deep) + storeOf(a + c) << false << ac << 0;
    // What comments, sections and declarations hold is no element.
    // The reader skips an unknown declaration up to its first '>', brackets or not.
    QTest::newRow("unknown declaration before 200,000 elements")
        << storeOf(a + QStringLiteral("<!x[") + QStringLiteral("<a>").repeated(200'000) + c) << false << ac << 0;
    // A task the user commented out never comes back, even when its neighbour is damaged.
    QTest::newRow("tasks in a comment, a section and an instruction are none")
        << storeOf(a + QStringLiteral("<!-- was: 2 > 1 ") + b + QStringLiteral(" --><![CDATA[") + b +
                   QStringLiteral("]]><?pi ") + b + QStringLiteral("?>") + task(QStringLiteral("b <")) + c)
        << false << ac << 1;
    // Only children of config/tasks are tasks, as in the whole document: not those in a
    // DOCTYPE's subset, an attribute value, another element or another task.
    const QString x = task(QStringLiteral("x"));
    QTest::newRow("tasks out of place are none")
        << QStringLiteral("<!DOCTYPE config [ <!ENTITY e \">\"> ") + x + QStringLiteral(" ]>\n") +
               storeOf(a + QStringLiteral("<trash>") + x + QStringLiteral("</trash><y note=\"") + x +
                       QStringLiteral("\"/>") +
                       task(QStringLiteral("b")).replace(QStringLiteral("</action>"), QStringLiteral("</action>") + x) +
                       QStringLiteral("<!-- ") + QChar(0) + QStringLiteral(" -->") + c)
        << false << abc << 0;
    // The whole-document read takes the first block only: more are damage, not lost.
    QTest::newRow("second tasks block") << storeOf(a + b).replace(QStringLiteral("<task><name>b"),
                                                                  QStringLiteral("</tasks><tasks><task><name>b"))
                                        << false << QStringList{QStringLiteral("a"), QStringLiteral("b")} << 0;
    QTest::newRow("second config") << storeOf(a) + QStringLiteral("<config><tasks>") + c +
                                          QStringLiteral("</tasks></config>")
                                   << false << ac << 0;
    // A block of zeros after a crash: the reader would end the document at the first NUL.
    QString zeroed = storeOf(a + b + c);
    zeroed.replace(0, zeroed.indexOf(b), QString(zeroed.indexOf(b), QChar(0)));
    QTest::newRow("zeroed first block") << zeroed << false << QStringList{QStringLiteral("b"), QStringLiteral("c")}
                                        << 0;
    zeroed.replace(0, zeroed.indexOf(b) + 8, QString(zeroed.indexOf(b) + 8, QChar(0)));
    QTest::newRow("zeroed into a task") << zeroed << false << QStringList{QStringLiteral("c")} << 0;
    // An instruction ends at the first "?>" after its '?': "<?>" does not end itself.
    QTest::newRow("elements inside an instruction")
        << storeOf(a + QStringLiteral("<?>") + QStringLiteral("<x>").repeated(40) + QStringLiteral("?>") + c) << true
        << ac << 0;
    QTest::newRow("markup inside a comment and a section")
        << storeOf(QStringLiteral("<!-- ") + QStringLiteral("<x>").repeated(100) + QStringLiteral(" -->") + a +
                   QStringLiteral("<![CDATA[") + QStringLiteral("<x>").repeated(100) + QStringLiteral("]]>") + c)
        << true << ac << 0;
}

void StoreSalvageTest::salvage()
{
    QFETCH(QString, document);
    QFETCH(bool, whole);
    QFETCH(QStringList, recovered);
    QFETCH(int, dropped);

    QElapsedTimer clock;
    clock.start();
    const store::Salvage s = store::SalvageTasks(document.toStdWString());
    // Milliseconds here; a salvage that grows with the square of the elements takes minutes.
    QVERIFY2(clock.elapsed() < 5'000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(s.Whole() == whole, s.damage.c_str());
    QStringList names;
    for (const store::ParsedTask& t : s.tasks)
        if (t.task)
            names << QString::fromStdWString(t.task->name);
    QCOMPARE(names, recovered);
    QCOMPARE(s.Dropped(), std::size_t(dropped));
    QCOMPARE(s.Recovered(), std::size_t(recovered.size()));
}

// Each bad byte becomes one U+FFFD; the store counts as damaged, its tasks all load.
void StoreSalvageTest::bytesThatAreNotUtf8()
{
    const QByteArray a = task(QStringLiteral("a")).toUtf8(), c = task(QStringLiteral("c")).toUtf8();
    const QByteArray bytes = storeOf(QString()).toUtf8().replace(
        "<tasks>\n", "<tasks>\n" + a + task(QStringLiteral("caf@")).toUtf8().replace("@", "\xE9\xFF/\xC3") + c);
    const store::Salvage s = store::SalvageStore(bytes.toStdString());
    QVERIFY2(s.damage.find("line 4: bytes that are not UTF-8 (3 read as U+FFFD)") != std::string::npos,
             s.damage.c_str());
    QCOMPARE(s.Recovered(), std::size_t(3));
    QCOMPARE(s.tasks[1].task->name, std::wstring(L"caf\xFFFD\xFFFD/\xFFFD"));
    QVERIFY(store::SalvageStore(storeOf(task(QStringLiteral("a")) + task(QStringLiteral("c"))).toStdString()).Whole());
}

void StoreSalvageTest::keepsOneCopyOfTheSameBytes()
{
    QTemporaryDir dir;
    const std::filesystem::path store = std::filesystem::path(dir.path().toStdString()) / "storage.xml";
    std::string error;
    const auto first = store::KeepDamagedCopy(store, "damaged", error);
    QVERIFY2(!first.empty(), error.c_str());
    QCOMPARE(store::KeepDamagedCopy(store, "damaged", error), first);
    const auto other = store::KeepDamagedCopy(store, "damaged too", error);
    QVERIFY(!other.empty() && other != first);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);

    // A store moved aside unread is for its owner only, too.
    QFile file(dir.filePath(QStringLiteral("storage.xml")));
    QVERIFY(file.open(QIODevice::WriteOnly) &&
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    file.close();
    const auto aside = store::MoveDamagedAside(store, error);
    QVERIFY2(!aside.empty(), error.c_str());
    QVERIFY(std::filesystem::status(aside).permissions() ==
            (std::filesystem::perms::owner_read | std::filesystem::perms::owner_write));
}

QTEST_GUILESS_MAIN(StoreSalvageTest)
#include "StoreSalvageTest.moc"
