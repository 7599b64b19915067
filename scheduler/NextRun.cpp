#include "scheduler/NextRun.h"

#include "common/FloorDiv.h"
#include "scheduler/LocalZone.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace schedule {
namespace {

using namespace std::chrono;
using Wide = __int128;

constexpr Instant kNanosPerDay = 86'400 * kNanosPerSecond;

// How far ahead the working-days search looks for a run on Monday to Friday. A clock
// change can keep the runs of a weekly period on a weekend day for a whole winter; a
// zone that moves its offset for good can keep them there for ever.
constexpr Wide kWorkingDaySearch = Wide(5 * 366) * kNanosPerDay;
// The search also looks at least this many runs ahead: periods longer than the horizon
// still get two turns through every weekday.
constexpr int kWorkingDaySearchRuns = 14;

// Local day numbers and times of day of every instant fit in 64 bits. Nearly every
// dividend fits too, and 64-bit division is much cheaper than 128-bit division.
Instant FloorDivNarrow(Wide a, Instant b)
{
    if (a < INT64_MIN || a > INT64_MAX)
        return static_cast<Instant>(common::floorDiv(a, Wide(b)));
    return common::floorDiv(static_cast<Instant>(a), b);
}

// Offset of the zone in force at `t`, in nanoseconds (looked up for the whole second at
// or before `t`).
Instant OffsetAt(Instant t, const date::time_zone* zone)
{
    const date::sys_seconds s{seconds{FloorDivNarrow(t, kNanosPerSecond)}};
    return duration_cast<nanoseconds>(ZoneInfo(zone, s).offset).count();
}

// Wide, since an instant near either end of the range plus its offset leaves the range.
Wide LocalOf(Instant t, const date::time_zone* zone)
{
    return Wide(t) + OffsetAt(t, zone);
}

// Weekday of a local day number (day 0 is Thursday, 1970-01-01).
int WeekdayOfDay(Instant day)
{
    return static_cast<int>(((day + 4) % 7 + 7) % 7);
}

// Turns a local instant into an absolute one. A local time in a daylight-saving gap runs
// at the first instant after the gap; one that exists twice runs at its first
// occurrence. Empty when that first occurrence is not after `now`: the run happened.
// `local` lies more than a day before the end of the range, so the result is in it.
std::optional<Instant> ToAbsolute(Wide local, Instant now, const date::time_zone* zone)
{
    const date::local_seconds ls{seconds{FloorDivNarrow(local, kNanosPerSecond)}};
    const date::local_info info = ZoneInfo(zone, ls);
    Wide result;
    switch (info.result) {
    case date::local_info::nonexistent:
        result = duration_cast<nanoseconds>(info.second.begin.time_since_epoch()).count();
        break;
    case date::local_info::ambiguous:
        result = local - duration_cast<nanoseconds>(info.first.offset).count();
        break;
    default:
        result = local - duration_cast<nanoseconds>(info.first.offset).count();
        break;
    }
    if (result <= now)
        return std::nullopt;
    return static_cast<Instant>(result);
}

// The local-time view of a computation: `now` and the start in local time, the start's
// time of day (whole milliseconds) and the local instant a run must come after.
struct LocalFrame
{
    Instant now;
    Wide nowLocal;
    Wide startLocal;
    Instant startDay;
    Instant timeOfDay;
    Wide after;
    const date::time_zone* zone;

    LocalFrame(const TaskInfo& task, Instant at, const date::time_zone* timeZone)
        : now(at)
        , nowLocal(LocalOf(at, timeZone))
        , startLocal(LocalOf(task.starting_point, timeZone))
        , startDay(FloorDivNarrow(startLocal, kNanosPerDay))
        , timeOfDay(FloorDivNarrow(startLocal - Wide(startDay) * kNanosPerDay, kNanosPerMilli) * kNanosPerMilli)
        , after(std::max(nowLocal, startLocal))
        , zone(timeZone)
    {}

