#include "MainWindow.h"

#include "AppResources.h"
#include "AutoStart.h"
#include "TasksListModel.h"
#include "scheduler/TaskStorage.h"
#include "ui_MainWindow.h"
#include "wizard/TaskWizard.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QStyle>
#include <QTimer>

#include <algorithm>

namespace {

const QString kGeometryKey = QStringLiteral("MainWindowGeometry");

// The wizard reaches the service only through this.
WizardContext storageWizardContext()
{
    WizardContext context;
    context.core = TaskStorage::Instance().Core();
    context.storedTasks = [] {
        std::vector<const TaskInfo*> tasks;
        for (const auto& task : TaskStorage::Instance().Tasks())
            tasks.push_back(task.get());
        return tasks;
    };
    context.nextRun = [](const TaskInfo& task, Instant now) { return task.NextRun(now); };
    context.canRunOnlyOnWorkingDays = [](const TaskInfo& task) { return task.CanRunOnlyOnWorkingDays(); };
    return context;
}
const QString kHeaderStateKey = QStringLiteral("TasksTreeHeaderState");
// How often a program without a tray looks for one that appeared since.
constexpr int kTrayWatchInterval = 1000;

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    initAppResources();
    ui->setupUi(this);

    model = new TasksListModel(this);
    ui->tasksTreeWidget->setModel(model);

    ui->tasksTreeWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->tasksTreeWidget, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);

    // Listed on the view as the form intends; the custom policy keeps them out of automatic menus.
    ui->tasksTreeWidget->addAction(ui->actionRunNow);
    ui->tasksTreeWidget->addAction(ui->actionNewTask);
    ui->tasksTreeWidget->addAction(ui->actionRemoveTask);

    connect(ui->actionRunNow, &QAction::triggered, this, &MainWindow::runTaskNow);
    connect(ui->actionNewTask, &QAction::triggered, this, &MainWindow::newTask);
    connect(ui->actionCloneTask, &QAction::triggered, this, &MainWindow::cloneTask);
    connect(ui->actionEditTask, &QAction::triggered, this,
            [this] { editTask(ui->tasksTreeWidget->selectionModel()->currentIndex()); });
    // Enter on a row edits it, as a double click does.
    ui->tasksTreeWidget->installEventFilter(this);
    connect(ui->actionRemoveTask, &QAction::triggered, this, &MainWindow::removeTask);
    connect(ui->tasksTreeWidget->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::updateActions);
    connect(ui->tasksTreeWidget, &QAbstractItemView::doubleClicked, this, &MainWindow::editTask);

    QMenu* menu = createTrayMenu();
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        createTrayIcon(menu);
    } else {
        hideWindow();
    }
    // Started at login before the panel, the program finds no tray yet: it keeps looking,
    // and moves into the tray once one is there. A headless platform never gets one.
    if (!trayIcon && QGuiApplication::platformName() != QLatin1String("offscreen")) {
        auto* trayWatch = new QTimer(this);
        connect(trayWatch, &QTimer::timeout, this, [this, trayWatch, menu] {
            if (!QSystemTrayIcon::isSystemTrayAvailable())
                return;
            trayWatch->deleteLater();
            auto* trayMenu = new QMenu(this);
            trayMenu->addActions(menu->actions());
            connect(trayMenu, &QMenu::aboutToShow, this, &MainWindow::updateTrayMenu);
            createTrayIcon(trayMenu);
        });
        trayWatch->start(kTrayWatchInterval);
    }

    restoreSettings();
    updateActions();

    QLayout* toolBarLayout = ui->toolBar->layout();
    for (int i = 0; i < toolBarLayout->count(); ++i)
        toolBarLayout->itemAt(i)->setAlignment(Qt::AlignLeft);
}

MainWindow::~MainWindow()
{
    saveSettings();
}

void MainWindow::hideWindow()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        return;
    }
    // Without a tray there is nowhere to hide: the window stays on screen.
    showMinimized();
    showNormal();
}

