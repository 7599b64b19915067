// The saver writes the newest state once for a burst of changes, tries a failed write again
// on its own, and writes what is pending when it stops.

#include "scheduler/StoreSaver.h"

#include <QtTest>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

class StoreSaverTest : public QObject
{
    Q_OBJECT

private slots:
    void burstIsOneWriteOfTheNewestState()
    {
        std::atomic<int> state{0};
        std::atomic<int> written{-1};
        std::atomic<int> writes{0};
        StoreSaver saver(
            [&] {
                written = state.load();
                ++writes;
                std::this_thread::sleep_for(30ms); // changes go on during the write
                return true;
            },
            50ms, 10s);
        // Two threads change the state 400 times within about 200 ms.
        auto change = [&] {
            for (int i = 0; i < 200; ++i) {
                ++state;
                saver.Request();
                std::this_thread::sleep_for(1ms);
            }
        };
        const auto begun = std::chrono::steady_clock::now();
        std::thread other(change);
        change();
        other.join();
        const auto took = std::chrono::steady_clock::now() - begun;
        saver.Stop();
        QCOMPARE(written.load(), 400);
        // At most one write per delay and write, however slow the machine makes the burst.
        QVERIFY2(writes <= took / 80ms + 2, qPrintable(QString::number(writes)));
    }

    void stopWritesWhatIsPending()
    {
        std::atomic<int> state{1};
        std::atomic<int> written{0};
        StoreSaver saver(
            [&] {
                written = state.load();
                std::this_thread::sleep_for(100ms);
                return true;
            },
            0ms, 10s);
        saver.Request();
        std::this_thread::sleep_for(30ms); // the first write is going on
        ++state;
        saver.Request();
        saver.Stop();
        QCOMPARE(written.load(), 2);
    }

    void failedWriteIsTriedAgain()
    {
        std::atomic<int> writes{0};
        StoreSaver saver([&] { return ++writes > 1; }, 10ms, 100ms);
        saver.Request();
        QTRY_COMPARE_WITH_TIMEOUT(writes.load(), 2, 5000);
        QTest::qWait(300);
        QCOMPARE(writes.load(), 2); // written: nothing more to do
    }
};

QTEST_GUILESS_MAIN(StoreSaverTest)

#include "StoreSaverTest.moc"
