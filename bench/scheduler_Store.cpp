// Save and load of a store of 10,000 varied tasks, as the program does them (document
// then atomic file write; file read then parse), and the memory a loaded task takes.

#include "bench/scheduler_TaskMix.h"
#include "model/StoreSalvage.h"
#include "model/TaskStoreFile.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <list>
#include <memory>
#include <string>

namespace {

constexpr std::size_t kTasks = 10'000;
// 2026-01-05 08:30 UTC.
constexpr Instant kStart = 1767601800LL * kNanosPerSecond;

std::size_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Forgets the peak resident size, so the next VmHWM is the peak from here on.
void ResetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::size_t PeakResidentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word)
        if (word == "VmHWM:") {
            std::size_t kb = 0;
            status >> kb;
            return kb * 1024;
        }
    return 0;
}

struct Fixture
{
    QTemporaryDir dir;
    std::filesystem::path file;
    std::vector<TaskInfo> tasks;
    std::vector<const TaskInfo*> pointers;

    // With `ran`, every task has run once, failed with a reason and makes up missed runs:
    // the most the kept state adds to a store.
    explicit Fixture(bool ran = false)
        : file(dir.filePath(QStringLiteral("storage.xml")).toStdString())
        , tasks(MakeTaskMix(kTasks, kStart))
    {
        for (TaskInfo& t : tasks) {
            if (ran) {
                t.run_missed = true;
                t.awaited_run = kStart + 86400 * kNanosPerSecond;
                t.last_run = LastRun{kStart, kStart + 90 * kNanosPerSecond, RunOutcome::Failed,
                                     L"Не удалось открыть проект: нет связи с хранилищем"};
            }
            pointers.push_back(&t);
        }
        store::WriteFile(file, store::WriteTasks(pointers));
    }
};

Fixture& PlainFixture()
{
    static Fixture f;
    return f;
}

Fixture& RanFixture()
{
    static Fixture f(true);
    return f;
}

// Save and load of the tasks; `ran` gives every task a failed last run and an awaited run.
void Save(benchmark::State& state, bool ran)
{
    Fixture& f = ran ? RanFixture() : PlainFixture();
    const std::filesystem::path out = f.file.parent_path() / "saved.xml";
    for (auto _ : state) {
        if (!store::WriteFile(out, store::WriteTasks(f.pointers)))
            state.SkipWithError("the store file could not be written");
    }
    state.counters["file_MB"] = double(std::filesystem::file_size(out)) / 1e6;
    state.SetItemsProcessed(state.iterations() * kTasks);
}

void Load(benchmark::State& state, bool ran)
{
    Fixture& f = ran ? RanFixture() : PlainFixture();
    const RunOutcome kept = ran ? RunOutcome::Failed : RunOutcome::None;
    for (auto _ : state) {
        const auto text = store::ReadFile(f.file);
        const auto parsed = store::ParseTasks(*text);
        if (parsed.size() != kTasks || !parsed.back().task || parsed.back().task->last_run.outcome != kept)
            state.SkipWithError("the store did not load every task with its last run");
        benchmark::DoNotOptimize(parsed.data());
    }
    state.SetItemsProcessed(state.iterations() * kTasks);
}

// The two halves of a save and of a load, to show where the time goes.
void SaveDocumentOnly(benchmark::State& state)
{
    Fixture& f = PlainFixture();
    for (auto _ : state)
        benchmark::DoNotOptimize(store::WriteTasks(f.pointers).size());
}

void SaveFileOnly(benchmark::State& state)
{
    Fixture& f = PlainFixture();
    const std::wstring document = store::WriteTasks(f.pointers);
    const std::filesystem::path out = f.file.parent_path() / "saved.xml";
    for (auto _ : state)
        benchmark::DoNotOptimize(store::WriteFile(out, document));
}

void LoadReadOnly(benchmark::State& state)
{
    Fixture& f = PlainFixture();
    for (auto _ : state)
        benchmark::DoNotOptimize(store::ReadFile(f.file)->size());
}

void LoadParseOnly(benchmark::State& state)
{
    Fixture& f = PlainFixture();
    const std::wstring text = *store::ReadFile(f.file);
    for (auto _ : state)
        benchmark::DoNotOptimize(store::ParseTasks(text).size());
}

// A store cut in the middle (a crash of some other writer, a full disk): the whole
// document fails to parse, then every task element is read on its own.
void SalvageCutInTheMiddle(benchmark::State& state)
{
    Fixture& f = PlainFixture();
    std::wstring text = *store::ReadFile(f.file);
    text.resize(text.size() / 2);
    std::size_t whole = 0; // task elements that the cut left complete
    for (std::size_t i = text.find(L"</task>"); i != std::wstring::npos; i = text.find(L"</task>", i + 1))
        ++whole;
    store::Salvage salvage;
    for (auto _ : state) {
        salvage = store::SalvageTasks(text);
        benchmark::DoNotOptimize(salvage.tasks.data());
    }
    if (salvage.Whole() || salvage.Recovered() != whole || salvage.Dropped() != 1)
        state.SkipWithError("the salvage did not recover every complete task");
    state.counters["recovered"] = double(salvage.Recovered());
    state.counters["dropped"] = double(salvage.Dropped());
}

// What the loaded tasks keep once the load is over, held as the service holds them.
// Measured before any benchmark runs, on a heap that has seen only the fixture.
void ReportMemory()
{
    const std::filesystem::path file = PlainFixture().file;
    malloc_trim(0);
    const std::size_t rss0 = ResidentBytes();
    const std::size_t heap0 = HeapInUse();
    ResetPeak();

    std::list<std::unique_ptr<TaskInfo>> held;
    {
        const auto text = store::ReadFile(file);
        auto parsed = store::ParseTasks(*text);
        for (auto& p : parsed)
            if (p.task)
                held.push_back(std::make_unique<TaskInfo>(std::move(*p.task)));
    }
    const std::size_t peak = PeakResidentBytes();
    malloc_trim(0);
    const std::size_t rss1 = ResidentBytes();
    const std::size_t heap1 = HeapInUse();

    const double n = double(held.size());
    std::printf("Memory of %zu loaded tasks (store file %.2f MB):\n", held.size(),
                double(std::filesystem::file_size(file)) / 1e6);
    std::printf("  resident set growth, /proc/self/statm:  %8.0f bytes per task (%.1f MB in all)\n",
                double(rss1) - double(rss0) > 0 ? (double(rss1) - double(rss0)) / n : 0.0,
                (double(rss1) - double(rss0)) / 1e6);
    std::printf("  heap in use growth, mallinfo2:          %8.0f bytes per task (%.1f MB in all)\n",
                (double(heap1) - double(heap0)) / n, (double(heap1) - double(heap0)) / 1e6);
    std::printf("  peak resident during the load, above the start: %.1f MB\n",
                peak > rss0 ? double(peak - rss0) / 1e6 : 0.0);
    std::printf("  sizeof(TaskInfo) = %zu bytes\n\n", sizeof(TaskInfo));
}

} // namespace

BENCHMARK_CAPTURE(Save, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Load, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Save, withKeptState, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Load, withKeptState, true)->Unit(benchmark::kMillisecond);
BENCHMARK(SaveDocumentOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(SaveFileOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadReadOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(SalvageCutInTheMiddle)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ReportMemory();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
