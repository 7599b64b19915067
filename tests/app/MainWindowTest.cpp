#include "app/MainWindow.h"
#include "app/HelpKeyFilter.h"
#include "scheduler/TaskStorage.h"
#include "support/Files.h"
#include "support/Modal.h"
#include "support/Service.h"
#include "support/Widgets.h"
#include "wizard/TaskWizard.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>

#include <functional>

using testsupport::child;

namespace {

TaskInfo taskNamed(const QString& name)
{
    TaskInfo task;
    task.name = name.toStdWString();
    return task;
}

// Runs `interact` on the wizard once its modal loop is running, then accepts or rejects
// it, the way a user would close the dialog.
void whenWizardOpens(bool accept, std::function<void(TaskWizard&)> interact = {})
{
    testsupport::onModal<TaskWizard>([accept, interact](TaskWizard* wizard) {
        if (interact)
            interact(*wizard);
        if (accept)
            wizard->accept();
        else
            wizard->reject();
    });
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void toolBar();
    void typicalRowsShowWhole_data();
    void typicalRowsShowWhole();
    void actionsFollowSelection_data();
    void actionsFollowSelection();
    void contextMenu_data();
    void contextMenu();
    void newTaskPosition_data();
    void newTaskPosition();
    void cloneTask_data();
    void cloneTask();
    void editOpensTheWizard_data();
    void editOpensTheWizard();
    void removeTask_data();
    void removeTask();
    void runNowPerformsTask();
    void closeWithoutTrayStaysAndSaves();
    void menuBarCarriesTrayMenu();
    void f1StartsHelpViewer();
    void failureNoticeInStatusBar();
    void saveFailureIsShown();
    void quitWithUnsavedChanges_data();
    void quitWithUnsavedChanges();

private:
    std::unique_ptr<MainWindow> makeWindow(int tasks);
    QTreeView* list(MainWindow& window) { return child<QTreeView>(&window, "tasksTreeWidget"); }
    QAction* action(MainWindow& window, const char* name)
    {
        return window.findChild<QAction*>(QString::fromLatin1(name));
    }
    QStringList rowNames(MainWindow& window);
};

void TestMainWindow::initTestCase()
{
    QVERIFY2(!QSystemTrayIcon::isSystemTrayAvailable(), "this test covers the window without a tray");
}

void TestMainWindow::init()
{
    testsupport::clearService();
    QSettings().clear();
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow(int tasks)
{
    for (int i = 0; i < tasks; ++i)
        TaskStorage::Instance().AddTask(taskNamed(QString::number(i)));
    return std::make_unique<MainWindow>();
}

QStringList TestMainWindow::rowNames(MainWindow& window)
{
    QStringList names;
    QAbstractItemModel* model = list(window)->model();
    for (int row = 0; row < model->rowCount(); ++row)
        names << model->index(row, 0).data().toString();
    return names;
}

void TestMainWindow::toolBar()
{
    auto window = makeWindow(0);
    auto* bar = child<QToolBar>(window.get(), "toolBar");
    QVERIFY(bar);
    QCOMPARE(window->toolBarArea(bar), Qt::RightToolBarArea);
    QVERIFY(!bar->isMovable());
    QVERIFY(!bar->isFloatable());
    QStringList entries;
    for (QAction* entry : bar->actions()) {
        entries << entry->text();
        QVERIFY2(entry->shortcut().isEmpty(), qPrintable(entry->text()));
    }
    QCOMPARE(entries, (QStringList{QStringLiteral("Запустить сейчас"), QStringLiteral("Остановить"),
                                   QStringLiteral("Приостановить"), QStringLiteral("Возобновить"),
                                   QStringLiteral("Новая задача"), QStringLiteral("Изменить задачу"),
                                   QStringLiteral("Скопировать задачу"), QStringLiteral("Удалить задачу"),
                                   QStringLiteral("Журнал"), QStringLiteral("Открыть папку журналов")}));
    QCOMPARE(window->windowTitle(), QStringLiteral("Планировщик задач КАЛВОР"));
}

void TestMainWindow::actionsFollowSelection_data()
{
    QTest::addColumn<int>("selectedRow");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("nothing selected") << -1 << false;
    QTest::newRow("row selected") << 1 << true;
    QTest::newRow("selection cleared again") << -2 << false;
}

void TestMainWindow::actionsFollowSelection()
{
    QFETCH(int, selectedRow);
    QFETCH(bool, enabled);
    auto window = makeWindow(3);
    QTreeView* view = list(*window);
    if (selectedRow >= 0) {
        view->setCurrentIndex(view->model()->index(selectedRow, 0));
    } else if (selectedRow == -2) {
        view->setCurrentIndex(view->model()->index(0, 0));
        view->selectionModel()->clearSelection();
    }
    QCOMPARE(action(*window, "actionRunNow")->isEnabled(), enabled);
    QCOMPARE(action(*window, "actionCloneTask")->isEnabled(), enabled);
    QCOMPARE(action(*window, "actionEditTask")->isEnabled(), enabled);
    QCOMPARE(action(*window, "actionRemoveTask")->isEnabled(), enabled);
    QCOMPARE(action(*window, "actionShowLog")->isEnabled(), enabled);
    QVERIFY(action(*window, "actionNewTask")->isEnabled());
    QVERIFY(action(*window, "actionOpenLogFolder")->isEnabled());
}

void TestMainWindow::typicalRowsShowWhole_data()
{
    QTest::addColumn<bool>("oldState");
    QTest::newRow("first start") << false;
    QTest::newRow("header saved by the two-column list") << true;
}

void TestMainWindow::typicalRowsShowWhole()
{
    QFETCH(bool, oldState);
    constexpr int kSavedNameWidth = 333;
    int stretchedTriggerWidth = 0;
    if (oldState) {
        // The state the list with only the name and trigger columns left behind: the
        // name column widened by the user, the trigger column stretched to the edge.
        QStandardItemModel twoColumns(1, 2);
        QTreeView oldView;
        oldView.setModel(&twoColumns);
        oldView.resize(1400, 300);
        oldView.header()->resizeSection(0, kSavedNameWidth);
        oldView.show();
        QVERIFY(QTest::qWaitForWindowExposed(&oldView));
        stretchedTriggerWidth = oldView.header()->sectionSize(1);
        QSettings().setValue(QStringLiteral("TasksTreeHeaderState"), oldView.header()->saveState());
    }
    TaskInfo weekly = taskNamed(QStringLiteral("Резервное копирование проектов"));
    WeeklyTrigger trigger;
    trigger.weekdays = {1, 3, 5};
    weekly.trigger = trigger;
    TaskStorage::Instance().AddTask(weekly);
    TaskStorage::Instance().AddTask(taskNamed(QStringLiteral("Экспорт в IFC")));
    auto window = makeWindow(0);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTreeView* view = list(*window);
    QHeaderView* header = view->header();
    QCOMPARE(header->count(), view->model()->columnCount());
    if (oldState) {
        QCOMPARE(header->sectionSize(0), kSavedNameWidth);
        // Stretched to the old window's edge, the trigger column would push the new ones away.
        QVERIFY(header->sectionSize(1) < stretchedTriggerWidth);
    }
    for (int column = 0; column < header->count(); ++column)
        QVERIFY2(header->sectionSize(column) >= header->sectionSizeHint(column), qPrintable(QString::number(column)));
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < view->model()->columnCount(); ++column) {
            const QModelIndex index = view->model()->index(row, column);
            const QString where =
                QStringLiteral("row %1, column %2: %3").arg(row).arg(column).arg(index.data().toString());
            QVERIFY2(!header->isSectionHidden(column), qPrintable(where));
            QVERIFY2(header->visualIndex(column) == column, qPrintable(where));
            QVERIFY2(view->visualRect(index).width() >= view->sizeHintForIndex(index).width(), qPrintable(where));
            // Narrowed by the user, a cell still offers its whole text.
            QCOMPARE(index.data(Qt::ToolTipRole), index.data());
        }
    }
}

