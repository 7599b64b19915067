#include "Startup.h"

#include "AppResources.h"
#include "HelpKeyFilter.h"
#include "MainWindow.h"
#include "SingleApplication.h"
#include "common/Logging.h"
#include "scheduler/TaskStorage.h"

#include <QIcon>
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

} // namespace

int runScheduler(int& argc, char** argv)
{
    common::useBareMessages();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);

    // The instance key is derived here, from the user and the executable's name and path, before
    // the organization and application names are set.
    SingleApplication app(argc, argv, true, SingleApplication::Mode::SecondaryNotification, 1000);
    // Without the guard a second scheduler of this user could run the same tasks at the
    // same time; ending with an error beats that, and beats a silent success.
    if (app.hasFailed()) {
        qCCritical(lcApp, "KalvorScheduler: %s", qUtf8Printable(app.errorString()));
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