void MainWindow::showWindow()
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (isHidden())
        return;
    saveSettings();
    event->ignore();
    // Hidden once control is back in the event loop, not inside the close handling.
    QTimer::singleShot(0, this, &MainWindow::hideWindow);
}

void MainWindow::updateActions()
{
    const bool selected = ui->tasksTreeWidget->selectionModel()->hasSelection();
    ui->actionRunNow->setEnabled(selected);
    ui->actionCloneTask->setEnabled(selected);
    ui->actionEditTask->setEnabled(selected);
    ui->actionRemoveTask->setEnabled(selected);
}

void MainWindow::saveSettings()
{
    QSettings settings;
    settings.setValue(kGeometryKey, saveGeometry());
    settings.setValue(kHeaderStateKey, ui->tasksTreeWidget->header()->saveState());
}

void MainWindow::restoreSettings()
{
    QSettings settings;
    QHeaderView* header = ui->tasksTreeWidget->header();
    if (!header->restoreState(settings.value(kHeaderStateKey).toByteArray()))
        header->resizeSection(0, typicalNameWidth());
    if (!restoreGeometry(settings.value(kGeometryKey).toByteArray())) {
        // First start: wide enough for a typical name and a weekly sentence side by side.
        QTreeView* view = ui->tasksTreeWidget;
        const int columns = header->sectionSize(0) + typicalTriggerWidth();
        const int chrome = ui->toolBar->sizeHint().width() + 2 * view->frameWidth() +
                           style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                           4 * style()->pixelMetric(QStyle::PM_LayoutLeftMargin);
        resize(std::max(width(), columns + chrome), height());
    }
}

int MainWindow::typicalNameWidth() const
{
    const QFontMetrics metrics(ui->tasksTreeWidget->font());
    return metrics.horizontalAdvance(tr("Резервное копирование проектов")) + 2 * metrics.averageCharWidth();
}

int MainWindow::typicalTriggerWidth() const
{
    TaskInfo typical;
    WeeklyTrigger weekly;
    weekly.weekdays = {1, 3, 5};
    typical.trigger = weekly;
    const QFontMetrics metrics(ui->tasksTreeWidget->font());
    return metrics.horizontalAdvance(TasksListModel::triggerDescription(typical)) + 2 * metrics.averageCharWidth();
}

