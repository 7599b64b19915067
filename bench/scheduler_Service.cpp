// The task storage service at scale: a store of 10,000 and 20,000 tasks loaded and armed at
// construction, and one AddTask (with its save) while 1,000 tasks are stored. Tasks start
// a year ahead, so no timer fires while the benchmark runs.

#include "bench/scheduler_TaskMix.h"
#include "model/TaskStoreFile.h"
#include "scheduler/TaskStorage.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

namespace {

constexpr Instant kYear = 365LL * 86'400 * kNanosPerSecond;

std::size_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Counted through /proc/self/fd, which itself needs a free descriptor: -1 when none is left.
long OpenDescriptors()
{
    std::error_code ec;
    long count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec))
        ++count;
    return ec ? -1 : count;
}

// A store file of `count` varied tasks in a directory of its own, with a log directory beside it.
struct Places
{
    QTemporaryDir dir;
    std::filesystem::path store;
    std::filesystem::path logs;

    explicit Places(std::size_t count)
        : store(dir.filePath(QStringLiteral("storage.xml")).toStdString())
        , logs(dir.filePath(QStringLiteral("logs")).toStdString())
    {
        const std::vector<TaskInfo> tasks = MakeTaskMix(count, CurrentInstant() + kYear);
        std::vector<const TaskInfo*> pointers;
        for (const TaskInfo& t : tasks)
            pointers.push_back(&t);
        store::WriteFile(store, store::WriteTasks(pointers));
    }
};

// Construction of the service on a store of range(0) tasks. range(1) = 1: a first start,
// every log file is created; 0: a later start, the log files are there already.
void LoadAndArm(benchmark::State& state)
{
    const std::size_t count = static_cast<std::size_t>(state.range(0));
    const bool freshLogs = state.range(1) != 0;
    Places places(count);
    const auto core = vadro::CreateCore();
    if (!freshLogs)
        TaskStorage(places.store, places.logs, core);
    int run = 0;
    for (auto _ : state) {
        const std::filesystem::path logs = freshLogs ? places.logs / std::to_string(run++) : places.logs;
        const auto begin = std::chrono::steady_clock::now();
        auto service = std::make_unique<TaskStorage>(places.store, logs, core);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        if (service->Tasks().size() != count)
            state.SkipWithError("the service did not load every task");
        service.reset();
        if (freshLogs)
            std::filesystem::remove_all(logs);
    }
}

void AddTask(benchmark::State& state)
{
    Places places(static_cast<std::size_t>(state.range(0)));
    TaskStorage service(places.store, places.logs, vadro::CreateCore());
    const TaskInfo added = MakeTaskMix(1, CurrentInstant() + kYear).front();
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        const TaskInfo* stored = service.AddTask(added);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        service.RemoveTask(stored);
    }
}

// Resident size and descriptors of a service holding 10,000 tasks, measured before any
// benchmark has run.
void ReportMemory()
{
    Places places(10'000);
    const auto core = vadro::CreateCore();
    malloc_trim(0);
    const std::size_t rss0 = ResidentBytes();
    const long fds0 = OpenDescriptors();
    {
        TaskStorage service(places.store, places.logs, core);
        const std::size_t rss1 = ResidentBytes();
        const long fds1 = OpenDescriptors();
        // The load's transient parse tree is freed but its pages may stay with the allocator.
        malloc_trim(0);
        const std::size_t rss2 = ResidentBytes();
        std::printf("A service holding %zu tasks:\n", service.Tasks().size());
        if (rss1 == 0 || rss2 == 0) {
            std::printf("  resident set: unreadable, no descriptor left to open /proc/self/statm\n");
        } else {
            std::printf("  resident set of the process: %.1f MB (%.1f MB more than before its construction)\n",
                        double(rss1) / 1e6, (double(rss1) - double(rss0)) / 1e6);
            std::printf("  resident set after malloc_trim: %.1f MB (%.1f MB more than before its construction)\n",
                        double(rss2) / 1e6, (double(rss2) - double(rss0)) / 1e6);
        }
        std::printf("  open file descriptors: %ld (%ld before its construction; -1: none left to count with)\n", fds1,
                    fds0);
    }
    // A log file exists once it was opened; the count is taken after the service let its
    // descriptors go.
    std::error_code ec;
    long logFiles = 0;
    for (std::filesystem::directory_iterator it(places.logs, ec), end; !ec && it != end; it.increment(ec))
        ++logFiles;
    struct rlimit limit
    {};
    getrlimit(RLIMIT_NOFILE, &limit);
    std::printf("  log files opened: %ld; soft limit of open files: %llu\n\n", logFiles,
                static_cast<unsigned long long>(limit.rlim_cur));
}

} // namespace

BENCHMARK(LoadAndArm)
    ->ArgNames({"tasks", "fresh_logs"})
    ->Args({10'000, 1})
    ->Args({10'000, 0})
    ->Args({20'000, 1})
    ->Args({20'000, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(AddTask)->Arg(1'000)->Arg(10'000)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ReportMemory();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
