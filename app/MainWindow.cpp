#include "MainWindow.h"

#include "AppResources.h"
#include "LogViewer.h"
#include "ServiceWizardContext.h"
#include "TaskListColumns.h"
#include "TasksListModel.h"
#include "TrayIcon.h"
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
#include <QMessageBox>
#include <QPixmapCache>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString kGeometryKey = QStringLiteral("MainWindowGeometry");

const QString kHeaderStateKey = QStringLiteral("TasksTreeHeaderState");
const QString kHeaderColumnsKey = QStringLiteral("TasksTreeHeaderColumns");

// Milliseconds on the monotonic clock: the failure notices' clock.
qint64 MonotonicMs()
{
    QElapsedTimer now;
    now.start();
    return now.msecsSinceReference();
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , ui_(new Ui::MainWindow)
    , notices_(MonotonicMs)
    , storeMessages_(this)
{
    InitAppResources();
    ui_->setupUi(this);

    model_ = new TasksListModel(this);
    ui_->tasksTreeWidget->setModel(model_);

    ui_->tasksTreeWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui_->tasksTreeWidget, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);

    // Listed on the view as the form intends; the custom policy keeps them out of automatic menus.
    ui_->tasksTreeWidget->addAction(ui_->actionRunNow);
    ui_->tasksTreeWidget->addAction(ui_->actionNewTask);
    ui_->tasksTreeWidget->addAction(ui_->actionRemoveTask);
    ui_->tasksTreeWidget->addAction(ui_->actionShowLog);

    ui_->actionShowLog->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
    ui_->actionOpenLogFolder->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    connect(ui_->actionShowLog, &QAction::triggered, this, &MainWindow::ShowCurrentLog);
    connect(ui_->actionOpenLogFolder, &QAction::triggered, this, &MainWindow::OpenLogFolder);

    connect(ui_->actionRunNow, &QAction::triggered, this, &MainWindow::runTaskNow);
    ui_->actionStopTask->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    ui_->actionPauseTask->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
    ui_->actionResumeTask->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    connect(ui_->actionStopTask, &QAction::triggered, this,
            [this] { model_->StopTask(ui_->tasksTreeWidget->selectionModel()->currentIndex()); });
    connect(ui_->actionPauseTask, &QAction::triggered, this,
            [this] { model_->SetPaused(ui_->tasksTreeWidget->selectionModel()->currentIndex(), true); });
    connect(ui_->actionResumeTask, &QAction::triggered, this,
            [this] { model_->SetPaused(ui_->tasksTreeWidget->selectionModel()->currentIndex(), false); });
    // Running and paused change while a row stays selected.
    connect(model_, &QAbstractItemModel::dataChanged, this, &MainWindow::updateActions);
    connect(ui_->actionNewTask, &QAction::triggered, this, &MainWindow::newTask);
    connect(ui_->actionCloneTask, &QAction::triggered, this, &MainWindow::cloneTask);
    connect(ui_->actionEditTask, &QAction::triggered, this,
            [this] { editTask(ui_->tasksTreeWidget->selectionModel()->currentIndex()); });
    // Enter on a row edits it, as a double click does.
    ui_->tasksTreeWidget->installEventFilter(this);
    connect(ui_->actionRemoveTask, &QAction::triggered, this, &MainWindow::removeTask);
    connect(ui_->tasksTreeWidget->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::updateActions);
    connect(ui_->tasksTreeWidget, &QAbstractItemView::doubleClicked, this, &MainWindow::editTask);

    TaskEvents& events = TaskStorage::Instance().Events();
    connect(&events, &TaskEvents::runEnded, this, &MainWindow::OnRunEnded);
    connect(&events, &TaskEvents::saveFailed, this, &MainWindow::OnSaveFailed);
    connect(&events, &TaskEvents::saved, this, &MainWindow::UpdateSaveState);
    noticeTimer_ = new QTimer(this);
    noticeTimer_->setSingleShot(true);
    connect(noticeTimer_, &QTimer::timeout, this, &MainWindow::ShowFailureNotice);
    for (int row = 0; row < model_->rowCount(); ++row) {
        const QModelIndex index = model_->index(row, 0);
        notices_.Restore(model_->taskAt(index), model_->LastRunAt(index));
    }

    tray_ = new TrayIcon(this);
    connect(tray_, &TrayIcon::toggleRequested, this, &MainWindow::ToggleWindow);
    connect(tray_, &TrayIcon::quitRequested, this, &MainWindow::QuitProgram);
    connect(tray_, &TrayIcon::messageClicked, this, [this] {
        if (IsStored(noticeTask_))
            ShowTaskLog(noticeTask_);
        else
            showWindow();
    });
    if (!tray_->HasIcon())
        hideWindow();

    restoreSettings();
    updateActions();

    // A new user learns from the empty list how to fill it.
    emptyHint_ = new QLabel(tr("Задач пока нет.\nНажмите «Новая задача», чтобы создать первую."));
    emptyHint_->setObjectName(QStringLiteral("emptyListHint"));
    emptyHint_->setAlignment(Qt::AlignCenter);
    emptyHint_->setWordWrap(true);
    emptyHint_->setEnabled(false);
    emptyHint_->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* hintLayout = new QVBoxLayout(ui_->tasksTreeWidget->viewport());
    hintLayout->addWidget(emptyHint_);
    connect(model_, &QAbstractItemModel::rowsInserted, this, &MainWindow::UpdateEmptyHint);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &MainWindow::UpdateEmptyHint);
    connect(model_, &QAbstractItemModel::modelReset, this, &MainWindow::UpdateEmptyHint);
    UpdateEmptyHint();
    UpdateSaveState();

    QLayout* toolBarLayout = ui_->toolBar->layout();
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
    if (!fitColumnsOnShow_)
        return;
    fitColumnsOnShow_ = false;
    // The list's width is known once the window is laid out.
    QTimer::singleShot(0, this, [this] { FitColumnsToView(*ui_->tasksTreeWidget); });
}

