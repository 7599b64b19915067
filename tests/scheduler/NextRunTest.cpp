#include "scheduler/NextRun.h"
#include "scheduler/LocalZone.h"

#include <QtTest>

#include <date/date.h>

namespace {

// The absolute instant of a local wall-clock time in `zone` (which must be unique).
Instant local(const char* zoneName, int y, unsigned mo, unsigned d, int h, int mi, int s = 0)
{
    const auto* zone = date::locate_zone(zoneName);
    const auto lt = date::local_days{date::year{y} / mo / d} + std::chrono::hours{h} + std::chrono::minutes{mi} +
                    std::chrono::seconds{s};
    const auto sys = zone->to_sys(lt);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sys.time_since_epoch()).count();
}

QString show(Instant t, const char* zoneName)
{
    if (t == kNeverInstant)
        return QStringLiteral("never");
    const auto* zone = date::locate_zone(zoneName);
    const auto zt = date::make_zoned(zone, date::sys_time<std::chrono::nanoseconds>{std::chrono::nanoseconds{t}});
    const auto offset = zt.get_info().offset;
    return QString::fromStdString(date::format("%F %T", date::floor<std::chrono::seconds>(zt.get_local_time()))) +
           QStringLiteral(" %1").arg(offset.count() / 60);
}

TaskInfo makeDaily(Instant start, std::int64_t interval, bool workingDays = false)
{
    TaskInfo t;
    t.starting_point = start;
    t.trigger = DailyTrigger{interval};
    t.run_only_on_working_days = workingDays;
    return t;
}

TaskInfo makeWeekly(Instant start, std::int64_t interval, std::set<Weekday> days)
{
    TaskInfo t;
    t.starting_point = start;
    t.trigger = WeeklyTrigger{interval, std::move(days)};
    return t;
}

} // namespace

class NextRunTest : public QObject
{
    Q_OBJECT

private slots:
    void beforeTheStartRunsAtTheStart()
    {
        const auto* utc = date::locate_zone("Etc/UTC");
        const Instant start = local("Etc/UTC", 2026, 1, 7, 10, 0); // a Wednesday
        QCOMPARE(schedule::NextRun(makeWeekly(start, 1, {1}), start - 1, utc), start);
        QCOMPARE(schedule::NextRun(makeDaily(start, 1, true), start - 1, utc), start);
        QCOMPARE(schedule::NextRun(makeDaily(start, 1), start, utc), start + 86400 * kNanosPerSecond);
    }

