#include "app/LogViewer.h"
#include "support/Widgets.h"

#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using testsupport::child;

namespace {

void append(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestLogViewer : public QObject
{
    Q_OBJECT

private slots:
    void followsTheFile();
    void longLogShowsItsTail();
};

void TestLogViewer::followsTheFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("задача.log"));
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += "01.01.2026 10:00:00 строка " + QByteArray::number(i) + '\n';
    append(path, lines);

    LogViewer viewer(path, QStringLiteral("задача"));
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    auto* text = child<QPlainTextEdit>(&viewer, "logTextEdit");
    QVERIFY(text->isReadOnly());
    QCOMPARE(text->toPlainText(), QString::fromUtf8(lines));
    QScrollBar* bar = text->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());

    // A line written in two pieces, split inside a Cyrillic letter, arrives whole.
    const QByteArray next = "01.01.2026 10:00:01 Задание не выполнено:\n";
    const int split = next.indexOf("Задание") + 1;
    append(path, next.left(split));
    QTRY_VERIFY(text->toPlainText().size() > QString::fromUtf8(lines).size());
    append(path, next.mid(split));
    QTRY_COMPARE(text->toPlainText(), QString::fromUtf8(lines + next));
    QTRY_COMPARE(bar->value(), bar->maximum());

    // Removed with its task and written anew, the log is read from its start.
    QVERIFY(QFile::remove(path));
    QTRY_COMPARE(text->toPlainText(), QString());
    append(path, "новый журнал\n");
    QTRY_COMPARE(text->toPlainText(), QStringLiteral("новый журнал\n"));

    // Rotated (or any file renamed over it): the new file is shown from its start, and a
    // line above names the older file.
    auto* older = child<QLabel>(&viewer, "olderLogLabel");
    QVERIFY(!older->isVisibleTo(&viewer));
    append(path + QStringLiteral(".1"), "новый журнал\n");
    const QByteArray replaced = "01.01.2026 10:00:02 файл заменён, строка длиннее прежней\n";
    append(dir.filePath(QStringLiteral("next")), replaced);
    QVERIFY(::rename(QFile::encodeName(dir.filePath(QStringLiteral("next"))), QFile::encodeName(path)) == 0);
    QTRY_COMPARE(text->toPlainText(), QString::fromUtf8(replaced));
    QTRY_VERIFY(older->isVisibleTo(&viewer));
    QVERIFY(older->text().contains(path + QStringLiteral(".1")));
    append(path, next);
    QTRY_COMPARE(text->toPlainText(), QString::fromUtf8(replaced + next));
}

void TestLogViewer::longLogShowsItsTail()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("long.log"));
    const QByteArray line(99, 'x');
    QByteArray bytes;
    for (qint64 i = 0; bytes.size() < 3 * LogViewer::kShownTail; ++i)
        bytes += line + '\n';
    bytes += "last\n";
    append(path, bytes);
    LogViewer viewer(path, QStringLiteral("long"));
    const QString shown = child<QPlainTextEdit>(&viewer, "logTextEdit")->toPlainText();
    QVERIFY(shown.size() <= LogViewer::kShownTail);
    QVERIFY(shown.size() > LogViewer::kShownTail - 2 * (line.size() + 1));
    QVERIFY(shown.startsWith(QString::fromLatin1(line + '\n')));
    QVERIFY(shown.endsWith(QStringLiteral("\nlast\n")));
}

QTEST_MAIN(TestLogViewer)
#include "LogViewer.moc"
