// Figures of the task wizard: how long the dialog takes to open with many saved
// connections, how long the repository browser takes to show a large folder, and how long
// the window's event loop stalls while a scheme lookup waits for a misbehaving tool. Runs on
// the offscreen platform in its own temporary home, so nothing touches the user's files.

#include "repository/Connections.h"
#include "repository/widgets/BrowserWidget.h"
#include "wizard/SchemeLookup.h"
#include "wizard/TaskWizard.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

#include <sys/resource.h>

namespace {

// The wizard with a core of its own, no stored tasks and the scheduler's computation of runs.
WizardContext BenchContext()
{
    WizardContext context;
    context.core = vadro::CreateCore();
    context.storedTasks = [] { return std::vector<const TaskInfo*>(); };
    context.nextRun = [](const TaskInfo& task, Instant now) { return task.NextRun(now); };
    context.canRunOnlyOnWorkingDays = [](const TaskInfo& task) { return task.CanRunOnlyOnWorkingDays(); };
    return context;
}

void MakeFile(const QString& path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("x");
}

void BM_OpenWizardWith100Connections(benchmark::State& state)
{
    QTemporaryDir repo;
    std::vector<vadro_cm::Connection> connections;
    for (int i = 0; i < 100; ++i) {
        vadro_cm::Connection connection;
        connection.name = L"Соединение " + std::to_wstring(i);
        connection.address = vadro_cm::ServerAddress{repo.path().toStdWString(), 0};
        connections.push_back(connection);
    }
    Config config(SavedConnectionsPath());
    ConnectionsModel(config).UpdateConnections(connections);
    TaskInfo task;
    task.name = L"Задача";
    for (auto _ : state) {
        TaskWizard wizard(task, BenchContext());
        wizard.show();
        QCoreApplication::processEvents();
        benchmark::DoNotOptimize(wizard.currentId());
    }
}
BENCHMARK(BM_OpenWizardWith100Connections)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ShowFolderOf10000Documents(benchmark::State& state)
{
    QTemporaryDir repo;
    QDir(repo.path()).mkdir(QStringLiteral("big"));
    for (int i = 0; i < 10000; ++i)
        MakeFile(repo.filePath(QStringLiteral("big/документ_%1.dwg").arg(i, 5, 10, QLatin1Char('0'))));
    const auto core = vadro::CreateCore();
    const vadro_cm::Address address = vadro_cm::ServerAddress{repo.path().toStdWString(), 0};
    vadro_browser::BrowserWidget browser(nullptr, nullptr, false, true, 0, {});
    browser.resize(600, 800);
    browser.show();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        const auto session = core->OpenSession(address, std::monostate{});
        browser.Reset(session);
        browser.ExpandPath(session->GetPathResolver()->ResolvePath({L"big"}));
        browser.View()->viewport()->repaint();
        QCoreApplication::processEvents();
        state.PauseTiming();
        if (browser.View()->model()->rowCount(browser.View()->model()->index(0, 0)) != 10000)
            state.SkipWithError("the folder did not show all its documents");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ShowFolderOf10000Documents)->Unit(benchmark::kMillisecond)->UseRealTime();

// The stand-in tool: KALVOR_BIN_DIR, else the bin folder of the build tree.
std::filesystem::path StandInTool()
{
    QString dir = qEnvironmentVariable("KALVOR_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../bin");
    return std::filesystem::u8path(QString(dir + QStringLiteral("/KalvorCLI")).toStdString());
}

// Ticks every 10 ms on the user-interface thread and keeps the longest gap between ticks:
// how long the window could not paint or answer.
class StallMeter
{
public:
    StallMeter()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { longest_ = std::max(longest_, clock_.restart()); });
        clock_.start();
        timer_.start(10);
    }
    qint64 LongestMs() const { return std::max(longest_, clock_.elapsed()); }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

// One lookup per iteration against the stand-in tool steered by `env`; reports the longest
// stall of the event loop, and the process's peak memory.
void RunLookup(benchmark::State& state, const std::vector<std::pair<const char*, const char*>>& env,
               std::chrono::milliseconds limit, int cancelAfterMs, SchemeSelection::Outcome expected)
{
    for (const auto& [name, value] : env)
        qputenv(name, value);
    qint64 longest = 0;
    for (auto _ : state) {
        if (cancelAfterMs >= 0) {
            QTimer::singleShot(cancelAfterMs, [] {
                if (auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget()))
                    dialog->findChild<QPushButton*>()->click();
            });
        }
        SchemeLookupLimits limits;
        limits.timeLimit = limit;
        StallMeter meter;
        const SchemeSelection result = SelectScheme(StandInTool(), "DXF", nullptr, limits);
        longest = std::max(longest, meter.LongestMs());
        if (result.outcome != expected)
            state.SkipWithError("the lookup ended otherwise than expected");
    }
    for (const auto& [name, value] : env)
        qunsetenv(name);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["longest_stall_ms"] = static_cast<double>(longest);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_LookupStall400MBWithoutLineBreaks(benchmark::State& state)
{
    RunLookup(state, {{"KALVORCLI_STDOUT_UNBROKEN_BYTES", "400000000"}}, std::chrono::seconds(60), -1,
              SchemeSelection::Outcome::Replied);
}
BENCHMARK(BM_LookupStall400MBWithoutLineBreaks)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_LookupStallToolNeverExitsCancelledAfter2s(benchmark::State& state)
{
    RunLookup(state, {{"KALVORCLI_DELAY_MS", "3600000"}}, std::chrono::seconds(60), 2000,
              SchemeSelection::Outcome::Cancelled);
}
BENCHMARK(BM_LookupStallToolNeverExitsCancelledAfter2s)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_LookupStallToolNeverExitsTimeLimit2s(benchmark::State& state)
{
    RunLookup(state, {{"KALVORCLI_DELAY_MS", "3600000"}}, std::chrono::seconds(2), -1,
              SchemeSelection::Outcome::TimedOut);
}
BENCHMARK(BM_LookupStallToolNeverExitsTimeLimit2s)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "HOME"})
        qputenv(name, home.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Holmiq"));
    QCoreApplication::setApplicationName(QStringLiteral("KalvorScheduler"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
