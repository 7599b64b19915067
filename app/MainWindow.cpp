#include "MainWindow.h"

#include "AppResources.h"
#include "AutoStart.h"
#include "LogViewer.h"
#include "ServiceWizardContext.h"
#include "TasksListModel.h"
#include "common/Text.h"
#include "scheduler/TaskEvents.h"
#include "scheduler/TaskStorage.h"
#include "ui_MainWindow.h"
#include "wizard/TaskWizard.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmapCache>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString kGeometryKey = QStringLiteral("MainWindowGeometry");

const QString kHeaderStateKey = QStringLiteral("TasksTreeHeaderState");
const QString kHeaderColumnsKey = QStringLiteral("TasksTreeHeaderColumns");
// How often a program without a tray looks for one that appeared since.
constexpr int kTrayWatchInterval = 1000;

// Milliseconds on the monotonic clock: the failure notices' clock.
qint64 monotonicMs()
{
    QElapsedTimer now;
    now.start();
    return now.msecsSinceReference();
}

// The program's icon with a warning sign over its lower right quarter.
QIcon warningVariant(const QIcon& icon)
{
    QIcon result;
    const QIcon sign = QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = icon.pixmap(side, side);
        if (pixmap.isNull()) {
            pixmap = QPixmap(side, side);
            pixmap.fill(Qt::transparent);
        }
        QPainter painter(&pixmap);
        const int half = side * 3 / 5;
        painter.drawPixmap(side - half, side - half, sign.pixmap(half, half));
        painter.end();
        result.addPixmap(pixmap);
    }
    return result;
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , notices(monotonicMs)
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
    ui->tasksTreeWidget->addAction(ui->actionShowLog);

    ui->actionShowLog->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
    ui->actionOpenLogFolder->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    connect(ui->actionShowLog, &QAction::triggered, this, &MainWindow::showCurrentLog);
    connect(ui->actionOpenLogFolder, &QAction::triggered, this, &MainWindow::openLogFolder);

    connect(ui->actionRunNow, &QAction::triggered, this, &MainWindow::runTaskNow);
    ui->actionStopTask->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    ui->actionPauseTask->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
    ui->actionResumeTask->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    connect(ui->actionStopTask, &QAction::triggered, this,
            [this] { model->stopTask(ui->tasksTreeWidget->selectionModel()->currentIndex()); });
    connect(ui->actionPauseTask, &QAction::triggered, this,
            [this] { model->setPaused(ui->tasksTreeWidget->selectionModel()->currentIndex(), true); });
    connect(ui->actionResumeTask, &QAction::triggered, this,
            [this] { model->setPaused(ui->tasksTreeWidget->selectionModel()->currentIndex(), false); });
    // Running and paused change while a row stays selected.
    connect(model, &QAbstractItemModel::dataChanged, this, &MainWindow::updateActions);
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

    TaskEvents& events = TaskStorage::Instance().Events();
    connect(&events, &TaskEvents::runEnded, this, &MainWindow::onRunEnded);
    connect(&events, &TaskEvents::saveFailed, this, &MainWindow::onSaveFailed);
    connect(&events, &TaskEvents::saved, this, &MainWindow::updateSaveState);
    noticeTimer = new QTimer(this);
    noticeTimer->setSingleShot(true);
    connect(noticeTimer, &QTimer::timeout, this, &MainWindow::showFailureNotice);
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        notices.restore(model->taskAt(index), model->lastRunAt(index));
    }

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
            fillTrayMenu(trayMenu);
            createTrayIcon(trayMenu);
            // The tray menu takes over: the menu bar that stood in for it goes, with its menu.
            if (menuWidget() && menu->parent() == menuWidget())
                setMenuBar(nullptr);
        });
        trayWatch->start(kTrayWatchInterval);
    }

    restoreSettings();
    updateActions();

    // A new user learns from the empty list how to fill it.
    emptyHint = new QLabel(tr("Задач пока нет.\nНажмите «Новая задача», чтобы создать первую."));
    emptyHint->setObjectName(QStringLiteral("emptyListHint"));
    emptyHint->setAlignment(Qt::AlignCenter);
    emptyHint->setWordWrap(true);
    emptyHint->setEnabled(false);
    emptyHint->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* hintLayout = new QVBoxLayout(ui->tasksTreeWidget->viewport());
    hintLayout->addWidget(emptyHint);
    connect(model, &QAbstractItemModel::rowsInserted, this, &MainWindow::updateEmptyHint);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateEmptyHint);
    connect(model, &QAbstractItemModel::modelReset, this, &MainWindow::updateEmptyHint);
    updateEmptyHint();
    updateSaveState();

    QLayout* toolBarLayout = ui->toolBar->layout();
    for (int i = 0; i < toolBarLayout->count(); ++i)
        toolBarLayout->itemAt(i)->setAlignment(Qt::AlignLeft);
    // The window starts hidden: the icons loaded above need no cached pixmaps (see hideWindow).
    QPixmapCache::clear();
}

