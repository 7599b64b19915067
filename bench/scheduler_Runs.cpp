// Figures of the scheduler's runs, measured with a plain timing harness:
//   1. firing precision: 100 tasks due at staggered instants within three seconds;
//      lateness from the due instant to the start of the run (median, p99, max);
//   2. an only-changed export of a folder of 10,000 documents where nothing changed;
//   3. backup throughput against `cp -r` of the same tree, in the same run.
// Run: bench_scheduler_Runs [work directory]   (default: a temporary directory)

#include "execution/Actions.h"
#include "execution/Backup.h"
#include "repository/Connections.h"
#include "scheduler/TaskStorage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void WriteFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
}

void Firing(const QString& root)
{
    TaskStorage service(std::filesystem::u8path(QString(root + QStringLiteral("/f/storage.xml")).toStdString()),
                        std::filesystem::u8path(QString(root + QStringLiteral("/f/logs")).toStdString()),
                        vadro::CreateCore());
    std::mutex mutex;
    std::vector<double> lateness;
    service.SetStartObserver([&](const TaskInfo* task) {
        const Instant now = CurrentInstant();
        std::lock_guard<std::mutex> lock(mutex);
        lateness.push_back(double(now - task->starting_point) / 1e6);
    });
    const Instant base = CurrentInstant() + 500 * kNanosPerMilli;
    for (int i = 0; i < 100; ++i) {
        TaskInfo t;
        t.name = L"firing" + std::to_wstring(i);
        t.starting_point = base + Instant(i) * 29 * kNanosPerMilli; // staggered over ~2.9 s
        t.action = CommandAction{}; // an empty command is not started: only the timer is measured
        service.AddTask(t);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    std::lock_guard<std::mutex> lock(mutex);
    std::sort(lateness.begin(), lateness.end());
    if (lateness.empty()) {
        std::printf("firing: no task fired\n");
        return;
    }
    const auto at = [&](double q) { return lateness[std::min(lateness.size() - 1, size_t(q * lateness.size()))]; };
    std::printf("firing precision, %zu tasks: median %.3f ms, p99 %.3f ms, max %.3f ms\n", lateness.size(), at(0.5),
                at(0.99), lateness.back());
}

void OnlyChangedExport(const QString& root)
{
    const QString repo = root + QStringLiteral("/repo10k");
    QDir().mkpath(repo + QStringLiteral("/folder"));
    for (int i = 0; i < 10000; ++i)
        WriteFile(repo + QStringLiteral("/folder/doc%1").arg(i, 5, 10, QLatin1Char('0')), "x");
    vadro_cm::Connection connection;
    connection.name = L"bench";
    connection.address = vadro_cm::ServerAddress{repo.toStdWString(), 0};
    Config config(SavedConnectionsPath());
    ConnectionsModel model(config);
    model.UpdateConnections({connection});

    auto core = vadro::CreateCore();
    ExportAction action;
    action.connection_id = connection.id;
    action.project_path = L"vadro://bench/folder";
    action.output_path = QString(root + QStringLiteral("/out")).toStdWString();
    // Every document already exported at its current time.
    auto session = core->OpenSession(connection.address, connection.credentials);
    const auto ids = session->GetPathResolver()->ResolvePath({L"folder"});
    for (const auto& child : session->ListChildren(ids))
        action.modification_times[L"vadro://bench/folder/" + child.name] = execution::DocumentTime(child);

    TaskStorage service(std::filesystem::u8path(QString(root + QStringLiteral("/e/storage.xml")).toStdString()),
                        std::filesystem::u8path(QString(root + QStringLiteral("/e/logs")).toStdString()), core);
    service.SetToolPath("/nonexistent/KalvorCLI"); // a started tool would show as a failure line
    TaskInfo t;
    t.name = L"export10k";
    t.starting_point = CurrentInstant() + 3600 * kNanosPerSecond;
    t.action = action;
    const TaskInfo* stored = service.AddTask(t);
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        service.Perform(stored);
        best = std::min(best, MsSince(t0));
    }
    const bool anyLine = std::filesystem::file_size(service.LogFilePath(stored)) > 0;
    std::printf("only-changed export, 10,000 unchanged documents: best of 5 %.1f ms, tool started: %s\n", best,
                anyLine ? "yes" : "no");
}

void BackupThroughput(const QString& root)
{
    const QString repo = root + QStringLiteral("/repoTree");
    const QByteArray small(4096, 's');
    for (int i = 0; i < 2000; ++i)
        WriteFile(repo + QStringLiteral("/tree/d%1/f%2").arg(i / 100).arg(i), small);
    const QByteArray big(50 * 1024 * 1024, 'b');
    for (int i = 0; i < 3; ++i)
        WriteFile(repo + QStringLiteral("/tree/big%1").arg(i), big);
    const double totalMb = (2000.0 * 4096 + 3.0 * big.size()) / (1024 * 1024);

    vadro_cm::Connection connection;
    connection.name = L"tree";
    connection.address = vadro_cm::ServerAddress{repo.toStdWString(), 0};
    Config config(SavedConnectionsPath());
    ConnectionsModel model(config);
    model.UpdateConnections({connection});
    auto core = vadro::CreateCore();

    double bestCp = 1e9, bestBackup = 1e9;
    for (int round = 0; round < 3; ++round) {
        QDir(root + QStringLiteral("/cp")).removeRecursively();
        QDir(root + QStringLiteral("/bk")).removeRecursively();
        auto t0 = Clock::now();
        const QByteArray cmd = "cp -r '" + QFile::encodeName(repo + QStringLiteral("/tree")) + "' '" +
                               QFile::encodeName(root + QStringLiteral("/cp")) + "'";
        if (std::system(cmd.constData()) != 0)
            std::printf("cp failed\n");
        bestCp = std::min(bestCp, MsSince(t0));
        t0 = Clock::now();
        const auto result = execution::RunBackup(
            {connection.id, L"vadro://tree/tree", QString(root + QStringLiteral("/bk")).toStdWString()}, *core,
            SavedConnectionsPath());
        bestBackup = std::min(bestBackup, MsSince(t0));
        if (!result.ok || result.documents != 2003)
            std::printf("backup copied %zu documents\n", result.documents);
    }
    std::printf("backup of %.0f MB (2,000 small files + 3 x 50 MB): backup %.1f ms (%.0f MB/s), cp -r %.1f ms "
                "(%.0f MB/s), ratio %.2f\n",
                totalMb, bestBackup, totalMb / bestBackup * 1000, bestCp, totalMb / bestCp * 1000, bestCp / bestBackup);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp;
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : tmp.path();
    qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/xdg")));
    Firing(root);
    OnlyChangedExport(root);
    BackupThroughput(root);
    return 0;
}
