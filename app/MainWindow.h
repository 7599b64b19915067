#pragma once

// The program's only main window: the task list with its tool bar and context menu. It
// also owns the tray icon and the tray menu; without a system tray that menu sits in the
// menu bar and the window stays on screen. Closing the window hides it in the tray, the
// program keeps running. GUI thread only.

#include <QMainWindow>
#include <QSystemTrayIcon>

#include <memory>

class QAction;
class QMenu;
class TaskInfo;
class TasksListModel;

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

protected:
    void closeEvent(QCloseEvent* event) override;

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

    // Runs the wizard on `task`; true with `task` replaced by the wizard's result when
    // the user accepted it.
    bool runWizard(TaskInfo& task, bool editing = false);
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Widths that show a typical task's cells whole, in the list's font.
    int typicalNameWidth() const;
    int typicalTriggerWidth() const;

    QMenu* createTrayMenu();
    void createTrayIcon(QMenu* menu);
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void updateTrayMenu();
    void toggleWindow();

    std::unique_ptr<Ui::MainWindow> ui;
    TasksListModel* model = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    // Holds a tray click until the double-click interval tells it from a double click.
    QTimer* trayClickTimer = nullptr;
    QAction* showHideAction = nullptr;
    QAction* autoStartAction = nullptr;
};