MainWindow::~MainWindow()
{
    saveSettings();
}

void MainWindow::hideWindow()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        // Pixmaps the window drew stay cached, and while any does, the cache wakes the
        // program every 30 seconds to look at them: a hidden window needs none of them.
        QPixmapCache::clear();
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

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!fitColumnsOnShow)
        return;
    fitColumnsOnShow = false;
    // The list's width is known once the window is laid out.
    QTimer::singleShot(0, this, &MainWindow::fitColumnsToView);
}

void MainWindow::fitColumnsToView()
{
    QTreeView* view = ui->tasksTreeWidget;
    QHeaderView* header = view->header();
    int excess = -view->viewport()->width();
    for (int column = 0; column < header->count(); ++column)
        excess += header->isSectionHidden(column) ? 0 : header->sectionSize(column);
    for (const int column : {int(TasksListModel::TriggerColumn), int(TasksListModel::NameColumn)}) {
        if (excess <= 0)
            break;
        const int size = header->sectionSize(column);
        const int cut = std::min(excess, std::max(0, size - header->sectionSizeHint(column)));
        header->resizeSection(column, size - cut);
        excess -= cut;
    }
}

void MainWindow::updateEmptyHint()
{
    emptyHint->setVisible(model->rowCount() == 0);
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
    const QModelIndex current = ui->tasksTreeWidget->selectionModel()->currentIndex();
    const bool known = selected && model->taskAt(current) != nullptr;
    const bool paused = known && model->pausedAt(current);
    ui->actionStopTask->setEnabled(known && model->lastRunAt(current).outcome == RunOutcome::Running);
    ui->actionPauseTask->setEnabled(known && !paused);
    ui->actionResumeTask->setEnabled(known && paused);
    ui->actionCloneTask->setEnabled(selected);
    ui->actionEditTask->setEnabled(selected);
    ui->actionRemoveTask->setEnabled(selected);
    ui->actionShowLog->setEnabled(selected);
}

void MainWindow::saveSettings()
{
    QSettings settings;
    settings.setValue(kGeometryKey, saveGeometry());
    settings.setValue(kHeaderStateKey, ui->tasksTreeWidget->header()->saveState());
    settings.setValue(kHeaderColumnsKey, ui->tasksTreeWidget->header()->count());
}

