#include "scheduler/NextRun.h"
#include "scheduler/LocalZone.h"

#include <QProcess>
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

// The instant that the system's own `date` gives for a local time in `zone`. The C library
// applies the rule at the end of the zone's file past its last listed change.
Instant systemLocal(const char* zoneName, const char* localTime)
{
    QProcess date;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), QString::fromLatin1(zoneName));
    date.setProcessEnvironment(environment);
    date.start(QStringLiteral("date"), {QStringLiteral("-d"), QString::fromLatin1(localTime), QStringLiteral("+%s")});
    bool ok = date.waitForFinished(10000) && date.exitCode() == 0;
    const Instant seconds = date.readAllStandardOutput().trimmed().toLongLong(&ok);
    if (!ok)
        qFatal("date cannot convert %s in %s", localTime, zoneName);
    return seconds * kNanosPerSecond;
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

// The local calendar view of an instant, at whole seconds (no arithmetic in nanoseconds,
// so it holds at both ends of the range).
struct LocalParts
{
    unsigned weekday; // 0 = Sunday
    unsigned dayOfMonth;
    std::int64_t secondOfDay;
};

LocalParts localParts(Instant t, const date::time_zone* zone)
{
    using namespace std::chrono;
    const date::sys_seconds s = date::floor<seconds>(date::sys_time<nanoseconds>{nanoseconds{t}});
    const date::local_seconds l = zone->to_local(s);
    const date::local_days d = date::floor<date::days>(l);
    return {date::weekday{d}.c_encoding(), unsigned(date::year_month_day{d}.day()), (l - d).count()};
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
        QTest::addColumn<qint64>("interval");
        QTest::addColumn<bool>("workingDays");
        QTest::addColumn<Instant>("now");
        QTest::addColumn<Instant>("expected");
        const Instant fri9 = local("Europe/Berlin", 2026, 1, 9, 9, 0);
        QTest::newRow("working days skip the weekend")
            << "Europe/Berlin" << fri9 << qint64(1) << true << local("Europe/Berlin", 2026, 1, 9, 10, 0)
            << local("Europe/Berlin", 2026, 1, 12, 9, 0);
        const Instant mon8 = local("Europe/Berlin", 2026, 1, 5, 8, 0);
        QTest::newRow("interval 2 skips Sunday for Tuesday")
            << "Europe/Berlin" << mon8 << qint64(2) << true << local("Europe/Berlin", 2026, 1, 9, 8, 0)
            << local("Europe/Berlin", 2026, 1, 13, 8, 0);
        QTest::newRow("refused flag is ignored, so it ends")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 1, 10, 8, 0) << qint64(7) << true
            << local("Europe/Berlin", 2026, 1, 10, 9, 0) << local("Europe/Berlin", 2026, 1, 17, 8, 0);
        // Absolute spacing across the autumn change: 09:00 summer time becomes 08:00 winter time.
        QTest::newRow("daily keeps absolute spacing across DST")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 10, 20, 9, 0) << qint64(1) << false
            << local("Europe/Berlin", 2026, 10, 25, 10, 0) << local("Europe/Berlin", 2026, 10, 26, 8, 0);
        // Monday 00:30 summer time is Sunday 23:30 all winter: the runs wait for spring.
        QTest::newRow("weekly period kept off Sunday by winter time")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 6, 1, 0, 30) << qint64(7) << true
            << local("Europe/Berlin", 2026, 10, 26, 12, 0) << local("Europe/Berlin", 2027, 3, 29, 0, 30);
        // Moscow left +4 for +3 for good in October 2014: every later run is a Sunday.
        QTest::newRow("no working day ever again is never")
            << "Europe/Moscow" << local("Europe/Moscow", 2014, 10, 20, 0, 30) << qint64(7) << true
            << local("Europe/Moscow", 2014, 10, 27, 12, 0) << kNeverInstant;
        // 2003 days step the weekday by one: Saturday, Sunday, then Monday, 16 years on.
        QTest::newRow("periods longer than the horizon still reach a working day")
            << "Europe/Berlin" << fri9 << qint64(2003) << true << fri9 + 1 << fri9 + 3 * 2003 * 86400 * kNanosPerSecond;
        // Past the changes a zone's file lists (2037), its closing rule goes on.
        QTest::newRow("after 2037: kept off Sunday by winter time (Berlin)")
            << "Europe/Berlin" << systemLocal("Europe/Berlin", "2038-06-07 00:30") << qint64(7) << true
            << systemLocal("Europe/Berlin", "2038-11-01 12:00") << systemLocal("Europe/Berlin", "2039-03-28 00:30");
        QTest::newRow("after 2037: kept off Sunday by winter time (Sydney)")
            << "Australia/Sydney" << systemLocal("Australia/Sydney", "2039-01-03 00:30") << qint64(7) << true
            << systemLocal("Australia/Sydney", "2039-04-04 12:00")
            << systemLocal("Australia/Sydney", "2039-10-03 00:30");
        QTest::newRow("huge interval is never")
            << "Etc/UTC" << Instant(0) << qint64(INT64_MAX) << false << Instant(1) << kNeverInstant;
        QTest::newRow("zero interval is never")
            << "Etc/UTC" << Instant(0) << qint64(0) << true << Instant(1) << kNeverInstant;
        QTest::newRow("negative interval is never")
            << "Etc/UTC" << Instant(0) << qint64(INT64_MIN) << false << Instant(1) << kNeverInstant;
    }
    void daily()
    {
        QFETCH(QString, zone);
        QFETCH(Instant, start);
        QFETCH(qint64, interval);
        QFETCH(bool, workingDays);
        QFETCH(Instant, now);
        QFETCH(Instant, expected);
        const std::string z = zone.toStdString();
        const Instant got = schedule::NextRun(makeDaily(start, interval, workingDays), now, date::locate_zone(z));
        QCOMPARE(show(got, z.c_str()), show(expected, z.c_str()));
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
        QTest::addColumn<qint64>("interval");
        QTest::addColumn<QList<int>>("days");
        QTest::addColumn<Instant>("now");
        QTest::addColumn<Instant>("expected");
        const Instant wed = local("Europe/Berlin", 2026, 1, 7, 10, 0);
        QTest::newRow("every 2 weeks, Mon+Fri, same week")
            << "Europe/Berlin" << wed << qint64(2) << QList<int>{1, 5} << local("Europe/Berlin", 2026, 1, 7, 11, 0)
            << local("Europe/Berlin", 2026, 1, 9, 10, 0);
        QTest::newRow("every 2 weeks skips the uncounted week")
            << "Europe/Berlin" << wed << qint64(2) << QList<int>{1, 5} << local("Europe/Berlin", 2026, 1, 9, 10, 0) + 1
            << local("Europe/Berlin", 2026, 1, 19, 10, 0);
        QTest::newRow("Sunday closes the week")
            << "Europe/Berlin" << wed << qint64(1) << QList<int>{0} << local("Europe/Berlin", 2026, 1, 12, 9, 0)
            << local("Europe/Berlin", 2026, 1, 18, 10, 0);
        QTest::newRow("weekly keeps the local time across DST")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 10, 19, 9, 0) << qint64(1) << QList<int>{1}
            << local("Europe/Berlin", 2026, 10, 19, 10, 0) << local("Europe/Berlin", 2026, 10, 26, 9, 0);
        // 02:30 does not exist on 2026-03-29 in Berlin or 2026-03-08 in New York.
        QTest::newRow("gap runs when the gap ends (Berlin)")
            << "Europe/Berlin" << local("Europe/Berlin", 2026, 3, 22, 2, 30) << qint64(1) << QList<int>{0}
            << local("Europe/Berlin", 2026, 3, 23, 0, 0) << local("Europe/Berlin", 2026, 3, 29, 3, 0);
        QTest::newRow("gap runs when the gap ends (New York)")
            << "America/New_York" << local("America/New_York", 2026, 3, 1, 2, 30) << qint64(1) << QList<int>{0}
            << local("America/New_York", 2026, 3, 2, 0, 0) << local("America/New_York", 2026, 3, 8, 3, 0);
        QTest::newRow("half-hour gap (Lord Howe)")
            << "Australia/Lord_Howe" << local("Australia/Lord_Howe", 2026, 9, 27, 2, 15) << qint64(1) << QList<int>{0}
            << local("Australia/Lord_Howe", 2026, 9, 28, 0, 0) << local("Australia/Lord_Howe", 2026, 10, 4, 2, 30);
        QTest::newRow("after 2037: summer time (Berlin)")
            << "Europe/Berlin" << systemLocal("Europe/Berlin", "2038-01-04 10:00") << qint64(1) << QList<int>{1}
            << systemLocal("Europe/Berlin", "2038-06-01 00:00") << systemLocal("Europe/Berlin", "2038-06-07 10:00");
        QTest::newRow("after 2037: far ahead (Berlin)")
            << "Europe/Berlin" << systemLocal("Europe/Berlin", "2038-01-04 10:00") << qint64(1) << QList<int>{1}
            << systemLocal("Europe/Berlin", "2200-07-01 00:00") << systemLocal("Europe/Berlin", "2200-07-07 10:00");
        QTest::newRow("after 2037: gap (New York)")
            << "America/New_York" << systemLocal("America/New_York", "2040-03-04 02:30") << qint64(1) << QList<int>{0}
            << systemLocal("America/New_York", "2040-03-05 00:00")
            << systemLocal("America/New_York", "2040-03-11 03:00");
        QTest::newRow("after 2037: gap (Sydney)")
            << "Australia/Sydney" << systemLocal("Australia/Sydney", "2039-09-25 02:30") << qint64(1) << QList<int>{0}
            << systemLocal("Australia/Sydney", "2039-09-26 00:00")
            << systemLocal("Australia/Sydney", "2039-10-02 03:00");
        QTest::newRow("after 2037: overlap runs at its first occurrence (Sydney)")
            << "Australia/Sydney" << systemLocal("Australia/Sydney", "2039-03-27 02:30") << qint64(1) << QList<int>{0}
            << systemLocal("Australia/Sydney", "2039-03-28 00:00")
            << systemLocal("Australia/Sydney", "2039-04-03 02:30 +1100");
        QTest::newRow("empty set is never")
            << "Etc/UTC" << wed << qint64(1) << QList<int>{} << wed + 1 << kNeverInstant;
        QTest::newRow("no valid weekday is never")
            << "Etc/UTC" << wed << qint64(1) << QList<int>{9, 7, 255} << wed + 1 << kNeverInstant;
        QTest::newRow("valid weekday among invalid ones")
            << "Etc/UTC" << wed << qint64(1) << QList<int>{200, 4, 7} << wed + 1 << wed + 86400 * kNanosPerSecond;
        QTest::newRow("zero interval is never")
            << "Etc/UTC" << wed << qint64(0) << QList<int>{4} << wed + 1 << kNeverInstant;
        QTest::newRow("negative interval is never")
            << "Etc/UTC" << wed << qint64(INT64_MIN) << QList<int>{4} << wed + 1 << kNeverInstant;
    }
    void weekly()
    {
        QFETCH(QString, zone);
        QFETCH(Instant, start);
        QFETCH(qint64, interval);
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
        QTest::addColumn<qint64>("interval");
        QTest::addColumn<Instant>("now");
        QTest::addColumn<Instant>("expected");
        const Instant jan15 = local("Europe/Berlin", 2026, 1, 15, 8, 30);
        QTest::newRow("start's day every month")
            << QList<int>{} << QList<int>{} << qint64(1) << jan15 << local("Europe/Berlin", 2026, 2, 15, 8, 30);
        QTest::newRow("listed days, missing ones skipped")
            << QList<int>{} << QList<int>{31} << qint64(1) << local("Europe/Berlin", 2026, 1, 31, 9, 0)
            << local("Europe/Berlin", 2026, 3, 31, 8, 30);
        QTest::newRow("listed months and days") << QList<int>{7, 1} << QList<int>{20, 10} << qint64(1) << jan15
                                                << local("Europe/Berlin", 2026, 1, 20, 8, 30);
        QTest::newRow("29 February waits for a leap year")
            << QList<int>{2} << QList<int>{29} << qint64(1) << jan15 << local("Europe/Berlin", 2028, 2, 29, 8, 30);
        QTest::newRow("no valid day is never")
            << QList<int>{2} << QList<int>{30, 31} << qint64(1) << jan15 << kNeverInstant;
        QTest::newRow("not before the start")
            << QList<int>{} << QList<int>{1} << qint64(1) << jan15 - 30 * 86400 * kNanosPerSecond << jan15;
        QTest::newRow("valid numbers among invalid ones")
            << QList<int>{13, 0, 3, 255} << QList<int>{0, 40, 20} << qint64(1) << jan15
            << local("Europe/Berlin", 2026, 3, 20, 8, 30);
        QTest::newRow("only invalid days is never")
            << QList<int>{} << QList<int>{0, 32, 255} << qint64(1) << jan15 << kNeverInstant;
        QTest::newRow("only invalid months is never")
            << QList<int>{0, 13} << QList<int>{} << qint64(1) << jan15 << kNeverInstant;
        QTest::newRow("zero interval is never") << QList<int>{} << QList<int>{} << qint64(0) << jan15 << kNeverInstant;
    }
    void monthly()
    {
        QFETCH(QList<int>, months);
        QFETCH(QList<int>, days);
        QFETCH(qint64, interval);
        QFETCH(Instant, now);
        QFETCH(Instant, expected);
        TaskInfo t;
        t.starting_point = local("Europe/Berlin", 2026, 1, 15, 8, 30);
        MonthlyTrigger m;
        m.repeat_interval = interval;
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

    // Instants at both ends of the range, in zones whose offsets push local times past
    // them. Every trigger answers after `now` (or never) and within its period where a
    // run exists; the sanitizer build checks that no arithmetic overflows on the way.
    void extremeInstants_data()
    {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<Instant>("start");
        QTest::addColumn<Instant>("now");
        const Instant day = 86400 * kNanosPerSecond;
        for (const char* zone : {"Pacific/Kiritimati", "Pacific/Pago_Pago", "Europe/Berlin", "Etc/UTC"}) {
            const auto row = [zone](const char* what) {
                return &QTest::newRow(
                    qPrintable(QStringLiteral("%1, %2").arg(QLatin1String(zone), QLatin1String(what))));
            };
            *row("start and now at the lower end") << QString::fromLatin1(zone) << INT64_MIN << INT64_MIN;
            *row("start at the lower end, now 1970") << QString::fromLatin1(zone) << INT64_MIN << Instant(0);
            *row("start at the lower end, now at the upper end") << QString::fromLatin1(zone) << INT64_MIN << INT64_MAX;
            *row("start and now in the last day")
                << QString::fromLatin1(zone) << INT64_MAX - day << INT64_MAX - day / 2;
            *row("start and now at the upper end") << QString::fromLatin1(zone) << INT64_MAX << INT64_MAX;
            *row("start 1970, now at the upper end") << QString::fromLatin1(zone) << Instant(0) << INT64_MAX - 1;
            *row("start 1970, now in the last two months")
                << QString::fromLatin1(zone) << Instant(0) << INT64_MAX - 60 * day;
        }
    }
    void extremeInstants()
    {
        QFETCH(QString, zone);
        QFETCH(Instant, start);
        QFETCH(Instant, now);
        const auto* z = date::locate_zone(zone.toStdString());
        const Instant day = 86400 * kNanosPerSecond;
        const Instant slack = 2 * 3600 * kNanosPerSecond;
        // Close to the upper end the zone's offset can carry a run past it.
        const bool roomAhead = now < INT64_MAX - 70 * day;
        const LocalParts startParts = localParts(start, z);
        TaskInfo monthly = makeDaily(start, 1);
        monthly.trigger = MonthlyTrigger{1, {}, {1}};
        const struct
        {
            const char* name;
            TaskInfo task;
            Instant within; // a run follows `now` within this long, where there is room
        } cases[] = {
            {"daily", makeDaily(start, 1), day},
            {"daily, working days", makeDaily(start, 1, true), 3 * day + slack},
            {"weekly", makeWeekly(start, 1, {1, 3, 5}), 3 * day + slack},
            {"monthly", monthly, 32 * day},
        };
        for (const auto& c : cases) {
            const Instant got = schedule::NextRun(c.task, now, z);
            if (now < start) {
                QCOMPARE(got, start);
                continue;
            }
            QVERIFY2(got > now || got == kNeverInstant, c.name);
            if (!roomAhead)
                continue;
            QVERIFY2(got != kNeverInstant && got - now <= c.within, c.name);
            // Daily runs keep to the grid of whole days from the start; the others keep
            // the start's local time of day on the days their rule names.
            const LocalParts parts = localParts(got, z);
            if (std::holds_alternative<DailyTrigger>(c.task.trigger))
                QVERIFY2((__int128(got) - start) % day == 0, c.name);
            else
                QCOMPARE(parts.secondOfDay, startParts.secondOfDay);
            if (c.task.run_only_on_working_days)
                QVERIFY2(parts.weekday != 0 && parts.weekday != 6, c.name);
            if (std::holds_alternative<WeeklyTrigger>(c.task.trigger))
                QVERIFY2(parts.weekday % 2 == 1, c.name); // Monday, Wednesday or Friday
            if (std::holds_alternative<MonthlyTrigger>(c.task.trigger))
                QCOMPARE(parts.dayOfMonth, 1u);
        }
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
