// A program started before the desktop's tray (autostart at login) moves into the tray
// once one appears. Runs on a display whose tray host the test starts itself.

#include "app/MainWindow.h"

#include <QMenu>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTest>

class TestLateTray : public QObject
{
    Q_OBJECT

private slots:
    void trayThatAppearsLaterIsUsed()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY") || QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("needs a display that has no tray yet");
        MainWindow window;
        QVERIFY(window.findChild<QSystemTrayIcon*>() == nullptr);
        QVERIFY(window.isVisible()); // nowhere to hide yet

        QProcess trayHost;
        trayHost.start(QStringLiteral("trayer"), {QStringLiteral("--edge"), QStringLiteral("top"),
                                                  QStringLiteral("--SetDockType"), QStringLiteral("true")});
        QVERIFY(trayHost.waitForStarted());
        QSystemTrayIcon* icon = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((icon = window.findChild<QSystemTrayIcon*>()) && icon->isVisible(), 15000);
        QStringList entries;
        for (QAction* entry : icon->contextMenu()->actions())
            entries << entry->text();
        QVERIFY2(entries.contains(QStringLiteral("Выход")), qPrintable(entries.join(QLatin1Char(','))));

        // With a tray, closing hides the window there.
        window.close();
        QTRY_VERIFY(window.isHidden());
        trayHost.kill();
        trayHost.waitForFinished();
    }
};

QTEST_MAIN(TestLateTray)
#include "LateTray.moc"
