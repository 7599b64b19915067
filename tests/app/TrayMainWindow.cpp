#include "app/MainWindow.h"
#include "scheduler/TaskStorage.h"
#include "support/Modal.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

namespace {

QStringList warnings;

void recordWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        warnings << message;
}

QString autostartEntry()
{
    return QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) +
           QStringLiteral("/autostart/kalvor-scheduler.desktop");
}

QString entryBesideExecutable()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("kalvor-scheduler.desktop"));
}

} // namespace

class TestTrayMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void startsHidden();
    void activation_data();
    void activation();
    void menuTextFollowsWindow();
    void autoStartEntry();
    void autoStartWithoutSource();
    void closeHidesAndSaves();

private:
    QSystemTrayIcon* tray() { return window->findChild<QSystemTrayIcon*>(); }
    QMenu* menu() { return tray()->contextMenu(); }
    QAction* entry(int position) { return menu()->actions().at(position); }
    void openMenu() { emit menu()->aboutToShow(); }

    std::unique_ptr<MainWindow> window;
};

void TestTrayMainWindow::initTestCase()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("no system tray on this display (run through scripts/with-xvfb-tray.sh)");
    QGuiApplication::setDesktopFileName(QStringLiteral("kalvor-scheduler"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/KalvorScheduler.ico")));
}

void TestTrayMainWindow::init()
{
    QSettings().clear();
    window = std::make_unique<MainWindow>();
    QVERIFY(tray());
}

void TestTrayMainWindow::cleanup()
{
    window.reset();
    QFile::remove(autostartEntry());
}

void TestTrayMainWindow::cleanupTestCase()
{
    QFile::remove(entryBesideExecutable());
}

void TestTrayMainWindow::startsHidden()
{
    QVERIFY(window->isHidden());
    QVERIFY(tray()->isVisible());
    QVERIFY(window->menuBar()->actions().isEmpty());
    QCOMPARE(menu()->parent(), window.get());
}

void TestTrayMainWindow::activation_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QList<int>>("reasons");
    QTest::addColumn<bool>("visibleAfter");

    const int click = QSystemTrayIcon::Trigger;
    // The system reports the first click of a double click as a click of its own.
    const QList<int> doubleClick{click, QSystemTrayIcon::DoubleClick};
    QTest::newRow("click shows a hidden window") << "hidden" << QList<int>{click} << true;
    QTest::newRow("click hides a visible window") << "visible" << QList<int>{click} << false;
    QTest::newRow("click restores a minimised window") << "minimised" << QList<int>{click} << true;
    QTest::newRow("double click on a hidden window") << "hidden" << doubleClick << false;
    QTest::newRow("double click on a visible window") << "visible" << doubleClick << true;
    QTest::newRow("middle click") << "hidden" << QList<int>{QSystemTrayIcon::MiddleClick} << false;
    QTest::newRow("context click") << "visible" << QList<int>{QSystemTrayIcon::Context} << true;
}

void TestTrayMainWindow::activation()
{
    QFETCH(QString, start);
    QFETCH(QList<int>, reasons);
    QFETCH(bool, visibleAfter);

    if (start == QLatin1String("visible")) {
        window->showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    } else if (start == QLatin1String("minimised")) {
        window->showMinimized();
        QCoreApplication::processEvents();
        window->hide();
    }
    for (int reason : reasons)
        emit tray()->activated(QSystemTrayIcon::ActivationReason(reason));
    QTest::qWait(QApplication::doubleClickInterval() + 100);
    QCOMPARE(window->isVisible(), visibleAfter);
    if (visibleAfter)
        QTRY_VERIFY(!window->isMinimized());
}

void TestTrayMainWindow::menuTextFollowsWindow()
{
    QStringList entries;
    for (QAction* action : menu()->actions())
        entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
    QCOMPARE(entries.mid(1), (QStringList{QStringLiteral("-"), QStringLiteral("Запускать при старте системы"),
                                          QStringLiteral("-"), QStringLiteral("Выход")}));

    openMenu();
    QCOMPARE(entry(0)->text(), QStringLiteral("Показать"));
    entry(0)->trigger();
    QVERIFY(window->isVisible());
    openMenu();
    QCOMPARE(entry(0)->text(), QStringLiteral("Скрыть"));
    entry(0)->trigger();
    QVERIFY(window->isHidden());
    openMenu();
    QCOMPARE(entry(0)->text(), QStringLiteral("Показать"));
}

void TestTrayMainWindow::autoStartEntry()
{
    QFile source(entryBesideExecutable());
    QVERIFY(source.open(QIODevice::WriteOnly));
    source.write("[Desktop Entry]\nType=Application\nName=T\nExec=true\n# \xd0\xbf\xd1\x80\xd0\xbe\xd0\xb1\xd0\xb0\n");
    source.close();
    QVERIFY(
        !QDir(QStandardPaths::writableLocation(QStandardPaths::ConfigLocation)).exists(QStringLiteral("autostart")));

    QAction* autoStart = entry(2);
    openMenu();
    QVERIFY(!autoStart->isChecked());

    autoStart->trigger(); // on
    QFile target(autostartEntry());
    QVERIFY(target.open(QIODevice::ReadOnly));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), source.readAll());
    target.close();
    autoStart->setChecked(false);
    openMenu();
    QVERIFY(autoStart->isChecked());

    autoStart->trigger(); // off
    QVERIFY(!QFile::exists(autostartEntry()));
    autoStart->setChecked(true);
    openMenu();
    QVERIFY(!autoStart->isChecked());
}

void TestTrayMainWindow::autoStartWithoutSource()
{
    QFile::remove(entryBesideExecutable());
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordWarnings);
    QString shown;
    testsupport::onModal<QMessageBox>([&shown](QMessageBox* box) {
        shown = box->text();
        box->accept();
    });
    entry(2)->trigger();
    qInstallMessageHandler(previous);
    // The user is told why, with the file that is missing.
    QVERIFY2(shown.startsWith(QStringLiteral("Не удалось включить автозапуск.\n")), qPrintable(shown));
    QVERIFY2(shown.contains(entryBesideExecutable()), qPrintable(shown));
    QVERIFY(!entry(2)->isChecked());

    // The message box may add Qt's own warnings; ours comes once.
    const QStringList ours = warnings.filter(QStringLiteral("Exception was thrown in `setupAutoStartLinux`:  \""));
    QCOMPARE(ours.size(), 1);
    QVERIFY(!QFile::exists(autostartEntry()));
    openMenu();
    QVERIFY(!entry(2)->isChecked());
}

void TestTrayMainWindow::closeHidesAndSaves()
{
    window->showWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->close();
    QTRY_VERIFY(window->isHidden());
    QSettings settings;
    QVERIFY(!settings.value(QStringLiteral("MainWindowGeometry")).toByteArray().isEmpty());
    QVERIFY(!settings.value(QStringLiteral("TasksTreeHeaderState")).toByteArray().isEmpty());
    // Closing the hidden window again changes nothing and does not end the program.
    window->close();
    QVERIFY(window->isHidden());
}

QTEST_MAIN(TestTrayMainWindow)
#include "TrayMainWindow.moc"