void MainWindow::restoreSettings()
{
    QSettings settings;
    QHeaderView* header = ui->tasksTreeWidget->header();
    // A state saved by the list with only the name and trigger columns carries no count.
    const int savedColumns = settings.value(kHeaderColumnsKey, 2).toInt();
    int typicalFrom = 0;
    fitColumnsOnShow = true;
    if (header->restoreState(settings.value(kHeaderStateKey).toByteArray())) {
        // Widths the user chose stay as they are.
        fitColumnsOnShow = false;
        // The columns added since get typical widths, and so does the former last column:
        // it was stretched to the window's edge and would push the new ones out of sight.
        typicalFrom = savedColumns < header->count() ? std::max(1, savedColumns - 1) : header->count();
    }
    for (int column = typicalFrom; column < header->count(); ++column)
        header->resizeSection(column, typicalWidth(column));
    if (!restoreGeometry(settings.value(kGeometryKey).toByteArray())) {
        // First start: wide enough for a typical row whole, as far as the screen allows.
        QTreeView* view = ui->tasksTreeWidget;
        int columns = 0;
        for (int column = 0; column < header->count(); ++column)
            columns += header->sectionSize(column);
        const int chrome = ui->toolBar->sizeHint().width() + 2 * view->frameWidth() +
                           style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                           4 * style()->pixelMetric(QStyle::PM_LayoutLeftMargin);
        int wanted = std::max(width(), columns + chrome);
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            wanted = std::min(wanted, std::max(width(), screen->availableGeometry().width()));
        resize(wanted, height());
    }
}

int MainWindow::typicalWidth(int column) const
{
    const QFontMetrics metrics(ui->tasksTreeWidget->font());
    const int padding = 2 * metrics.averageCharWidth();
    const int icon = ui->tasksTreeWidget->iconSize().isValid() ? ui->tasksTreeWidget->iconSize().width()
                                                               : style()->pixelMetric(QStyle::PM_SmallIconSize);
    int width = 0;
    switch (column) {
    case TasksListModel::NameColumn:
        width = metrics.horizontalAdvance(tr("Резервное копирование проектов")) + icon + padding;
        break;
    case TasksListModel::TriggerColumn: {
        TaskInfo typical;
        WeeklyTrigger weekly;
        weekly.weekdays = {1, 3, 5};
        typical.trigger = weekly;
        width = metrics.horizontalAdvance(TasksListModel::triggerDescription(typical)) + padding;
        break;
    }
    case TasksListModel::NextRunColumn:
    case TasksListModel::LastRunColumn:
        width = metrics.horizontalAdvance(QStringLiteral("00.00.0000 00:00")) + padding;
        break;
    case TasksListModel::ResultColumn:
        width = metrics.horizontalAdvance(TasksListModel::outcomeText(RunOutcome::Running)) + icon + padding;
        break;
    default:
        break;
    }
    return std::max(width, ui->tasksTreeWidget->header()->sectionSizeHint(column));
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
    TaskWizard wizard(task, serviceWizardContext(TaskStorage::Instance()), this);
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
    if (model->removeRows(current.row(), 1, current.parent())) {
        updateActions();
        pruneFailures();
    }
}

void MainWindow::showContextMenu(const QPoint& position)
{
    QList<QAction*> actions{ui->actionNewTask};
    if (ui->tasksTreeWidget->selectionModel()->hasSelection())
        actions << ui->actionRunNow << ui->actionStopTask
                << (ui->actionResumeTask->isEnabled() ? ui->actionResumeTask : ui->actionPauseTask)
                << ui->actionEditTask << ui->actionCloneTask << ui->actionRemoveTask << ui->actionShowLog;
    actions << ui->actionOpenLogFolder;
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

    quitAction = new QAction(tr("Выход"), this);
    connect(quitAction, &QAction::triggered, this, &MainWindow::quitProgram);

    QMenu* menu = QSystemTrayIcon::isSystemTrayAvailable() ? new QMenu(this) : menuBar()->addMenu(tr("&Настройки"));
    fillTrayMenu(menu);
    return menu;
}

void MainWindow::fillTrayMenu(QMenu* menu)
{
    menu->addAction(showHideAction);
    menu->addSeparator();
    menu->addAction(autoStartAction);
    menu->addSeparator();
    menu->addAction(quitAction);
    connect(menu, &QMenu::aboutToShow, this, &MainWindow::updateTrayMenu);
}

void MainWindow::quitProgram()
{
    if (mayQuit())
        QCoreApplication::quit();
}