    // The run on local day `day` at the start's time of day, when that lies after both
    // `now` and the start. `beyond` turns true for a day past the last representable instant.
    std::optional<Instant> RunOn(Instant day, bool& beyond) const
    {
        const Wide local = Wide(day) * kNanosPerDay + timeOfDay;
        beyond = local > Wide(kNeverInstant) - kNanosPerDay;
        if (beyond || local <= after)
            return std::nullopt;
        return ToAbsolute(local, now, zone);
    }
};

Instant Daily(const TaskInfo& task, const DailyTrigger& trigger, Instant now, const date::time_zone* zone)
{
    if (trigger.repeat_interval <= 0)
        return kNeverInstant;
    const Wide period = Wide(trigger.repeat_interval) * kNanosPerDay;
    const Wide r = (Wide(now) - task.starting_point) % period;
    Wide candidate = Wide(now) + (period - r);
    if (candidate >= kNeverInstant)
        return kNeverInstant;
    // A flag that the rule refuses would never find a working day; it is ignored.
    if (!task.run_only_on_working_days || !CanRunOnlyOnWorkingDays(task, zone))
        return static_cast<Instant>(candidate);
    // Runs on a weekend day are skipped along the grid. When none of the runs within the
    // horizon falls on Monday to Friday, the task never runs: a weekend run is no answer.
    const Wide horizon = candidate + kWorkingDaySearch;
    for (int run = 0;; ++run) {
        const int wd = LocalWeekday(static_cast<Instant>(candidate), zone);
        if (wd != 0 && wd != 6)
            return static_cast<Instant>(candidate);
        if (run + 1 >= kWorkingDaySearchRuns && candidate >= horizon)
            return kNeverInstant;
        candidate += period;
        if (candidate >= kNeverInstant)
            return kNeverInstant;
    }
}

Instant Weekly(const TaskInfo& task, const WeeklyTrigger& trigger, Instant now, const date::time_zone* zone)
{
    const bool anyValidDay =
        std::any_of(trigger.weekdays.begin(), trigger.weekdays.end(), [](Weekday d) { return d <= 6; });
    if (!anyValidDay || trigger.repeat_interval <= 0)
        return kNeverInstant;

    const LocalFrame frame(task, now, zone);
    const Instant nowDay = FloorDivNarrow(frame.nowLocal, kNanosPerDay);
    const Instant startDay = frame.startDay;

    // Counted weeks: the Monday-to-Sunday week that holds the start and every
    // repeat_interval-th week after it. Intervals beyond any reachable date are capped.
    const Instant weeks = std::min<Instant>(trigger.repeat_interval, 1'000'000);
    const Instant period = 7 * weeks;
    Instant base = nowDay - ((nowDay - startDay) % period);
    while (WeekdayOfDay(base) != 1)
        --base;

    // Three periods always hold a candidate after `after` that is not in the past, even
    // when a daylight-saving overlap voids one of them.
    for (int week = 0; week < 3; ++week) {
        const Instant monday = base + week * period;
        for (int d = 0; d < 7; ++d) {
            const Weekday wd = static_cast<Weekday>((d + 1) % 7);
            if (trigger.weekdays.count(wd) == 0)
                continue;
            bool beyond = false;
            if (auto result = frame.RunOn(monday + d, beyond))
                return *result;
            if (beyond)
                return kNeverInstant;
        }
    }
    return kNeverInstant;
}

// Monthly: at the start's local time of day, on each listed day of each listed month
// (every month when none is listed; the start's day of month when no day is listed).
// Days that a month lacks and numbers that name no month or day are skipped; an
// interval below 1 marks a damaged record, which never runs, and otherwise
// repeat_interval takes no part. The first such local time strictly after both `now`
// and the start wins; daylight-saving gaps and overlaps are treated as for the weekly
// trigger.
Instant Monthly(const TaskInfo& task, const MonthlyTrigger& trigger, Instant now, const date::time_zone* zone)
{
    if (trigger.repeat_interval <= 0)
        return kNeverInstant;
    const LocalFrame frame(task, now, zone);
    const date::year_month_day startDate{date::sys_days{date::days{frame.startDay}}};
    std::vector<unsigned> days(trigger.days.begin(), trigger.days.end());
    if (days.empty())
        days.push_back(static_cast<unsigned>(startDate.day()));
    std::sort(days.begin(), days.end());
    days.erase(std::unique(days.begin(), days.end()), days.end());
    bool months[13] = {};
    for (MonthOfYear m : trigger.months)
        if (m >= 1 && m <= 12)
            months[m] = true;
    if (trigger.months.empty())
        std::fill(std::begin(months), std::end(months), true);

    const date::year_month_day fromDate{date::sys_days{date::days{FloorDivNarrow(frame.after, kNanosPerDay)}}};
    date::year_month ym = fromDate.year() / fromDate.month();
    // Twelve years hold every valid day, 29 February included.
    for (int i = 0; i < 12 * 12; ++i, ym += date::months{1}) {
        if (!months[static_cast<unsigned>(ym.month())])
            continue;
        const unsigned last = static_cast<unsigned>((ym / date::last).day());
        for (unsigned d : days) {
            if (d < 1 || d > last)
                continue;
            const Instant day = date::sys_days{ym / date::day{d}}.time_since_epoch().count();
            bool beyond = false;
            if (auto result = frame.RunOn(day, beyond))
                return *result;
            if (beyond)
                return kNeverInstant;
        }
    }
    return kNeverInstant;
}

} // namespace

int LocalWeekday(Instant t, const date::time_zone* zone)
{
    return WeekdayOfDay(FloorDivNarrow(LocalOf(t, zone), kNanosPerDay));
}

Instant NextRun(const TaskInfo& task, Instant now, const date::time_zone* zone)
{
    if (now < task.starting_point)
        return task.starting_point;
    return std::visit(
        [&](const auto& trigger) -> Instant {
            using T = std::decay_t<decltype(trigger)>;
            if constexpr (std::is_same_v<T, DailyTrigger>)
                return Daily(task, trigger, now, zone);
            else if constexpr (std::is_same_v<T, WeeklyTrigger>)
                return Weekly(task, trigger, now, zone);
            else
                return Monthly(task, trigger, now, zone);
        },
        task.trigger);
}

bool CanRunOnlyOnWorkingDays(const TaskInfo& task, const date::time_zone* zone)
{
    const auto* daily = std::get_if<DailyTrigger>(&task.trigger);
    if (daily == nullptr)
        return false;
    const int wd = LocalWeekday(task.starting_point, zone);
    if (wd == 0 || wd == 6)
        return daily->repeat_interval % 7 != 0;
    return true;
}

} // namespace schedule

// TaskInfo's schedule operations live here, beside the time-zone database they need.

Instant TaskInfo::NextRun() const
{
    return NextRun(CurrentInstant());
}

Instant TaskInfo::NextRun(Instant now) const
{
    return schedule::NextRun(*this, now, LocalZone());
}

bool TaskInfo::CanRunOnlyOnWorkingDays() const
{
    return schedule::CanRunOnlyOnWorkingDays(*this, LocalZone());
}

bool TaskInfo::SetRunOnlyOnWorkingDays(bool value)
{
    const bool allowed = CanRunOnlyOnWorkingDays();
    if (allowed)
        run_only_on_working_days = value;
    return allowed;
}
