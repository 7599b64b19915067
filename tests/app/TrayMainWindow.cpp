#include "app/LogViewer.h"
#include "app/MainWindow.h"
#include "app/TasksListModel.h"
#include "scheduler/TaskStorage.h"
#include "support/Modal.h"
#include "support/Widgets.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTreeView>

using testsupport::child;

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

// Counts the tray messages shown on this display: each one is a balloon window of its own.
class BalloonCounter : public QObject
{
public:
    BalloonCounter() { qApp->installEventFilter(this); }
    ~BalloonCounter() override { qApp->removeEventFilter(this); }
    // The texts of each balloon shown so far, title and message, and where it stood.
    QList<QStringList> shown;
    QList<QRect> places;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // A balloon moved along with its icon is shown again: each one counts once.
        if (event->type() == QEvent::Show && watched->inherits("QBalloonTip") &&
            !watched->property("kalvorCounted").toBool()) {
            watched->setProperty("kalvorCounted", true);
            QStringList texts;
            for (const QLabel* label : watched->findChildren<QLabel*>())
                if (!label->text().isEmpty())
                    texts << label->text();
            shown << texts;
            places << static_cast<QWidget*>(watched)->frameGeometry();
        }
        return false;
    }
};

// A command task; one whose working folder does not exist fails at once.
TaskInfo commandTask(const QString& name, bool fails)
{
    TaskInfo task;
    task.name = name.toStdWString();
    task.starting_point = (QDateTime::currentSecsSinceEpoch() + 86400) * kNanosPerSecond;
    CommandAction command;
    command.executable = "/bin/true";
    if (fails)
        command.working_directory = "/nonexistent/kalvor-folder";
    task.action = command;
    return task;
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
    void failureNotices();
    void longNameNoticeFitsScreen();
    void firstStartFitsScreen();
    void unsavedChangesInToolTip();

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

void TestTrayMainWindow::failureNotices()
{
    TaskStorage& storage = TaskStorage::Instance();
    while (!storage.Tasks().empty())
        storage.RemoveTask(storage.Tasks().front().get());
    const TaskInfo* single = storage.AddTask(commandTask(QStringLiteral("Одна"), true));
    const TaskInfo* first = storage.AddTask(commandTask(QStringLiteral("Первая"), true));
    const TaskInfo* second = storage.AddTask(commandTask(QStringLiteral("Вторая"), true));
    window = std::make_unique<MainWindow>();
    auto* model = qobject_cast<TasksListModel*>(window->findChild<QTreeView*>()->model());
    const QImage plain = window->windowIcon().pixmap(32).toImage();
    auto warns = [this, &plain] { return tray()->icon().pixmap(32).toImage() != plain; };
    QVERIFY(!warns());
    QCOMPARE(model->index(0, TasksListModel::ResultColumn).data().toString(), QString());
    QCOMPARE(model->index(0, TasksListModel::LastRunColumn).data().toString(), QString());
    BalloonCounter balloons;

    // One failure: one notice naming the task and the first line of the reason.
    QElapsedTimer clock;
    clock.start();
    storage.RunNow(single);
    QTRY_COMPARE_WITH_TIMEOUT(balloons.shown.size(), 1, 10000);
    QTRY_COMPARE(model->index(0, TasksListModel::ResultColumn).data().toString(), QStringLiteral("Ошибка"));
    QVERIFY(warns());
    const QString reason = QString::fromStdWString(storage.Copy(single).last_run.reason);
    QVERIFY(!reason.isEmpty() && !reason.contains(QLatin1Char('\n')));
    const QString texts = balloons.shown.front().join(QLatin1Char('|'));
    QVERIFY2(texts.contains(QStringLiteral("«Одна»")) && texts.contains(reason), qPrintable(texts));
    QVERIFY(!model->index(0, TasksListModel::LastRunColumn).data().toString().isEmpty());
    QCOMPARE(model->index(0, TasksListModel::NextRunColumn).data().toString(),
             QDateTime::fromMSecsSinceEpoch(storage.ScheduledRun(single) / kNanosPerMilli)
                 .toString(QStringLiteral("dd.MM.yyyy hh:mm")));
    QCOMPARE(model->index(0, TasksListModel::NameColumn).data(Qt::ForegroundRole).value<QBrush>().color(),
             QColor(Qt::red));
    // Clicking the notice opens that task's log, and the failure counts as seen.
    emit tray()->messageClicked();
    auto* viewer = window->findChild<LogViewer*>();
    QVERIFY(viewer && viewer->isVisible());
    QCOMPARE(viewer->FilePath(), QString::fromStdString(storage.LogFilePath(single).u8string()));
    QVERIFY(!warns());
    viewer->close();

    // Two failures close together: one summary notice, not two.
    storage.RunNow(first);
    storage.RunNow(second);
    QTRY_COMPARE_WITH_TIMEOUT(balloons.shown.size(), 2, 10000);
    QVERIFY2(balloons.shown.last().join(QLatin1Char('|')).contains(QStringLiteral("Не выполнено задач: 2")),
             qPrintable(balloons.shown.last().join(QLatin1Char('|'))));
    QVERIFY(warns());

    // A window built anew (as at the next start) finds the kept failures and warns at once.
    window = std::make_unique<MainWindow>();
    model = qobject_cast<TasksListModel*>(window->findChild<QTreeView*>()->model());
    QVERIFY(warns());

    // The warning stays while one failure is unseen: a success clears its task only.
    model->updateTask(model->index(1, 0), commandTask(QStringLiteral("Первая"), false));
    storage.RunNow(first);
    QTRY_COMPARE(model->index(1, TasksListModel::ResultColumn).data().toString(), QStringLiteral("Успешно"));
    QVERIFY(!model->index(1, TasksListModel::NameColumn).data(Qt::ForegroundRole).isValid());
    QVERIFY(warns());
    window->ShowTaskLog(second);
    QVERIFY(!warns());
    QCOMPARE(balloons.shown.size(), 2);
}

void TestTrayMainWindow::longNameNoticeFitsScreen()
{
    const TaskInfo* task = TaskStorage::Instance().AddTask(
        commandTask(QStringLiteral("Резервное копирование проекта ").repeated(15), true));
    BalloonCounter balloons;
    TaskStorage::Instance().RunNow(task);
    QTRY_COMPARE_WITH_TIMEOUT(balloons.shown.size(), 1, 10000);
    // The whole notice, its reason included, is on the screen.
    QVERIFY(QGuiApplication::primaryScreen()->geometry().contains(balloons.places.front()));
    QVERIFY(
        balloons.shown.front().contains(QString::fromStdWString(TaskStorage::Instance().Copy(task).last_run.reason)));
}

void TestTrayMainWindow::firstStartFitsScreen()
{
    TaskStorage& storage = TaskStorage::Instance();
    while (!storage.Tasks().empty())
        storage.RemoveTask(storage.Tasks().front().get());
    window = std::make_unique<MainWindow>();
    window->showWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(window->frameGeometry()));
    auto* view = window->findChild<QTreeView*>();
    auto* hint = child<QLabel>(window.get(), "emptyListHint");
    QVERIFY(hint && hint->isVisible());
    // Every column, the result last, lies within the list: no horizontal scrolling.
    QTRY_VERIFY(view->header()->length() <= view->viewport()->width() && !view->horizontalScrollBar()->isVisible());
    qobject_cast<TasksListModel*>(view->model())->insertTask(0, {}, commandTask(QStringLiteral("Первая"), false));
    QVERIFY(!hint->isVisible());
}

void TestTrayMainWindow::unsavedChangesInToolTip()
{
    TaskStorage& storage = TaskStorage::Instance();
    const QString store = QString::fromStdString(storage.StorePath().u8string());
    const QString saved = tray()->toolTip();
    QFile::remove(store);
    QVERIFY(QDir().mkpath(store)); // a folder where the store file belongs
    storage.AddTask(commandTask(QStringLiteral("Несохранённая"), false));
    QVERIFY2(tray()->toolTip().contains(QStringLiteral("не сохранены")), qPrintable(tray()->toolTip()));
    QVERIFY(QDir().rmdir(store));
    QVERIFY(storage.Save());
    QCOMPARE(tray()->toolTip(), saved);
}

QTEST_MAIN(TestTrayMainWindow)
#include "TrayMainWindow.moc"