void MainWindow::UpdateEmptyHint()
{
    emptyHint_->setVisible(model_->rowCount() == 0);
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
    const bool selected = ui_->tasksTreeWidget->selectionModel()->hasSelection();
    ui_->actionRunNow->setEnabled(selected);
    const QModelIndex current = ui_->tasksTreeWidget->selectionModel()->currentIndex();
    const bool known = selected && model_->taskAt(current) != nullptr;
    const bool paused = known && model_->PausedAt(current);
    ui_->actionStopTask->setEnabled(known && model_->LastRunAt(current).outcome == RunOutcome::Running);
    ui_->actionPauseTask->setEnabled(known && !paused);
    ui_->actionResumeTask->setEnabled(known && paused);
    ui_->actionCloneTask->setEnabled(selected);
    ui_->actionEditTask->setEnabled(selected);
    ui_->actionRemoveTask->setEnabled(selected);
    ui_->actionShowLog->setEnabled(selected);
}

void MainWindow::saveSettings()
{
    QSettings settings;
    settings.setValue(kGeometryKey, saveGeometry());
    settings.setValue(kHeaderStateKey, ui_->tasksTreeWidget->header()->saveState());
    settings.setValue(kHeaderColumnsKey, ui_->tasksTreeWidget->header()->count());
}

void MainWindow::restoreSettings()
{
    QSettings settings;
    QHeaderView* header = ui_->tasksTreeWidget->header();
    // A state saved by the list with only the name and trigger columns carries no count.
    const int savedColumns = settings.value(kHeaderColumnsKey, 2).toInt();
    // Widths the user chose stay as they are; typical ones are fitted once shown.
    fitColumnsOnShow_ =
        !RestoreColumns(*ui_->tasksTreeWidget, settings.value(kHeaderStateKey).toByteArray(), savedColumns);
    if (!restoreGeometry(settings.value(kGeometryKey).toByteArray())) {
        // First start: wide enough for a typical row whole, as far as the screen allows.
        QTreeView* view = ui_->tasksTreeWidget;
        int columns = 0;
        for (int column = 0; column < header->count(); ++column)
            columns += header->sectionSize(column);
        const int chrome = ui_->toolBar->sizeHint().width() + 2 * view->frameWidth() +
                           style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                           4 * style()->pixelMetric(QStyle::PM_LayoutLeftMargin);
        int wanted = std::max(width(), columns + chrome);
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            wanted = std::min(wanted, std::max(width(), screen->availableGeometry().width()));
        resize(wanted, height());
    }
}