bool MainWindow::mayQuit()
{
    // A second quit while the question is open waits for its answer.
    if (quitting)
        return false;
    TaskStorage& storage = TaskStorage::Instance();
    if (!storage.HasUnsavedChanges())
        return true;
    quitting = true;
    const bool saved = storage.Save();
    if (saved) {
        quitting = false;
        return true;
    }
    QMessageBox question(QMessageBox::Warning, windowTitle(),
                         tr("Не удалось сохранить список задач: %1\n\nЕсли выйти сейчас, несохранённые изменения "
                            "пропадут. Выйти без сохранения?")
                             .arg(saveFailure),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("unsavedQuitQuestion"));
    question.setDefaultButton(QMessageBox::No);
    question.setEscapeButton(QMessageBox::No);
    const bool discard = question.exec() == QMessageBox::Yes;
    quitting = false;
    return discard;
}

void MainWindow::createTrayIcon(QMenu* menu)
{
    trayIcon = new QSystemTrayIcon(windowIcon(), this);
    trayIcon->setContextMenu(menu);
    updateTrayIcon();
    trayIcon->setVisible(true);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::onTrayActivated);
    connect(trayIcon, &QSystemTrayIcon::messageClicked, this, [this] {
        if (isStored(noticeTask))
            showTaskLog(noticeTask);
        else
            showWindow();
    });
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

bool MainWindow::isStored(const TaskInfo* task) const
{
    if (!task)
        return false;
    const auto& tasks = TaskStorage::Instance().Tasks();
    return std::any_of(tasks.begin(), tasks.end(), [task](const auto& stored) { return stored.get() == task; });
}

void MainWindow::showCurrentLog()
{
    showTaskLog(model->taskAt(ui->tasksTreeWidget->selectionModel()->currentIndex()));
}

void MainWindow::showTaskLog(const TaskInfo* task)
{
    if (!isStored(task))
        return;
    TaskStorage& storage = TaskStorage::Instance();
    const QString path = common::toQString(storage.LogFilePath(task));
    const TaskInfo copy = storage.Copy(task);
    const QString name = QString::fromStdWString(copy.name);
    if (notices.logOpened(task, copy.last_run))
        updateTrayIcon();
    QPointer<LogViewer>& viewer = logViewers[task];
    // A viewer left from a task removed since, or from the task's former name, shows another file.
    if (viewer && viewer->filePath() != path)
        viewer->close();
    if (!viewer) {
        if (path.isEmpty()) {
            QMessageBox::information(this, windowTitle(), tr("У задачи «%1» нет журнала.").arg(name));
            return;
        }
        viewer = new LogViewer(path, name, this);
    }
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}

void MainWindow::openLogFolder()
{
    const QString folder = common::toQString(TaskStorage::Instance().LogDirectory());
    QDir().mkpath(folder);
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        QMessageBox::warning(this, windowTitle(), tr("Не удалось открыть папку журналов %1").arg(folder));
}

void MainWindow::onRunEnded(const TaskInfo* task, bool succeeded, const QString& reason)
{
    if (!isStored(task))
        return;
    if (notices.runEnded(task, succeeded, reason))
        updateTrayIcon();
    armNotice();
}

void MainWindow::armNotice()
{
    if (const auto due = notices.dueAt())
        noticeTimer->start(static_cast<int>(std::max<qint64>(0, *due - monotonicMs())));
}

void MainWindow::showFailureNotice()
{
    // A task removed while its notice waited is not reported.
    const auto notice = notices.takeNotice([this](const TaskInfo* task) { return isStored(task); },
                                           [this](const TaskInfo* task) { return noticeName(task); });
    if (!notice)
        return;
    noticeTask = notice->task;
    const QString& title = notice->title;
    const QString& text = notice->text;
    if (trayIcon && trayIcon->isVisible())
        trayIcon->showMessage(title, text, QSystemTrayIcon::Warning);
    else
        statusBar()->showMessage(text.isEmpty() ? title : title + QStringLiteral(": ") + text);
}

