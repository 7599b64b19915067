// A program started before the desktop's tray (autostart at login) moves into the tray
// once one appears. Runs on a display whose tray host the test starts itself.

#include "app/MainWindow.h"

#include <QMenu>
#include <QMenuBar>
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
        // The tray menu takes over from the menu bar: no second copy stays in the window.
        QTRY_VERIFY(!window.menuWidget() || window.menuWidget()->actions().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QStringList entries;
        for (QAction* entry : icon->contextMenu()->actions())
            entries << (entry->isSeparator() ? QStringLiteral("-") : entry->text());
        QCOMPARE(entries.mid(1), (QStringList{QStringLiteral("-"), QStringLiteral("Запускать при старте системы"),
                                              QStringLiteral("-"), QStringLiteral("Выход")}));

        // With a tray, closing hides the window there.
        window.close();
        QTRY_VERIFY(window.isHidden());
        trayHost.kill();
        trayHost.waitForFinished();
    }
};

QTEST_MAIN(TestLateTray)
#include "LateTray.moc"
