// The failure notices decided without a display, on a clock the test sets: bursts, the
// summary, and which failures stay unread across starts.

#include "app/FailureNotices.h"

#include <QtTest>

#include <array>

class FailureNoticesTest : public QObject
{
    Q_OBJECT

private:
    qint64 now_ = 0;
    std::array<TaskInfo, 5> tasks_;
    FailureNotices make()
    {
        return FailureNotices([this] { return now_; });
    }
    static QString nameOf(const TaskInfo* task) { return QString::fromStdWString(task->name); }
    static bool stored(const TaskInfo* task) { return !task->name.empty(); }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("KalvorTest"));
        for (std::size_t i = 0; i < tasks_.size(); ++i)
            tasks_[i].name = std::wstring(1, wchar_t(L'А' + i));
    }

    // Failures at these instants (ms) make the notice due at `due`: quiet for a while
    // after the last one, but never later than the limit after the first.
    void burst_data()
    {
        QTest::addColumn<QList<qint64>>("failures");
        QTest::addColumn<qint64>("due");
        QTest::newRow("one") << QList<qint64>{100} << qint64(2100);
        QTest::newRow("a second one waits again") << QList<qint64>{0, 1500} << qint64(3500);
        QTest::newRow("no longer than the limit")
            << QList<qint64>{0, 1500, 3000, 4500, 6000, 7500, 9000} << qint64(10000);
        QTest::newRow("past the limit: at once")
            << QList<qint64>{0, 1900, 3800, 5700, 7600, 9500, 11000} << qint64(11000);
    }
    void burst()
    {
        QFETCH(QList<qint64>, failures);
        QFETCH(qint64, due);
        FailureNotices notices = make();
        QVERIFY(!notices.DueAt());
        for (int i = 0; i < failures.size(); ++i) {
            now_ = failures[i];
            notices.RunEnded(&tasks_[std::size_t(i % 5)], false, QStringLiteral("причина"));
        }
        QCOMPARE(notices.DueAt(), std::optional<qint64>(due));
        QVERIFY(notices.TakeNotice(stored, nameOf));
        // The next failure starts a burst of its own.
        notices.RunEnded(&tasks_[0], false, QString());
        QCOMPARE(notices.DueAt(), std::optional<qint64>(now_ + FailureNotices::kBurstQuietMs));
    }

    void notice_data()
    {
        QTest::addColumn<QList<int>>("failed");
        QTest::addColumn<int>("named");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("one, with its last reason")
            << QList<int>{1, 1} << 1 << QStringLiteral("Задача «Б» не выполнена") << QStringLiteral("причина 1");
        QTest::newRow("two") << QList<int>{2, 0} << -1 << QStringLiteral("Не выполнено задач: 2")
                             << QStringLiteral("«В», «А»");
        QTest::newRow("five name three") << QList<int>{0, 1, 2, 3, 4} << -1 << QStringLiteral("Не выполнено задач: 5")
                                         << QStringLiteral("«А», «Б», «В» и ещё 2");
        QTest::newRow("a removed task is left out")
            << QList<int>{0, -1} << 0 << QStringLiteral("Задача «А» не выполнена") << QStringLiteral("причина 0");
    }
    void notice()
    {
        QFETCH(QList<int>, failed);
        QFETCH(int, named);
        QFETCH(QString, title);
        QFETCH(QString, text);
        FailureNotices notices = make();
        TaskInfo removed; // no name: no longer stored
        for (int i = 0; i < failed.size(); ++i) {
            const TaskInfo* task = failed[i] < 0 ? &removed : &tasks_[std::size_t(failed[i])];
            notices.RunEnded(task, false, QStringLiteral("причина %1").arg(i));
        }
        const auto shown = notices.TakeNotice(stored, nameOf);
        QVERIFY(shown);
        QCOMPARE(shown->task, named < 0 ? nullptr : &tasks_[std::size_t(named)]);
        QCOMPARE(shown->title, title);
        QCOMPARE(shown->text, text);
        QVERIFY(!notices.DueAt());
        QVERIFY(!notices.TakeNotice(stored, nameOf));
    }

    // A failure stays unread until its log is opened or a run succeeds; an opened log
    // is remembered at the next start, a failure of another run is not.
    void unreadFailures()
    {
        LastRun failedRun;
        failedRun.outcome = RunOutcome::Failed;
        failedRun.started = 42;
        {
            FailureNotices notices = make();
            notices.Restore(&tasks_[0], failedRun);
            notices.Restore(&tasks_[1], failedRun);
            notices.Restore(&tasks_[2], LastRun{});
            QCOMPARE(notices.UnreadCount(), std::size_t(2));
            QVERIFY(notices.LogOpened(&tasks_[0], failedRun));
            QVERIFY(notices.RunEnded(&tasks_[1], true, QString()));
            QCOMPARE(notices.UnreadCount(), std::size_t(0));
            QVERIFY(notices.RunEnded(&tasks_[3], false, QString()));
            QVERIFY(!notices.Prune([this](const TaskInfo* task) { return task != &tasks_[4]; }));
            QVERIFY(notices.Prune([this](const TaskInfo* task) { return task != &tasks_[3]; }));
        }
        FailureNotices later = make();
        later.Restore(&tasks_[0], failedRun);
        QCOMPARE(later.UnreadCount(), std::size_t(0));
        failedRun.started = 43;
        later.Restore(&tasks_[0], failedRun);
        QCOMPARE(later.UnreadCount(), std::size_t(1));
    }
};

QTEST_GUILESS_MAIN(FailureNoticesTest)
#include "FailureNoticesTest.moc"
