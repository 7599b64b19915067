#pragma once

// The program's place in the system tray: the icon, its menu (show or hide the window,
// autostart, quit) and what a click on the icon does. Without a system tray the menu sits
// in the window's menu bar, and the tray is looked for until one appears; then the icon
// and its menu take over. It decides nothing itself: the window tells it the tool tip,
// whether the icon warns and which notice to show. GUI thread only.

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QMainWindow;
class QMenu;
class QTimer;

class TrayIcon : public QObject
{
    Q_OBJECT

public:
    // Makes the menu, and the icon where a system tray is available; a child of `window`.
    explicit TrayIcon(QMainWindow* window);

    // Whether the icon is in the tray: without one the window has nowhere to hide.
    bool HasIcon() const { return trayIcon_ != nullptr; }
    // Shows a notice at the icon; false when no icon is shown.
    bool ShowMessage(const QString& title, const QString& text);
    // The icon's tool tip, and whether the icon carries the warning sign. Kept for an icon
    // made later, when a tray appears.
    void ShowState(const QString& toolTip, bool warning);

Q_SIGNALS:
    // A click on the icon, or the menu's show/hide entry.
    void toggleRequested();
    void quitRequested();
    // The user clicked the notice shown last.
    void messageClicked();

private:
    QMenu* createTrayMenu();
    void FillTrayMenu(QMenu* menu);
    void createTrayIcon(QMenu* menu);
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void updateTrayMenu();
    // Without a tray, looks for one that appeared since and moves the menu there.
    void WatchForTray(QMenu* menuBarMenu);
    void ApplyState();

    QMainWindow* window_;
    QSystemTrayIcon* trayIcon_ = nullptr;
    // Holds a click until the double-click interval tells it from a double click.
    QTimer* trayClickTimer_ = nullptr;
    QAction* showHideAction_ = nullptr;
    QAction* autoStartAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QString toolTip_;
    bool warning_ = false;
    QIcon warningIcon_;
};
