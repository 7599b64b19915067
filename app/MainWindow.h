#pragma once

// The program's only main window: the task list with its tool bar and context menu. It
// also owns the tray icon (TrayIcon); without a system tray the window stays on screen.
// Closing the window hides it in the tray, the program keeps running. GUI thread only.
//
// It shows what the service did while nobody watched: the failure notices and the warning
// on the tray icon that FailureNotices decides on, the log viewer, and messages when the
// store could not be saved or was found damaged.

#include "FailureNotices.h"
#include "StoreMessages.h"

#include <QHash>
#include <QMainWindow>
#include <QPointer>

#include <memory>

class LogViewer;
class QLabel;
class TaskInfo;
class TasksListModel;
class TrayIcon;

class QTimer;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Hides the window in the tray; without a tray the window stays on screen, normal.
    void hideWindow();
    // Brings the window up, restored from minimised, raised and active.
    void showWindow();
    // Opens (or raises) the log viewer of a stored task; the task's failure counts as seen.
    void ShowTaskLog(const TaskInfo* task);
    // Says so when the load found the store damaged: how many tasks were recovered and
    // where the damaged file is kept. The copy is made first if no save has made it yet.
    void ReportStoreDamage();
    // Whether the program may end now. Changes the store does not hold yet get one more
    // save; when that fails too, the user is asked (No by default) before they are lost.
    bool MayQuit();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void updateActions();
    void saveSettings();
    void restoreSettings();

    void runTaskNow();
    void newTask();
    void cloneTask();
    void removeTask();
    void editTask(const QModelIndex& index);
    void showContextMenu(const QPoint& position);
    void ShowCurrentLog();
    void OpenLogFolder();

    void OnRunEnded(const TaskInfo* task, bool succeeded, const QString& reason);
    void OnSaveFailed(const QString& reason);
    // Shows whether the store holds every change: status bar and tray tool tip.
    void UpdateSaveState();
    void QuitProgram();
    // Shows the notice of the failures collected since the last one.
    void ShowFailureNotice();
    // Arms the notice timer for when the notices want the next one.
    void ArmNotice();
    // Forgets the failure marks of tasks that are no longer stored.
    void PruneFailures();
    void UpdateTrayIcon();
    bool IsStored(const TaskInfo* task) const;

    // Runs the wizard on `task`; true with `task` replaced by the wizard's result when
    // the user accepted it.
    bool RunWizard(TaskInfo& task, bool editing = false);
    bool eventFilter(QObject* watched, QEvent* event) override;
    void UpdateEmptyHint();
    // A task's name as a notice shows it: a long one is shortened to fit the screen.
    QString NoticeName(const TaskInfo* task) const;

    void ToggleWindow();

    std::unique_ptr<Ui::MainWindow> ui_;
    TasksListModel* model_ = nullptr;
    TrayIcon* tray_ = nullptr;
    // Set on the first start, when no column widths are kept: they are fitted once shown.
    bool fitColumnsOnShow_ = false;
    QLabel* emptyHint_ = nullptr;

    FailureNotices notices_;
    QTimer* noticeTimer_ = nullptr;
    // The task the last notice named; null after a summary.
    const TaskInfo* noticeTask_ = nullptr;
    QHash<const TaskInfo*, QPointer<LogViewer>> logViewers_;
    StoreMessages storeMessages_;
};