    void daily_data()
    {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<Instant>("start");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("workingDays");
        QTest::addColumn<Instant>("now");
        QTest::addColumn<Instant>("expected");
        const Instant fri9 = local("Europe/Berlin", 2026, 1, 9, 9, 0);
        QTest::newRow("working days skip the weekend")
            << "Europe/Berlin" << fri9 << 1 << true << local("Europe/Berlin", 2026, 1, 9, 10, 0)
            << local("Europe/Berlin", 2026, 1, 12, 9, 0);
        const Instant mon8 = local("Europe/Berlin", 2026, 1, 5, 8, 0);
        QTest::newRow("interval 2 skips Sunday for Tuesday")
            << "Europe/Berlin" << mon8 << 2 << true << local("Europe/Berlin", 2026, 1, 9, 8, 0)
            << local("Europe/Berlin", 2026, 1, 13, 8, 0);
        QTest::newRow("refused flag is ignored, so it ends")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 1, 10, 8, 0) << 7 << true
            << local("Europe/Berlin", 2026, 1, 10, 9, 0) << local("Europe/Berlin", 2026, 1, 17, 8, 0);
        // Absolute spacing across the autumn change: 09:00 summer time becomes 08:00 winter time.
        QTest::newRow("daily keeps absolute spacing across DST")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 10, 20, 9, 0) << 1 << false
            << local("Europe/Berlin", 2026, 10, 25, 10, 0) << local("Europe/Berlin", 2026, 10, 26, 8, 0);
        QTest::newRow("huge interval is never")
            << "Etc/UTC" << Instant(0) << INT_MAX << false << Instant(1) << local("Etc/UTC", 2026, 1, 1, 0, 0);
    }
    void daily()
    {
        QFETCH(QString, zone);
        QFETCH(Instant, start);
        QFETCH(int, interval);
        QFETCH(bool, workingDays);
        QFETCH(Instant, now);
        QFETCH(Instant, expected);
        const auto* z = date::locate_zone(zone.toStdString());
        const Instant got = schedule::NextRun(makeDaily(start, interval, workingDays), now, z);
        if (interval == INT_MAX) {
            QVERIFY(got > expected); // far in the future, never before
            return;
        }
        QCOMPARE(show(got, "Europe/Berlin"), show(expected, "Europe/Berlin"));
    }

    void workingDaysRule_data()
    {
        QTest::addColumn<Instant>("start");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("Saturday, 7") << local("Etc/UTC", 2026, 1, 10, 9, 0) << 7 << false;
        QTest::newRow("Saturday, 14") << local("Etc/UTC", 2026, 1, 10, 9, 0) << 14 << false;
        QTest::newRow("Monday, 7") << local("Etc/UTC", 2026, 1, 5, 9, 0) << 7 << true;
        QTest::newRow("Sunday, 3") << local("Etc/UTC", 2026, 1, 11, 9, 0) << 3 << true;
    }
    void workingDaysRule()
    {
        QFETCH(Instant, start);
        QFETCH(int, interval);
        QFETCH(bool, allowed);
        const auto* utc = date::locate_zone("Etc/UTC");
        QCOMPARE(schedule::CanRunOnlyOnWorkingDays(makeDaily(start, interval), utc), allowed);
        QVERIFY(!schedule::CanRunOnlyOnWorkingDays(makeWeekly(start, 1, {1}), utc));
    }

    void weekly_data()
    {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<Instant>("start");
        QTest::addColumn<int>("interval");
        QTest::addColumn<QList<int>>("days");
        QTest::addColumn<Instant>("now");
        QTest::addColumn<Instant>("expected");
        const Instant wed = local("Europe/Berlin", 2026, 1, 7, 10, 0);
        QTest::newRow("every 2 weeks, Mon+Fri, same week")
            << "Europe/Berlin" << wed << 2 << QList<int>{1, 5} << local("Europe/Berlin", 2026, 1, 7, 11, 0)
            << local("Europe/Berlin", 2026, 1, 9, 10, 0);
        QTest::newRow("every 2 weeks skips the uncounted week")
            << "Europe/Berlin" << wed << 2 << QList<int>{1, 5} << local("Europe/Berlin", 2026, 1, 9, 10, 0) + 1
            << local("Europe/Berlin", 2026, 1, 19, 10, 0);
        QTest::newRow("Sunday closes the week")
            << "Europe/Berlin" << wed << 1 << QList<int>{0} << local("Europe/Berlin", 2026, 1, 12, 9, 0)
            << local("Europe/Berlin", 2026, 1, 18, 10, 0);
        QTest::newRow("weekly keeps the local time across DST")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 10, 19, 9, 0) << 1 << QList<int>{1}
            << local("Europe/Berlin", 2026, 10, 19, 10, 0) << local("Europe/Berlin", 2026, 10, 26, 9, 0);
        // 02:30 does not exist on 2026-03-29 in Berlin or 2026-03-08 in New York.
        QTest::newRow("gap runs when the gap ends (Berlin)")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 3, 22, 2, 30) << 1 << QList<int>{0}
            << local("Europe/Berlin", 2026, 3, 23, 0, 0) << local("Europe/Berlin", 2026, 3, 29, 3, 0);
        QTest::newRow("gap runs when the gap ends (New York)")
            << "America/New_York" << local("America/New_York", 2026, 3, 1, 2, 30) << 1 << QList<int>{0}
            << local("America/New_York", 2026, 3, 2, 0, 0) << local("America/New_York", 2026, 3, 8, 3, 0);
        QTest::newRow("half-hour gap (Lord Howe)")
            << "Australia/Lord_Howe" << local("Australia/Lord_Howe", 2026, 9, 27, 2, 15) << 1 << QList<int>{0}
            << local("Australia/Lord_Howe", 2026, 9, 28, 0, 0) << local("Australia/Lord_Howe", 2026, 10, 4, 2, 30);
        QTest::newRow("empty set is never") << "Etc/UTC" << wed << 1 << QList<int>{} << wed + 1 << kNeverInstant;
        QTest::newRow("no valid weekday is never")
            << "Etc/UTC" << wed << 1 << QList<int>{9} << wed + 1 << kNeverInstant;
    }
    void weekly()
    {
        QFETCH(QString, zone);
        QFETCH(Instant, start);
        QFETCH(int, interval);
        QFETCH(QList<int>, days);
        QFETCH(Instant, now);
        QFETCH(Instant, expected);
        std::set<Weekday> set;
        for (int d : days)
            set.insert(static_cast<Weekday>(d));
        const std::string z = zone.toStdString();
        QCOMPARE(show(schedule::NextRun(makeWeekly(start, interval, set), now, date::locate_zone(z)), z.c_str()),
                 show(expected, z.c_str()));
    }

    // A local time that exists twice runs once, at its first occurrence.
    void overlapRunsOnce_data()
    {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<int>("year");
        QTest::addColumn<int>("month");
        QTest::addColumn<int>("day");
        QTest::newRow("Berlin") << "Europe/Berlin" << 2026 << 10 << 25;
        QTest::newRow("New York") << "America/New_York" << 2026 << 11 << 1;
    }
    void overlapRunsOnce()
    {
        QFETCH(QString, zone);
        QFETCH(int, year);
        QFETCH(int, month);
        QFETCH(int, day);
        const std::string zn = zone.toStdString();
        const auto* z = date::locate_zone(zn);
        // Start one week earlier at 01:30 / 02:30 local, which repeats on the change night.
        const int hour = zone == QStringLiteral("Europe/Berlin") ? 2 : 1;
        const auto changeDay = date::local_days{date::year{year} / unsigned(month) / unsigned(day)};
        const auto toInstant = [z](date::local_seconds t) {
            return std::chrono::duration_cast<std::chrono::nanoseconds>(z->to_sys(t).time_since_epoch()).count();
        };
        const auto timeOfDay = std::chrono::hours{hour} + std::chrono::minutes{30};
        const Instant start = toInstant(changeDay - date::days{7} + timeOfDay);
        TaskInfo t = makeWeekly(start, 1, {0});
        const auto firstLocal = changeDay + std::chrono::hours{hour} + std::chrono::minutes{30};
        const Instant first = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  z->to_sys(firstLocal, date::choose::earliest).time_since_epoch())
                                  .count();
        const Instant second = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   z->to_sys(firstLocal, date::choose::latest).time_since_epoch())
                                   .count();
        QVERIFY(second > first);
        QCOMPARE(schedule::NextRun(t, first - kNanosPerSecond, z), first);
        // After the first occurrence the run has happened: next week, not the repeat.
        const Instant nextWeek = toInstant(changeDay + date::days{7} + timeOfDay);
        QCOMPARE(show(schedule::NextRun(t, first, z), zn.c_str()), show(nextWeek, zn.c_str()));
        QCOMPARE(show(schedule::NextRun(t, first + kNanosPerSecond, z), zn.c_str()), show(nextWeek, zn.c_str()));
    }

    void monthly_data()
    {
        QTest::addColumn<QList<int>>("months");
        QTest::addColumn<QList<int>>("days");
        QTest::addColumn<Instant>("now");
        QTest::addColumn<Instant>("expected");
        const Instant jan15 = local("Europe/Berlin", 2026, 1, 15, 8, 30);
        QTest::newRow("start's day every month")
            << QList<int>{} << QList<int>{} << jan15 << local("Europe/Berlin", 2026, 2, 15, 8, 30);
        QTest::newRow("listed days, missing ones skipped")
            << QList<int>{} << QList<int>{31} << local("Europe/Berlin", 2026, 1, 31, 9, 0)
            << local("Europe/Berlin", 2026, 3, 31, 8, 30);
        QTest::newRow("listed months and days")
            << QList<int>{7, 1} << QList<int>{20, 10} << jan15 << local("Europe/Berlin", 2026, 1, 20, 8, 30);
        QTest::newRow("29 February waits for a leap year")
            << QList<int>{2} << QList<int>{29} << jan15 << local("Europe/Berlin", 2028, 2, 29, 8, 30);
        QTest::newRow("no valid day is never") << QList<int>{2} << QList<int>{30, 31} << jan15 << kNeverInstant;
        QTest::newRow("not before the start")
            << QList<int>{} << QList<int>{1} << jan15 - 30 * 86400 * kNanosPerSecond << jan15;
    }
    void monthly()
    {
        QFETCH(QList<int>, months);
        QFETCH(QList<int>, days);
        QFETCH(Instant, now);
        QFETCH(Instant, expected);
        TaskInfo t;
        t.starting_point = local("Europe/Berlin", 2026, 1, 15, 8, 30);
        MonthlyTrigger m;
        for (int v : months)
            m.months.push_back(static_cast<MonthOfYear>(v));
        for (int v : days)
            m.days.push_back(static_cast<DayOfMonth>(v));
        t.trigger = m;
        const Instant got = schedule::NextRun(t, now, date::locate_zone("Europe/Berlin"));
        QCOMPARE(show(got, "Europe/Berlin"), show(expected, "Europe/Berlin"));
        if (got != kNeverInstant)
            QVERIFY(got > now);
    }

    void tzVariableNamesTheZone()
    {
        QCOMPARE(ZoneFromTzValue(":Europe/Berlin"), date::locate_zone("Europe/Berlin"));
        QCOMPARE(ZoneFromTzValue("America/New_York"), date::locate_zone("America/New_York"));
        QCOMPARE(ZoneFromTzValue("/usr/share/zoneinfo/Asia/Tokyo"), date::locate_zone("Asia/Tokyo"));
        QCOMPARE(ZoneFromTzValue("No/Such_Zone"), nullptr);
        QCOMPARE(ZoneFromTzValue(""), nullptr);
        QCOMPARE(ZoneFromTzValue(nullptr), nullptr);
        QVERIFY(LocalZone() != nullptr);
    }
};

QTEST_GUILESS_MAIN(NextRunTest)
#include "NextRunTest.moc"