void MainWindow::runTaskNow()
{
    const QModelIndex current = ui->tasksTreeWidget->selectionModel()->currentIndex();
    if (current.isValid())
        model->runTask(current);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->tasksTreeWidget && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        const QModelIndex current = ui->tasksTreeWidget->selectionModel()->currentIndex();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && current.isValid()) {
            editTask(current);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainWindow::runWizard(TaskInfo& task, bool editing)
{
    TaskWizard wizard(task, storageWizardContext(), this);
    if (editing)
        wizard.SetEditing();
    if (!wizard.exec())
        return false;
    task = wizard.GetTaskInfo();
    return true;
}

void MainWindow::newTask()
{
    TaskInfo task;
    if (!runWizard(task))
        return;
    QItemSelectionModel* selection = ui->tasksTreeWidget->selectionModel();
    if (selection->hasSelection()) {
        const QModelIndex first = selection->selectedIndexes().constFirst();
        model->insertTask(first.row() + 1, first.parent(), task);
        selection->setCurrentIndex(model->index(first.row() + 1, first.column(), first.parent()),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        return;
    }
    const QModelIndex root = ui->tasksTreeWidget->rootIndex();
    const int rows = model->rowCount(root);
    model->insertTask(rows, root, task);
    selection->setCurrentIndex(model->index(rows, 0, root),
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void MainWindow::cloneTask()
{
    const QModelIndex current = ui->tasksTreeWidget->selectionModel()->currentIndex();
    const TaskInfo* stored = model->taskAt(current);
    if (!stored)
        return;
    TaskInfo copy = TaskStorage::Instance().Copy(stored);
    copy.name = tr("%1 (копия)").arg(QString::fromStdWString(copy.name)).toStdWString();
    if (!runWizard(copy))
        return;
    model->insertTask(current.row() + 1, current.parent(), copy);
    ui->tasksTreeWidget->selectionModel()->setCurrentIndex(current.sibling(current.row() + 1, current.column()),
                                                           QItemSelectionModel::ClearAndSelect |
                                                               QItemSelectionModel::Rows);
}

void MainWindow::editTask(const QModelIndex& index)
{
    const TaskInfo* stored = model->taskAt(index);
    if (!stored)
        return;
    TaskInfo edited = TaskStorage::Instance().Copy(stored);
    if (runWizard(edited, true))
        model->updateTask(index, edited);
}

void MainWindow::removeTask()
{
    const QModelIndex current = ui->tasksTreeWidget->selectionModel()->currentIndex();
    const TaskInfo* stored = model->taskAt(current);
    if (!stored)
        return;
    // The task and its log go for good; the next row is selected at once, so a second
    // click must not take it along unasked.
    const QString question = tr("Удалить задачу «%1»?").arg(QString::fromStdWString(stored->name));
    if (QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    if (model->removeRows(current.row(), 1, current.parent()))
        updateActions();
}

void MainWindow::showContextMenu(const QPoint& position)
{
    QList<QAction*> actions{ui->actionNewTask};
    if (ui->tasksTreeWidget->selectionModel()->hasSelection())
        actions << ui->actionRunNow << ui->actionEditTask << ui->actionCloneTask << ui->actionRemoveTask;
    QMenu::exec(actions, ui->tasksTreeWidget->viewport()->mapToGlobal(position), nullptr, nullptr);
}

QMenu* MainWindow::createTrayMenu()
{
    showHideAction = new QAction(this);
    connect(showHideAction, &QAction::triggered, this, &MainWindow::toggleWindow);

    autoStartAction = new QAction(tr("Запускать при старте системы"), this);
    autoStartAction->setCheckable(true);
    connect(autoStartAction, &QAction::triggered, this, [this](bool checked) {
        const QString reason = setupAutoStartLinux(checked);
        if (reason.isEmpty())
            return;
        autoStartAction->setChecked(autoStartEnabled());
        QMessageBox::warning(
            this, windowTitle(),
            (checked ? tr("Не удалось включить автозапуск.") : tr("Не удалось выключить автозапуск.")) +
                QLatin1Char('\n') + reason);
    });

    auto* quitAction = new QAction(tr("Выход"), this);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);

    QMenu* menu = QSystemTrayIcon::isSystemTrayAvailable() ? new QMenu(this) : menuBar()->addMenu(tr("&Настройки"));
    menu->addAction(showHideAction);
    menu->addSeparator();
    menu->addAction(autoStartAction);
    menu->addSeparator();
    menu->addAction(quitAction);
    connect(menu, &QMenu::aboutToShow, this, &MainWindow::updateTrayMenu);
    return menu;
}

void MainWindow::createTrayIcon(QMenu* menu)
{
    trayIcon = new QSystemTrayIcon(windowIcon(), this);
    trayIcon->setContextMenu(menu);
    trayIcon->setVisible(true);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::onTrayActivated);
    trayClickTimer = new QTimer(this);
    trayClickTimer->setSingleShot(true);
    connect(trayClickTimer, &QTimer::timeout, this, &MainWindow::toggleWindow);
}

void MainWindow::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    // The first click of a double click arrives as a Trigger: a click toggles only once no
    // second click followed within the double-click interval; a double click does nothing.
    if (reason == QSystemTrayIcon::Trigger) {
        trayClickTimer->start(QApplication::doubleClickInterval());
    } else if (reason == QSystemTrayIcon::DoubleClick) {
        trayClickTimer->stop();
    }
}

void MainWindow::updateTrayMenu()
{
    showHideAction->setText(isVisible() ? tr("Скрыть") : tr("Показать"));
    autoStartAction->setChecked(autoStartEnabled());
}

void MainWindow::toggleWindow()
{
    if (isHidden())
        showWindow();
    else
        hideWindow();
}
