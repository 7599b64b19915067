#include "Startup.h"

#include "AppResources.h"
#include "ControlRequests.h"
#include "HelpKeyFilter.h"
#include "MainWindow.h"
#include "SingleApplication.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "scheduler/TaskStorage.h"

#include <QIcon>
#include <QMessageBox>
#include <QSettings>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTranslator>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <exception>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The end of a session (SIGTERM), Ctrl+C (SIGINT) and a closed terminal (SIGHUP) quit the
// event loop as the tray's quit does, so the service stops in order. The handler only
// writes a byte into a socket pair; the event loop reads it.
class QuitSignals
{
public:
    QuitSignals()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) {
            qCWarning(lcApp, "KalvorScheduler: signals end the program at once: %s", std::strerror(errno));
            return;
        }
        notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, qApp);
        QObject::connect(notifier_, &QSocketNotifier::activated, qApp, [] {
            char bytes[16];
            while (::read(fds_[0], bytes, sizeof bytes) > 0) {
            }
            QCoreApplication::quit();
        });
        struct sigaction action = {};
        action.sa_handler = &QuitSignals::Handle;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            ::sigaction(signal, &action, nullptr);
    }

private:
    static void Handle(int)
    {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(fds_[1], &byte, 1);
        errno = saved;
    }

    static inline int fds_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
};

// Sleeps the full second also when a signal interrupts the sleep.
void SleepOneSecond()
{
    timespec remaining{1, 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// Whether a message box can be seen: a real display, not the offscreen or minimal platform
// of a test or a session without one.
bool HasDisplay()
{
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return false;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Started from autostart or the menu, nobody reads standard error: where a display exists
// the reason is shown as well.
void ReportFailedStart(const SingleApplication& app)
{
    qCCritical(lcApp, "KalvorScheduler: %s", qUtf8Printable(app.ErrorString()));
    if (!HasDisplay())
        return;
    const QString text =
        app.HolderPid() > 0
            ? QCoreApplication::translate("Startup", "Планировщик не запущен: файл заданий занят процессом %1, "
                                                     "который не отвечает.")
                  .arg(static_cast<qint64>(app.HolderPid()))
            : QCoreApplication::translate("Startup", "Планировщик не запущен: файл блокировки нельзя использовать "
                                                     "безопасно.");
    QMessageBox box(QMessageBox::Critical, QCoreApplication::translate("Startup", "Планировщик задач КАЛВОР"), text,
                    QMessageBox::Ok);
    box.setDetailedText(app.ErrorString());
    box.exec();
}

} // namespace

int RunScheduler(int& argc, char** argv)
{
    common::UseBareMessages();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);

    // The store's place does not depend on the application's names, which are set below.
    // Its lock is taken here, before the service loads the store, and held to the end.
    SingleApplication app(argc, argv, true, SingleApplication::Mode::SecondaryNotification, 1000,
                          common::toQString(TaskStorage::DefaultStorePath()));
    // Before any message box, the failed start's included.
    QTranslator translator;
    if (translator.load(QStringLiteral("qtbase_ru"),
                        QCoreApplication::applicationDirPath() + QStringLiteral("/translations"), QString(), QString()))
        QCoreApplication::installTranslator(&translator);

    // Without the lock a second scheduler could run the same tasks at the same time and
    // throw away each other's changes; ending with an error beats that, and beats a
    // silent success.
    if (app.HasFailed()) {
        ReportFailedStart(app);
        return 1;
    }
    if (app.isSecondary()) {
        SleepOneSecond();
        return 0;
    }

    const QuitSignals quitSignals;
    InitAppResources();
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QCoreApplication::setOrganizationName(QStringLiteral("Holmiq"));
    QCoreApplication::setApplicationName(QStringLiteral("KalvorScheduler"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/KalvorScheduler.ico")));
    QGuiApplication::setDesktopFileName(QStringLiteral("kalvor-scheduler"));
    QCoreApplication::setAttribute(Qt::AA_DisableWindowContextHelpButton, true);

    // Lives until the process ends; it watches every window of the program.
    app.installEventFilter(new HelpKeyFilter);

    // The service loads the tasks and arms their timers before any window asks for them.
    // A service that cannot start leaves nothing to show: say why and end.
    try {
        TaskStorage::Instance();
    } catch (const std::exception& e) {
        qCCritical(lcApp, "KalvorScheduler: the task storage service could not start: %s", e.what());
        return 1;
    }

    MainWindow window;
    if (app.isPrimary()) {
        QObject::connect(&app, &SingleApplication::instanceStarted, &window, [&window] {
            window.show();
            window.raise();
            window.activateWindow();
        });
    }

    // kalvor-tasks run|stop|pause|resume reach the service through the guard's socket.
    app.SetRequestHandler(AnswerControlRequest);

    window.ReportStoreDamage();

    QSettings settings;
    if (settings.value(QStringLiteral("firstLaunch"), true).toBool()) {
        window.setVisible(true);
        settings.setValue(QStringLiteral("firstLaunch"), false);
        settings.sync();
    }

    const int status = QApplication::exec();
    // Stopped while Qt still runs, so what the last runs log has its time and next run.
    TaskStorage& service = TaskStorage::Instance();
    service.Shutdown();
    // A quit by a signal (the session's end) has not tried the unsaved changes once more as
    // the tray's quit does; nobody is there to answer a question, so it only tries.
    if (service.HasUnsavedChanges()) {
        const QSignalBlocker quiet(&service.Events());
        service.Save();
    }
    return status;
}