QString MainWindow::noticeName(const TaskInfo* task) const
{
    // A notice's title is one line in bold; its text wraps at a third of the screen.
    QFont bold = QApplication::font();
    bold.setBold(true);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int limit = (screen ? screen->availableGeometry().width() : 1024) / 3;
    return QFontMetrics(bold).elidedText(QString::fromStdWString(task->name), Qt::ElideMiddle, limit);
}

void MainWindow::pruneFailures()
{
    if (notices.prune([this](const TaskInfo* task) { return isStored(task); }))
        updateTrayIcon();
}

void MainWindow::updateTrayIcon()
{
    if (!trayIcon)
        return;
    const bool unsaved = TaskStorage::Instance().HasUnsavedChanges();
    QString tip = windowTitle();
    if (notices.unreadCount() > 0)
        tip = tr("%1: последний запуск не выполнен у задач: %2").arg(windowTitle()).arg(notices.unreadCount());
    if (unsaved)
        tip += QLatin1Char('\n') + tr("Изменения не сохранены: при выходе они пропадут.");
    trayIcon->setToolTip(tip);
    if (notices.unreadCount() == 0 && !unsaved) {
        trayIcon->setIcon(windowIcon());
        return;
    }
    if (warningIcon.isNull())
        warningIcon = warningVariant(windowIcon());
    trayIcon->setIcon(warningIcon);
}

void MainWindow::updateSaveState()
{
    const bool unsaved = TaskStorage::Instance().HasUnsavedChanges();
    if (unsaved && !unsavedLabel) {
        unsavedLabel = new QLabel(tr("Изменения не сохранены"), this);
        unsavedLabel->setObjectName(QStringLiteral("unsavedChangesLabel"));
        statusBar()->addPermanentWidget(unsavedLabel);
    }
    if (unsavedLabel) {
        unsavedLabel->setVisible(unsaved);
        unsavedLabel->setToolTip(saveFailure);
        // The message of the failed save goes with the failure.
        if (!unsaved && statusBar()->currentMessage().startsWith(tr("Список задач не сохранён")))
            statusBar()->clearMessage();
    }
    updateTrayIcon();
}

void MainWindow::onSaveFailed(const QString& reason)
{
    const QString text = tr("Не удалось сохранить список задач: изменение не сохранено в файле и пропадёт, если "
                            "программа завершится до следующего удачного сохранения.") +
                         QLatin1Char('\n') + reason;
    saveFailure = reason;
    statusBar()->showMessage(tr("Список задач не сохранён: %1").arg(reason));
    updateSaveState();
    // Quitting asks its own question with this reason.
    if (quitting)
        return;
    if (!saveFailedBox) {
        saveFailedBox = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
        saveFailedBox->setObjectName(QStringLiteral("saveFailedMessage"));
        saveFailedBox->setAttribute(Qt::WA_DeleteOnClose);
        saveFailedBox->setWindowModality(Qt::NonModal);
    }
    saveFailedBox->setText(text);
    saveFailedBox->show();
    saveFailedBox->raise();
}

void MainWindow::reportStoreDamage()
{
    TaskStorage& storage = TaskStorage::Instance();
    TaskStorage::StoreDamage damage = storage.Damage();
    if (damage.reason.empty())
        return;
    // The copy is made by the first save; made now, its place can be named.
    if (damage.keptAs.empty()) {
        storage.Save();
        damage = storage.Damage();
    }
    QString text = tr("Файл задач %1 повреждён: %2.")
                       .arg(common::toQString(storage.StorePath()), QString::fromStdString(damage.reason));
    text += QLatin1Char('\n') +
            tr("Восстановлено задач: %1, не удалось прочитать: %2.").arg(damage.recovered).arg(damage.dropped);
    if (!damage.keptAs.empty())
        text += QLatin1Char('\n') + tr("Копия повреждённого файла сохранена: %1").arg(common::toQString(damage.keptAs));
    else
        text += QLatin1Char('\n') + tr("Копию повреждённого файла сохранить не удалось; файл задач не перезаписан.");
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("storeDamageMessage"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}
