// Start-up figures of the shell with a store of N tasks: building the task storage
// service and the main window up to the embedded tray icon, showing the window, and the
// resident memory once the program rests. Run it under scripts/with-xvfb-tray.sh with
// fresh XDG directories (tests/run-isolated.sh), e.g.
//   tests/run-isolated.sh scripts/with-xvfb-tray.sh build/bench/bench_app_Startup 1000
// It writes the store itself and prints one line per figure.

#include "app/AppResources.h"
#include "app/MainWindow.h"
#include "model/TaskStoreFile.h"
#include "scheduler/TaskStorage.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QIcon>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTreeView>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

std::vector<TaskInfo> DemoTasks(int count)
{
    std::vector<TaskInfo> tasks(static_cast<std::size_t>(count));
    const Instant start = QDateTime(QDate(2026, 3, 2), QTime(8, 30)).toMSecsSinceEpoch() * kNanosPerMilli;
    for (int i = 0; i < count; ++i) {
        TaskInfo& task = tasks[static_cast<std::size_t>(i)];
        task.name = QString(QStringLiteral("Задача ") + QString::number(i)).toStdWString();
        task.starting_point = start + Instant(i) * 60 * kNanosPerSecond;
        if (i % 2) {
            WeeklyTrigger weekly;
            weekly.repeat_interval = 1 + i % 5;
            weekly.weekdays = {1, 3, 5};
            task.trigger = weekly;
        } else {
            task.trigger = DailyTrigger{1 + i % 30};
        }
        CommandAction command;
        command.executable = "/usr/bin/true";
        task.action = command;
    }
    return tasks;
}

long ResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (qEnvironmentVariableIsEmpty("XDG_DATA_HOME")) {
        std::fprintf(stderr, "run me with fresh XDG directories (tests/run-isolated.sh)\n");
        return 2;
    }
    const std::vector<TaskInfo> tasks = DemoTasks(count);
    std::vector<const TaskInfo*> pointers;
    for (const TaskInfo& task : tasks)
        pointers.push_back(&task);
    const std::filesystem::path store = TaskStorage::DefaultStorePath();
    store::CreateFolderOf(store);
    if (!store::WriteFile(store, store::WriteTasks(pointers)))
        return 1;

    QElapsedTimer clock;
    clock.start();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Holmiq"));
    QCoreApplication::setApplicationName(QStringLiteral("KalvorScheduler"));
    InitAppResources();
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/KalvorScheduler.ico")));
    const qint64 appReady = clock.nsecsElapsed();
    const long rssApp = ResidentKiB();

    TaskStorage::Instance();
    const qint64 serviceReady = clock.nsecsElapsed();
    const long rssService = ResidentKiB();
    if (TaskStorage::Instance().Tasks().size() != tasks.size()) {
        std::fprintf(stderr, "loaded %zu of %d tasks\n", TaskStorage::Instance().Tasks().size(), count);
        return 1;
    }

    MainWindow window;
    auto* tray = window.findChild<QSystemTrayIcon*>();
    if (!tray) {
        std::fprintf(stderr, "no system tray: run under scripts/with-xvfb-tray.sh\n");
        return 1;
    }
    while (!tray->geometry().isValid() || tray->geometry().isEmpty())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const qint64 trayShown = clock.nsecsElapsed();

    QElapsedTimer showClock;
    showClock.start();
    window.showWindow();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    QCoreApplication::processEvents();
    const qint64 windowShown = showClock.nsecsElapsed();

    // Scrolling: repaint the list page by page from top to bottom.
    auto* view = window.findChild<QTreeView*>(QStringLiteral("tasksTreeWidget"));
    QElapsedTimer scrollClock;
    scrollClock.start();
    int pages = 0;
    for (int row = 0; row < count; row += 20, ++pages) {
        view->scrollTo(view->model()->index(row, 0), QAbstractItemView::PositionAtTop);
        view->viewport()->repaint();
    }
    const qint64 scrolled = scrollClock.nsecsElapsed();

    window.hide();
    QTest::qWait(3000);
    const long rss = ResidentKiB();

    std::printf("tasks: %d\n", count);
    std::printf("application object: %.1f ms\n", appReady / 1e6);
    std::printf("service built (store loaded, timers armed): %.1f ms\n", (serviceReady - appReady) / 1e6);
    std::printf("start to tray icon embedded: %.1f ms\n", trayShown / 1e6);
    std::printf("show main window until exposed: %.1f ms\n", windowShown / 1e6);
    std::printf("repaint per scrolled page: %.2f ms (%d pages)\n", scrolled / 1e6 / qMax(1, pages), pages);
    std::printf("resident memory at rest: %ld KiB (application object %ld KiB, with the service %ld KiB)\n", rss,
                rssApp, rssService);
    return 0;
}
