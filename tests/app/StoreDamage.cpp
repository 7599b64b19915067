#include "app/MainWindow.h"
#include "scheduler/TaskStorage.h"
#include "support/Widgets.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTest>

using testsupport::child;

namespace {

QByteArray task(const QByteArray& name)
{
    // Far ahead, so no timer fires while the test runs.
    return "<task><name>" + name +
           "</name><description>d</description><starting_point>4102444800000000000</starting_point>"
           "<trigger><type>daily</type><repeat_interval>1</repeat_interval></trigger>"
           "<action><type>command</type><executable>/bin/true</executable></action></task>\n";
}

// One of three tasks cannot be read: a stray "<" in its name.
const QByteArray kDamaged = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config><tasks>\n" + task("Первая") +
                            task("Вторая <") + task("Третья") + "</tasks></config>\n";

} // namespace

class TestStoreDamage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void damageIsShownWithTheKeptCopy();
};

void TestStoreDamage::initTestCase()
{
    // Written before the service's first use, so its load finds the damage.
    const QString store = QString::fromStdString(TaskStorage::DefaultStorePath().u8string());
    QVERIFY(QDir().mkpath(QFileInfo(store).absolutePath()));
    QFile file(store);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(kDamaged), qint64(kDamaged.size()));
}

void TestStoreDamage::damageIsShownWithTheKeptCopy()
{
    MainWindow window;
    window.ReportStoreDamage();
    auto* box = child<QMessageBox>(&window, "storeDamageMessage");
    QVERIFY(box);
    QVERIFY(box->isVisible());
    QVERIFY(!box->isModal());
    const QString text = box->text();
    QVERIFY2(text.contains(QStringLiteral("Восстановлено задач: 2, не удалось прочитать: 1")), qPrintable(text));

    // The copy the message names holds the damaged bytes; the store holds what was recovered.
    const QString kept = QString::fromStdString(TaskStorage::Instance().Damage().keptAs.u8string());
    QVERIFY(!kept.isEmpty());
    QVERIFY2(text.contains(kept), qPrintable(text));
    QFile copy(kept);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), kDamaged);
    QFile store(QString::fromStdString(TaskStorage::Instance().StorePath().u8string()));
    QVERIFY(store.open(QIODevice::ReadOnly));
    const QByteArray stored = store.readAll();
    QVERIFY(stored.contains("Первая") && stored.contains("Третья") && !stored.contains("Вторая"));
}

QTEST_MAIN(TestStoreDamage)
#include "StoreDamage.moc"