void MainWindow::runTaskNow()
{
    const QModelIndex current = ui_->tasksTreeWidget->selectionModel()->currentIndex();
    if (current.isValid())
        model_->runTask(current);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui_->tasksTreeWidget && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        const QModelIndex current = ui_->tasksTreeWidget->selectionModel()->currentIndex();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && current.isValid()) {
            editTask(current);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainWindow::RunWizard(TaskInfo& task, bool editing)
{
    TaskWizard wizard(task, ServiceWizardContext(TaskStorage::Instance()), this);
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
    if (!RunWizard(task))
        return;
    QItemSelectionModel* selection = ui_->tasksTreeWidget->selectionModel();
    if (selection->hasSelection()) {
        const QModelIndex first = selection->selectedIndexes().constFirst();
        model_->insertTask(first.row() + 1, first.parent(), task);
        selection->setCurrentIndex(model_->index(first.row() + 1, first.column(), first.parent()),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        return;
    }
    const QModelIndex root = ui_->tasksTreeWidget->rootIndex();
    const int rows = model_->rowCount(root);
    model_->insertTask(rows, root, task);
    selection->setCurrentIndex(model_->index(rows, 0, root),
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void MainWindow::cloneTask()
{
    const QModelIndex current = ui_->tasksTreeWidget->selectionModel()->currentIndex();
    const TaskInfo* stored = model_->taskAt(current);
    if (!stored)
        return;
    TaskInfo copy = TaskStorage::Instance().Copy(stored);
    copy.name = tr("%1 (копия)").arg(QString::fromStdWString(copy.name)).toStdWString();
    if (!RunWizard(copy))
        return;
    model_->insertTask(current.row() + 1, current.parent(), copy);
    ui_->tasksTreeWidget->selectionModel()->setCurrentIndex(current.sibling(current.row() + 1, current.column()),
                                                            QItemSelectionModel::ClearAndSelect |
                                                                QItemSelectionModel::Rows);
}

void MainWindow::editTask(const QModelIndex& index)
{
    const TaskInfo* stored = model_->taskAt(index);
    if (!stored)
        return;
    TaskInfo edited = TaskStorage::Instance().Copy(stored);
    if (RunWizard(edited, true))
        model_->updateTask(index, edited);
}

void MainWindow::removeTask()
{
    const QModelIndex current = ui_->tasksTreeWidget->selectionModel()->currentIndex();
    const TaskInfo* stored = model_->taskAt(current);
    if (!stored)
        return;
    // The task and its log go for good; the next row is selected at once, so a second
    // click must not take it along unasked.
    const QString question = tr("Удалить задачу «%1»?").arg(QString::fromStdWString(stored->name));
    if (QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    if (model_->removeRows(current.row(), 1, current.parent())) {
        updateActions();
        PruneFailures();
    }
}

void MainWindow::showContextMenu(const QPoint& position)
{
    QList<QAction*> actions{ui_->actionNewTask};
    if (ui_->tasksTreeWidget->selectionModel()->hasSelection())
        actions << ui_->actionRunNow << ui_->actionStopTask
                << (ui_->actionResumeTask->isEnabled() ? ui_->actionResumeTask : ui_->actionPauseTask)
                << ui_->actionEditTask << ui_->actionCloneTask << ui_->actionRemoveTask << ui_->actionShowLog;
    actions << ui_->actionOpenLogFolder;
    QMenu::exec(actions, ui_->tasksTreeWidget->viewport()->mapToGlobal(position), nullptr, nullptr);
}

void MainWindow::QuitProgram()
{
    if (MayQuit())
        QCoreApplication::quit();
}

void MainWindow::ToggleWindow()
{
    if (isHidden())
        showWindow();
    else
        hideWindow();
}

bool MainWindow::IsStored(const TaskInfo* task) const
{
    if (!task)
        return false;
    const auto& tasks = TaskStorage::Instance().Tasks();
    return std::any_of(tasks.begin(), tasks.end(), [task](const auto& stored) { return stored.get() == task; });
}

void MainWindow::ShowCurrentLog()
{
    ShowTaskLog(model_->taskAt(ui_->tasksTreeWidget->selectionModel()->currentIndex()));
}

void MainWindow::ShowTaskLog(const TaskInfo* task)
{
    if (!IsStored(task))
        return;
    TaskStorage& storage = TaskStorage::Instance();
    const QString path = common::toQString(storage.LogFilePath(task));
    const TaskInfo copy = storage.Copy(task);
    const QString name = QString::fromStdWString(copy.name);
    if (notices_.LogOpened(task, copy.last_run))
        UpdateTrayIcon();
    QPointer<LogViewer>& viewer = logViewers_[task];
    // A viewer left from a task removed since, or from the task's former name, shows another file.
    if (viewer && viewer->FilePath() != path)
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

void MainWindow::OpenLogFolder()
{
    const QString folder = common::toQString(TaskStorage::Instance().LogDirectory());
    QDir().mkpath(folder);
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        QMessageBox::warning(this, windowTitle(), tr("Не удалось открыть папку журналов %1").arg(folder));
}

void MainWindow::OnRunEnded(const TaskInfo* task, bool succeeded, const QString& reason)
{
    if (!IsStored(task))
        return;
    if (notices_.RunEnded(task, succeeded, reason))
        UpdateTrayIcon();
    ArmNotice();
}

void MainWindow::ArmNotice()
{
    if (const auto due = notices_.DueAt())
        noticeTimer_->start(static_cast<int>(std::max<qint64>(0, *due - MonotonicMs())));
}

void MainWindow::ShowFailureNotice()
{
    // A task removed while its notice waited is not reported.
    const auto notice = notices_.TakeNotice([this](const TaskInfo* task) { return IsStored(task); },
                                            [this](const TaskInfo* task) { return NoticeName(task); });
    if (!notice)
        return;
    noticeTask_ = notice->task;
    const QString& title = notice->title;
    const QString& text = notice->text;
    if (!tray_->ShowMessage(title, text))
        statusBar()->showMessage(text.isEmpty() ? title : title + QStringLiteral(": ") + text);
}

QString MainWindow::NoticeName(const TaskInfo* task) const
{
    // A notice's title is one line in bold; its text wraps at a third of the screen.
    QFont bold = QApplication::font();
    bold.setBold(true);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int limit = (screen ? screen->availableGeometry().width() : 1024) / 3;
    return QFontMetrics(bold).elidedText(QString::fromStdWString(task->name), Qt::ElideMiddle, limit);
}

void MainWindow::PruneFailures()
{
    if (notices_.Prune([this](const TaskInfo* task) { return IsStored(task); }))
        UpdateTrayIcon();
}

void MainWindow::UpdateTrayIcon()
{
    const bool unsaved = TaskStorage::Instance().HasUnsavedChanges();
    QString tip = windowTitle();
    if (notices_.UnreadCount() > 0)
        tip = tr("%1: последний запуск не выполнен у задач: %2").arg(windowTitle()).arg(notices_.UnreadCount());
    if (unsaved)
        tip += QLatin1Char('\n') + tr("Изменения не сохранены: при выходе они пропадут.");
    tray_->ShowState(tip, notices_.UnreadCount() > 0 || unsaved);
}

void MainWindow::ReportStoreDamage()
{
    storeMessages_.ReportStoreDamage();
}

bool MainWindow::MayQuit()
{
    return storeMessages_.MayQuit();
}

void MainWindow::UpdateSaveState()
{
    storeMessages_.UpdateSaveState();
    UpdateTrayIcon();
}

void MainWindow::OnSaveFailed(const QString& reason)
{
    UpdateTrayIcon();
    storeMessages_.OnSaveFailed(reason);
}
