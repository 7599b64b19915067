// Cost of one next-run computation in Europe/Berlin, for each trigger kind. The `now`
// of each call walks through 2026 in uneven steps, so both sides of the daylight-saving
// changes and every weekday are covered. The "_in_2040" cases walk through 2040, past the
// changes the zone's file lists, where the zone's closing rule gives the offsets.

#include "scheduler/NextRun.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// 2026-01-05 08:30 UTC, a Monday.
constexpr Instant kStart = 1767601800LL * kNanosPerSecond;

const std::vector<Instant>& Nows()
{
    static const std::vector<Instant> values = [] {
        std::vector<Instant> v(4096);
        // 2 h 8 min 17 s apart: 4096 steps cover about a year.
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = kStart + Instant(i) * 7697 * kNanosPerSecond;
        return v;
    }();
    return values;
}

// 2026-06-01 00:30 in Berlin, a Monday in summer time: in winter time its weekly runs
// fall on Sunday 23:30, and the working-days search runs on to the spring.
constexpr Instant kSummerMidnight = 1780266600LL * kNanosPerSecond;

TaskInfo TaskWith(Trigger trigger, bool workingDays = false, Instant start = kStart)
{
    TaskInfo t;
    t.name = L"bench";
    t.starting_point = start;
    t.trigger = std::move(trigger);
    t.run_only_on_working_days = workingDays;
    return t;
}

// 2040-01-02 08:30 UTC, a Monday, less kStart.
constexpr Instant k2040 = (2209105800LL - 1767601800LL) * kNanosPerSecond;

void NextRun(benchmark::State& state, const TaskInfo& task, Instant shift = 0)
{
    const date::time_zone* zone = date::locate_zone("Europe/Berlin");
    const std::vector<Instant>& at = Nows();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(schedule::NextRun(task, at[i] + shift, zone));
        i = (i + 1) % at.size();
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(NextRun, daily, TaskWith(DailyTrigger{1}));
BENCHMARK_CAPTURE(NextRun, daily_every_3_days, TaskWith(DailyTrigger{3}));
BENCHMARK_CAPTURE(NextRun, daily_working_days, TaskWith(DailyTrigger{1}, true));
BENCHMARK_CAPTURE(NextRun, daily_working_days_every_7_days_from_summer_midnight,
                  TaskWith(DailyTrigger{7}, true, kSummerMidnight));
BENCHMARK_CAPTURE(NextRun, weekly_mon_wed_fri, TaskWith(WeeklyTrigger{1, {1, 3, 5}}));
BENCHMARK_CAPTURE(NextRun, weekly_mon_wed_fri_in_2040, TaskWith(WeeklyTrigger{1, {1, 3, 5}}), k2040);
BENCHMARK_CAPTURE(NextRun, daily_working_days_in_2040, TaskWith(DailyTrigger{1}, true), k2040);
BENCHMARK_CAPTURE(NextRun, weekly_every_2_weeks_mon_wed_fri, TaskWith(WeeklyTrigger{2, {1, 3, 5}}));
BENCHMARK_CAPTURE(NextRun, monthly_1st_and_15th, TaskWith(MonthlyTrigger{1, {}, {1, 15}}));
BENCHMARK_CAPTURE(NextRun, monthly_31st_of_quarter_months, TaskWith(MonthlyTrigger{1, {1, 4, 7, 10}, {31}}));
// The rarest date: up to four years of months are looked at.
BENCHMARK_CAPTURE(NextRun, monthly_29_february, TaskWith(MonthlyTrigger{1, {2}, {29}}));

BENCHMARK_MAIN();