void TestMainWindow::contextMenu_data()
{
    QTest::addColumn<bool>("select");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("nothing selected") << false
                                      << QStringList{QStringLiteral("Новая задача"),
                                                     QStringLiteral("Открыть папку журналов")};
    QTest::newRow("row selected") << true << QStringList{QStringLiteral("Новая задача"),
                                                         QStringLiteral("Запустить сейчас"),
                                                         QStringLiteral("Остановить"),
                                                         QStringLiteral("Приостановить"),
                                                         QStringLiteral("Изменить задачу"),
                                                         QStringLiteral("Скопировать задачу"),
                                                         QStringLiteral("Удалить задачу"),
                                                         QStringLiteral("Журнал"),
                                                         QStringLiteral("Открыть папку журналов")};
}

void TestMainWindow::contextMenu()
{
    QFETCH(bool, select);
    QFETCH(QStringList, entries);
    auto window = makeWindow(2);
    window->show();
    QTreeView* view = list(*window);
    if (select)
        view->setCurrentIndex(view->model()->index(0, 0));

    QStringList shown;
    QTimer::singleShot(0, [&shown] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY2(menu, "no context menu is open");
        for (QAction* entry : menu->actions())
            shown << entry->text();
        menu->close();
    });
    emit view->customContextMenuRequested(QPoint(5, 5));
    QCOMPARE(shown, entries);
    QCOMPARE(rowNames(*window).size(), 2); // closing the menu triggered nothing
}

