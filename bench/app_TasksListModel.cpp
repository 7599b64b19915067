// Cost of what the list asks its model for while it paints and scrolls.

#include "app/TasksListModel.h"
#include "scheduler/TaskStorage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

TaskInfo WeeklyTask()
{
    TaskInfo task;
    task.name = L"Экспорт в DWG";
    task.starting_point = QDateTime(QDate(2026, 3, 2), QTime(8, 30)).toMSecsSinceEpoch() * kNanosPerMilli;
    WeeklyTrigger weekly;
    weekly.repeat_interval = 2;
    weekly.weekdays = {1, 3, 5};
    task.trigger = weekly;
    return task;
}

void BM_TriggerDescriptionWeekly(benchmark::State& state)
{
    const TaskInfo task = WeeklyTask();
    for (auto _ : state)
        benchmark::DoNotOptimize(TasksListModel::triggerDescription(task));
}
BENCHMARK(BM_TriggerDescriptionWeekly);

void BM_TriggerDescriptionDaily(benchmark::State& state)
{
    TaskInfo task = WeeklyTask();
    task.trigger = DailyTrigger{22};
    for (auto _ : state)
        benchmark::DoNotOptimize(TasksListModel::triggerDescription(task));
}
BENCHMARK(BM_TriggerDescriptionDaily);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
