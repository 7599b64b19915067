#include "Startup.h"

#include "AppResources.h"
#include "HelpKeyFilter.h"
#include "MainWindow.h"
#include "SingleApplication.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "scheduler/TaskStorage.h"

#include <QIcon>
#include <QMessageBox>
#include <QSettings>
#include <QTranslator>
#include <QtGlobal>

#include <cerrno>
#include <ctime>
#include <exception>

namespace {

// Sleeps the full second also when a signal interrupts the sleep.
void sleepOneSecond()
{
    timespec remaining{1, 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// Whether a message box can be seen: a real display, not the offscreen or minimal platform
// of a test or a session without one.
bool hasDisplay()
{
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return false;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Started from autostart or the menu, nobody reads standard error: where a display exists
// the reason is shown as well.
void reportFailedStart(const SingleApplication& app)
{
    qCCritical(lcApp, "KalvorScheduler: %s", qUtf8Printable(app.errorString()));
    if (!hasDisplay())
        return;
    const QString text =
        app.holderPid() > 0
            ? QCoreApplication::translate("Startup", "Планировщик не запущен: файл заданий занят процессом %1, "
                                                     "который не отвечает.")
                  .arg(static_cast<qint64>(app.holderPid()))
            : QCoreApplication::translate("Startup", "Планировщик не запущен: файл блокировки нельзя использовать "
                                                     "безопасно.");
    QMessageBox box(QMessageBox::Critical, QCoreApplication::translate("Startup", "Планировщик задач КАЛВОР"), text,
                    QMessageBox::Ok);
    box.setDetailedText(app.errorString());
    box.exec();
}

} // namespace

int runScheduler(int& argc, char** argv)
{
    common::useBareMessages();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);

    // The store's place does not depend on the application's names, which are set below.
    // Its lock is taken here, before the service loads the store, and held to the end.
    SingleApplication app(argc, argv, true, SingleApplication::Mode::SecondaryNotification, 1000,
                          common::toQString(TaskStorage::DefaultStorePath()));
    // Without the lock a second scheduler could run the same tasks at the same time and
    // throw away each other's changes; ending with an error beats that, and beats a
    // silent success.
    if (app.hasFailed()) {
        reportFailedStart(app);
        return 1;
    }
    if (app.isSecondary()) {
        sleepOneSecond();
        return 0;
    }

    initAppResources();
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QCoreApplication::setOrganizationName(QStringLiteral("Holmiq"));
    QCoreApplication::setApplicationName(QStringLiteral("KalvorScheduler"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/KalvorScheduler.ico")));
    QGuiApplication::setDesktopFileName(QStringLiteral("kalvor-scheduler"));
    QCoreApplication::setAttribute(Qt::AA_DisableWindowContextHelpButton, true);

    // Lives until the process ends; it watches every window of the program.
    app.installEventFilter(new HelpKeyFilter);

    QTranslator translator;
    if (translator.load(QStringLiteral("qtbase_ru"),
                        QCoreApplication::applicationDirPath() + QStringLiteral("/translations"), QString(), QString()))
        QCoreApplication::installTranslator(&translator);

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

    window.reportStoreDamage();

    QSettings settings;
    if (settings.value(QStringLiteral("firstLaunch"), true).toBool()) {
        window.setVisible(true);
        settings.setValue(QStringLiteral("firstLaunch"), false);
        settings.sync();
    }

    return QApplication::exec();
}