void TestMainWindow::newTaskPosition_data()
{
    QTest::addColumn<int>("selectedRow");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("expectedRow");
    QTest::newRow("after the selected row") << 2 << 0 << 3;
    QTest::newRow("after the selected trigger cell") << 2 << 1 << 3;
    QTest::newRow("after the last row") << 4 << 0 << 5;
    QTest::newRow("nothing selected") << -1 << 0 << 5;
}

void TestMainWindow::newTaskPosition()
{
    QFETCH(int, selectedRow);
    QFETCH(int, column);
    QFETCH(int, expectedRow);
    auto window = makeWindow(5);
    QTreeView* view = list(*window);
    if (selectedRow >= 0)
        view->setCurrentIndex(view->model()->index(selectedRow, column));

    QString title;
    whenWizardOpens(true, [&title](TaskWizard& wizard) {
        title = wizard.windowTitle();
        wizard.GetTaskInfo().name = L"новая";
    });
    action(*window, "actionNewTask")->trigger();
    QCOMPARE(title, QStringLiteral("Создание задачи"));

    QCOMPARE(rowNames(*window).size(), 6);
    QCOMPARE(rowNames(*window).at(expectedRow), QStringLiteral("новая"));
    QCOMPARE(view->currentIndex().row(), expectedRow);
    QVERIFY(view->selectionModel()->isRowSelected(expectedRow, QModelIndex()));
    QCOMPARE(view->selectionModel()->selectedIndexes().size(), view->model()->columnCount());
    QCOMPARE(TaskStorage::Instance().Tasks().size(), std::size_t(6));
    QVERIFY(action(*window, "actionRemoveTask")->isEnabled());
}

void TestMainWindow::cloneTask_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("accepted") << true;
    QTest::newRow("cancelled") << false;
}

void TestMainWindow::cloneTask()
{
    QFETCH(bool, accept);
    TaskStorage::Instance().AddTask(taskNamed(QStringLiteral("Backup")));
    auto window = makeWindow(1);
    QTreeView* view = list(*window);
    view->setCurrentIndex(view->model()->index(0, 1));

    QString offered;
    whenWizardOpens(accept,
                    [&offered](TaskWizard& wizard) { offered = QString::fromStdWString(wizard.GetTaskInfo().name); });
    action(*window, "actionCloneTask")->trigger();

    QCOMPARE(offered, QStringLiteral("Backup (копия)"));
    if (accept) {
        QCOMPARE(rowNames(*window),
                 (QStringList{QStringLiteral("Backup"), QStringLiteral("Backup (копия)"), QStringLiteral("0")}));
        QCOMPARE(view->currentIndex().row(), 1);
        QVERIFY(view->selectionModel()->isRowSelected(1, QModelIndex()));
    } else {
        QCOMPARE(rowNames(*window), (QStringList{QStringLiteral("Backup"), QStringLiteral("0")}));
    }
    QCOMPARE(TaskStorage::Instance().Tasks().size(), std::size_t(accept ? 3 : 2));
}

