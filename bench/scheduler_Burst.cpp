// The service under a burst of runs, measured with a plain timing harness:
//   firing: 50 command tasks due 37 ms apart; lateness from the due instant to the first
//           instruction of the started command, beside a bare sleep-and-spawn loop of the same
//           command (the floor);
//   burst N: N commands (/bin/true) due at the same instant; time from the due instant until
//           the last end is recorded, whole-store writes meanwhile, CPU seconds of the process;
//           beside the same commands spawned at once by a bare loop.
// Run: bench_scheduler_Burst firing | burst N [limit seconds]

#include "model/TaskStoreFile.h"
#include "scheduler/TaskStorage.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

Instant RealNow()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return Instant(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The stamp child: appends the instant it started at to the file, one line per start.
int Stamp(const char* file)
{
    const Instant now = RealNow();
    std::ofstream(file, std::ios::app) << now << '\n';
    return 0;
}

std::vector<Instant> ReadStamps(const std::string& file)
{
    std::vector<Instant> stamps;
    std::ifstream in(file);
    for (Instant t; in >> t;)
        stamps.push_back(t);
    std::sort(stamps.begin(), stamps.end());
    return stamps;
}

// Median and 99th percentile of the lateness of each stamp after its due instant, in ms.
void Report(const char* what, const std::vector<Instant>& due, const std::vector<Instant>& stamps)
{
    if (stamps.size() != due.size()) {
        std::printf("%s: %zu of %zu starts stamped\n", what, stamps.size(), due.size());
        return;
    }
    std::vector<double> late;
    for (std::size_t i = 0; i < due.size(); ++i)
        late.push_back(double(stamps[i] - due[i]) / 1e6);
    std::sort(late.begin(), late.end());
    const auto at = [&](double q) { return late[std::min(late.size() - 1, std::size_t(q * double(late.size())))]; };
    std::printf("%s: median %.3f ms, p99 %.3f ms, max %.3f ms\n", what, at(0.5), at(0.99), late.back());
}

std::vector<Instant> DueInstants(int count, std::chrono::milliseconds apart)
{
    const Instant base = RealNow() + 1500 * kNanosPerMilli;
    std::vector<Instant> due;
    for (int i = 0; i < count; ++i)
        due.push_back(base + Instant(i) * std::chrono::nanoseconds(apart).count());
    return due;
}

void Firing(const QString& root, const char* self)
{
    constexpr int kTasks = 50;
    const std::string floorFile = QString(root + QStringLiteral("/floor")).toStdString();
    const std::string serviceFile = QString(root + QStringLiteral("/service")).toStdString();

    // The floor: sleep until each due instant and spawn the same child.
    const std::vector<Instant> floorDue = DueInstants(kTasks, 37ms);
    std::vector<pid_t> children;
    for (const Instant due : floorDue) {
        const timespec at{time_t(due / kNanosPerSecond), long(due % kNanosPerSecond)};
        while (::clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        const std::string argument = "--stamp " + floorFile;
        const char* argv[] = {self, argument.c_str(), nullptr};
        pid_t pid = 0;
        if (::posix_spawn(&pid, self, nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0)
            children.push_back(pid);
    }
    for (const pid_t pid : children)
        ::waitpid(pid, nullptr, 0);

    TaskStorage service(QString(root + QStringLiteral("/f/storage.xml")).toStdString(),
                        QString(root + QStringLiteral("/f/logs")).toStdString(), vadro::CreateCore());
    const std::vector<Instant> due = DueInstants(kTasks, 37ms);
    for (int i = 0; i < kTasks; ++i) {
        TaskInfo t;
        t.name = L"firing" + std::to_wstring(i);
        t.starting_point = due[std::size_t(i)];
        t.action = CommandAction{self, {}, L"--stamp " + QString::fromStdString(serviceFile).toStdWString()};
        service.AddTask(t);
    }
    std::this_thread::sleep_until(std::chrono::system_clock::time_point(std::chrono::nanoseconds(due.back())) + 2s);
    Report("floor (sleep and spawn)", floorDue, ReadStamps(floorFile));
    Report("service", due, ReadStamps(serviceFile));
}

// The commands alone: `count` of them spawned at once and waited for, in seconds.
double CommandsAlone(int count)
{
    const auto begin = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const char* argv[] = {"/bin/true", nullptr};
        pid_t pid = 0;
        if (::posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0)
            children.push_back(pid);
    }
    for (const pid_t pid : children)
        ::waitpid(pid, nullptr, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

void Burst(const QString& root, int count, int limitSeconds)
{
    std::printf("%d commands alone (spawned at once and waited for): %.2f s\n", count, CommandsAlone(count));
    // Far enough ahead for the store to be loaded and armed first.
    const Instant due = RealNow() + Instant(3 + count / 1000) * kNanosPerSecond;
    const std::string storePath = QString(root + QStringLiteral("/b/storage.xml")).toStdString();
    {
        std::vector<TaskInfo> tasks(std::size_t(count), TaskInfo{});
        std::vector<const TaskInfo*> list;
        for (int i = 0; i < count; ++i) {
            TaskInfo& t = tasks[std::size_t(i)];
            t.name = L"burst" + std::to_wstring(i);
            t.starting_point = due;
            t.action = CommandAction{"/bin/true", {}, {}};
            list.push_back(&t);
        }
        store::CreateFolderOf(storePath);
        store::WriteFile(storePath, store::WriteTasks(list));
    }
    TaskStorage service(storePath, QString(root + QStringLiteral("/b/logs")).toStdString(), vadro::CreateCore());
    std::atomic<int> ended{0};
    std::atomic<int> saves{0};
    QObject::connect(
        &service.Events(), &TaskEvents::runEnded, &service.Events(),
        [&ended](const TaskInfo*, bool, const QString&) { ++ended; }, Qt::DirectConnection);
    QObject::connect(
        &service.Events(), &TaskEvents::saved, &service.Events(), [&saves] { ++saves; }, Qt::DirectConnection);
    std::this_thread::sleep_until(std::chrono::system_clock::time_point(std::chrono::nanoseconds(due)));
    const int savesBefore = saves.load();
    const double cpuBefore = CpuSeconds();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (ended.load() < count && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(10ms);
    const double seconds = double(RealNow() - due) / 1e9;
    std::printf("burst of %d commands: %d ends recorded after %.2f s, %d whole-store writes, %.2f CPU seconds\n", count,
                ended.load(), seconds, saves.load() - savesBefore, CpuSeconds() - cpuBefore);
}

} // namespace

int main(int argc, char** argv)
{
    // A command's arguments reach it as one.
    if (argc == 2 && std::strncmp(argv[1], "--stamp ", 8) == 0)
        return Stamp(argv[1] + 8);
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp;
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + QStringLiteral("/xdg")));
    const std::string mode = argc > 1 ? argv[1] : "firing";
    if (mode == "firing")
        Firing(tmp.path(), QCoreApplication::applicationFilePath().toLocal8Bit().constData());
    else if (mode == "burst" && argc > 2)
        Burst(tmp.path(), std::atoi(argv[2]), argc > 3 ? std::atoi(argv[3]) : 600);
    else
        std::printf("usage: %s firing | burst N [limit seconds]\n", argv[0]);
    return 0;
}
