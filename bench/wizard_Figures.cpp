// Figures of the task wizard: how long the dialog takes to open with many saved
// connections, and how long the repository browser takes to show a large folder. Runs on
// the offscreen platform in its own temporary home, so nothing touches the user's files.

#include "repository/BrowserWidget.h"
#include "repository/Connections.h"
#include "wizard/TaskWizard.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeView>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

void makeFile(const QString& path)
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
        TaskWizard wizard(task);
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
        makeFile(repo.filePath(QStringLiteral("big/документ_%1.dwg").arg(i, 5, 10, QLatin1Char('0'))));
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