void TestMainWindow::editOpensTheWizard_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("accept");
    QTest::newRow("double click on the name, accepted") << QStringLiteral("double click") << 0 << true;
    QTest::newRow("double click on the trigger, accepted") << QStringLiteral("double click") << 1 << true;
    QTest::newRow("double click, cancelled") << QStringLiteral("double click") << 0 << false;
    QTest::newRow("Enter") << QStringLiteral("Enter") << 1 << true;
    QTest::newRow("action") << QStringLiteral("action") << 0 << true;
}

void TestMainWindow::editOpensTheWizard()
{
    QFETCH(QString, how);
    QFETCH(int, column);
    QFETCH(bool, accept);
    auto window = makeWindow(3);
    QTreeView* view = list(*window);
    const TaskInfo* stored = TaskStorage::Instance().Tasks().front().get();
    const QModelIndex index = view->model()->index(1, column);
    view->setCurrentIndex(index);

    QString offered;
    QString title;
    QString finish;
    whenWizardOpens(accept, [&](TaskWizard& wizard) {
        offered = QString::fromStdWString(wizard.GetTaskInfo().name);
        title = wizard.windowTitle();
        finish = wizard.buttonText(QWizard::FinishButton);
        wizard.GetTaskInfo().name = L"правка";
    });
    if (how == QLatin1String("double click"))
        emit view->doubleClicked(index);
    else if (how == QLatin1String("Enter"))
        QTest::keyClick(view, Qt::Key_Return);
    else
        action(*window, "actionEditTask")->trigger();

    QCOMPARE(offered, QStringLiteral("1"));
    QCOMPARE(title, QStringLiteral("Изменение задачи"));
    QCOMPARE(finish, QStringLiteral("Сохранить"));
    const QString expected = accept ? QStringLiteral("правка") : QStringLiteral("1");
    QCOMPARE(rowNames(*window), (QStringList{QStringLiteral("0"), expected, QStringLiteral("2")}));
    QCOMPARE(QString::fromStdWString(std::next(TaskStorage::Instance().Tasks().begin())->get()->name), expected);
    QCOMPARE(TaskStorage::Instance().Tasks().front().get(), stored);
}

void TestMainWindow::removeTask_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("yes") << int(QMessageBox::Yes);
    QTest::newRow("no") << int(QMessageBox::No);
    QTest::newRow("closed") << int(QMessageBox::Escape);
    QTest::newRow("Enter takes the default") << int(QMessageBox::Default);
}

void TestMainWindow::removeTask()
{
    QFETCH(int, answer);
    auto window = makeWindow(3);
    QTreeView* view = list(*window);
    view->setCurrentIndex(view->model()->index(1, 0));
    QString asked;
    testsupport::onModal<QMessageBox>([&asked, answer](QMessageBox* box) {
        asked = box->text();
        if (answer == QMessageBox::Escape)
            box->reject();
        else if (answer == QMessageBox::Default)
            QTest::keyClick(box, Qt::Key_Return);
        else
            box->button(static_cast<QMessageBox::StandardButton>(answer))->click();
    });
    action(*window, "actionRemoveTask")->trigger();
    QCOMPARE(asked, QStringLiteral("Удалить задачу «1»?"));
    const bool removed = answer == QMessageBox::Yes;
    const QStringList expected = removed ? QStringList{QStringLiteral("0"), QStringLiteral("2")}
                                         : QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")};
    QCOMPARE(rowNames(*window), expected);
    QCOMPARE(TaskStorage::Instance().Tasks().size(), std::size_t(removed ? 2 : 3));
    // Whatever the view selects afterwards, the actions follow it.
    QCOMPARE(action(*window, "actionRemoveTask")->isEnabled(), view->selectionModel()->hasSelection());
}

void TestMainWindow::runNowPerformsTask()
{
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("ran"));
    TaskInfo task = taskNamed(QStringLiteral("touch"));
    CommandAction command;
    command.executable = "/usr/bin/touch";
    command.arguments = marker.toStdWString();
    task.action = command;
    task.starting_point = kNeverInstant - 1; // far ahead: only run-now runs it
    TaskStorage::Instance().AddTask(task);
    auto window = std::make_unique<MainWindow>();
    QTreeView* view = list(*window);
    view->setCurrentIndex(view->model()->index(0, 0));
    action(*window, "actionRunNow")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
}

void TestMainWindow::closeWithoutTrayStaysAndSaves()
{
    {
        auto window = makeWindow(1);
        QVERIFY(window->isVisible()); // no tray: on screen from the start
        window->resize(640, 480);
        list(*window)->header()->resizeSection(0, 123);
        window->close();
        QCoreApplication::processEvents();
        QTest::qWait(20);
        QVERIFY(window->isVisible());
        QSettings settings;
        QVERIFY(!settings.value(QStringLiteral("MainWindowGeometry")).toByteArray().isEmpty());
        QVERIFY(!settings.value(QStringLiteral("TasksTreeHeaderState")).toByteArray().isEmpty());
        list(*window)->header()->resizeSection(0, 77);
    } // the destructor writes the state once more
    auto window = std::make_unique<MainWindow>();
    QCOMPARE(list(*window)->header()->sectionSize(0), 77);
    QCOMPARE(window->size(), QSize(640, 480));
}

void TestMainWindow::menuBarCarriesTrayMenu()
{
    auto window = makeWindow(0);
    const QList<QAction*> menus = window->menuBar()->actions();
    QCOMPARE(menus.size(), 1);
    QCOMPARE(menus.at(0)->text(), QStringLiteral("&Настройки"));
    QMenu* menu = menus.at(0)->menu();
    emit menu->aboutToShow();
    QStringList entries;
    for (QAction* entry : menu->actions())
        entries << (entry->isSeparator() ? QStringLiteral("-") : entry->text());
    QCOMPARE(entries,
             (QStringList{QStringLiteral("Скрыть"), QStringLiteral("-"), QStringLiteral("Запускать при старте системы"),
                          QStringLiteral("-"), QStringLiteral("Выход")}));
    menu->actions().at(0)->trigger();
    QCoreApplication::processEvents();
    QVERIFY(window->isVisible());
    QVERIFY(!window->isMinimized());
}

void TestMainWindow::f1StartsHelpViewer()
{
    QTemporaryDir bin;
    const QString record = bin.filePath(QStringLiteral("calls"));
    // The viewer runs until the marker goes.
    const QString marker = bin.filePath(QStringLiteral("running"));
    QVERIFY(QFile(marker).open(QIODevice::WriteOnly));
    testsupport::writeScript(bin.filePath(QStringLiteral("hh")),
                             "printf '%s|%s\\n' \"$#\" \"$1\" >> '" + QFile::encodeName(record) + "'\n" +
                                 "while [ -e '" + QFile::encodeName(marker) + "' ]; do sleep 0.05; done\n");
    qputenv("PATH", QFile::encodeName(bin.path()) + ':' + qgetenv("PATH"));

    HelpKeyFilter filter;
    qApp->installEventFilter(&filter);
    auto window = makeWindow(1);
    window->show();
    QTreeView* view = list(*window);

    // Neither pressing F1 nor the releases a held key repeats start the viewer.
    QTest::keyPress(view, Qt::Key_F1);
    QKeyEvent repeated(QEvent::KeyRelease, Qt::Key_F1, Qt::NoModifier, QString(), true);
    QVERIFY(QApplication::sendEvent(view, &repeated));
    QTest::qWait(300);
    QVERIFY2(!QFile::exists(record), "pressing or holding F1 must not start the viewer");

    const QByteArray expected =
        "1|" +
        QFile::encodeName(
            QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Help/KalvorScheduler.chm"))) +
        '\n';
    QTest::keyRelease(view, Qt::Key_F1, Qt::ShiftModifier);
    QTRY_COMPARE_WITH_TIMEOUT(QFile(record).size(), qint64(expected.size()), 5000);
    // While that viewer runs, F1 starts no second one.
    QTest::keyRelease(view, Qt::Key_F1);
    QTest::qWait(300);
    QCOMPARE(QFile(record).size(), qint64(expected.size()));

    QVERIFY(QFile::remove(marker));
    QTest::qWait(500);
    whenWizardOpens(false, [](TaskWizard& wizard) { QTest::keyRelease(&wizard, Qt::Key_F1); });
    action(*window, "actionNewTask")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(QFile(record).size(), qint64(2 * expected.size()), 5000);
    QFile calls(record);
    QVERIFY(calls.open(QIODevice::ReadOnly));
    QCOMPARE(calls.readAll(), expected + expected);
    qApp->removeEventFilter(&filter);
}

void TestMainWindow::failureNoticeInStatusBar()
{
    TaskInfo failing = taskNamed(QStringLiteral("Без папки"));
    failing.starting_point = (QDateTime::currentSecsSinceEpoch() + 86400) * kNanosPerSecond;
    CommandAction command;
    command.executable = "/bin/true";
    command.working_directory = "/nonexistent/kalvor-folder";
    failing.action = command;
    const TaskInfo* stored = TaskStorage::Instance().AddTask(failing);
    auto window = makeWindow(0);
    TaskStorage::Instance().RunNow(stored);
    QTRY_VERIFY_WITH_TIMEOUT(window->statusBar()->currentMessage().contains(QStringLiteral("«Без папки»")), 10000);
    QVERIFY(window->statusBar()->currentMessage().contains(QStringLiteral("/nonexistent/kalvor-folder")));
}

void TestMainWindow::saveFailureIsShown()
{
    auto window = makeWindow(1);
    // A folder where the store file belongs: no save can replace it.
    const QString store = QString::fromStdString(TaskStorage::Instance().StorePath().u8string());
    QFile::remove(store);
    QVERIFY(QDir().mkpath(store));
    QTreeView* view = list(*window);
    view->setCurrentIndex(view->model()->index(0, 0));
    whenWizardOpens(true);
    action(*window, "actionNewTask")->trigger();
    QVERIFY(QDir().rmdir(store));
    QMessageBox* box = nullptr;
    QTRY_VERIFY((box = child<QMessageBox>(window.get(), "saveFailedMessage")) != nullptr);
    QVERIFY(box->isVisible());
    QVERIFY2(box->text().contains(QStringLiteral("не сохранено")), qPrintable(box->text()));
    box->close();
}

void TestMainWindow::quitWithUnsavedChanges_data()
{
    QTest::addColumn<bool>("storeBack"); // the store can be written again by the time of quitting
    QTest::addColumn<int>("answer");     // NoButton: no question may come
    QTest::addColumn<bool>("quits");
    QTest::newRow("saved at the last try") << true << int(QMessageBox::NoButton) << true;
    QTest::newRow("still failing, kept") << false << int(QMessageBox::No) << false;
    QTest::newRow("still failing, thrown away") << false << int(QMessageBox::Yes) << true;
}

void TestMainWindow::quitWithUnsavedChanges()
{
    QFETCH(bool, storeBack);
    QFETCH(int, answer);
    QFETCH(bool, quits);

    auto window = makeWindow(1);
    TaskStorage& storage = TaskStorage::Instance();
    // A folder where the store file belongs: no save can replace it.
    const QString store = QString::fromStdString(storage.StorePath().u8string());
    QFile::remove(store);
    QVERIFY(QDir().mkpath(store));
    storage.AddTask(taskNamed(QStringLiteral("Несохранённая")));
    auto* mark = child<QLabel>(window.get(), "unsavedChangesLabel");
    QTRY_VERIFY(mark && mark->isVisible());
    if (storeBack)
        QVERIFY(QDir().rmdir(store));

    const auto seen = testsupport::closeNextMessageBox(QMessageBox::StandardButton(answer));
    QAction* quit = window->menuBar()->actions().at(0)->menu()->actions().last();
    QTimer::singleShot(0, quit, &QAction::trigger);
    QObject giveUp; // a program that stays ends the loop itself
    QTimer::singleShot(2000, &giveUp, [] { QCoreApplication::exit(7); });
    const int code = QApplication::exec();
    *seen->armed = false;
    QDir().rmdir(store);

    QCOMPARE(code == 0, quits);
    QCOMPARE(seen->seen, answer != QMessageBox::NoButton);
    if (seen->seen)
        QCOMPARE(seen->defaultButton, QMessageBox::No);
    QCOMPARE(storage.HasUnsavedChanges(), !storeBack);
    QCOMPARE(mark->isVisible(), !storeBack);
}

QTEST_MAIN(TestMainWindow)
#include "MainWindowTest.moc"
