#include "TrayIcon.h"

#include "AutoStart.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QStyle>
#include <QTimer>

namespace {

// How often a program without a tray looks for one that appeared since.
constexpr int kTrayWatchInterval = 1000;

// The program's icon with a warning sign over its lower right quarter.
QIcon WarningVariant(const QIcon& icon)
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

TrayIcon::TrayIcon(QMainWindow* window)
    : QObject(window)
    , window_(window)
    , toolTip_(window->windowTitle())
{
    QMenu* menu = createTrayMenu();
    if (QSystemTrayIcon::isSystemTrayAvailable())
        createTrayIcon(menu);
    else
        WatchForTray(menu);
}

QMenu* TrayIcon::createTrayMenu()
{
    showHideAction_ = new QAction(window_);
    connect(showHideAction_, &QAction::triggered, this, &TrayIcon::toggleRequested);

    autoStartAction_ = new QAction(tr("Запускать при старте системы"), window_);
    autoStartAction_->setCheckable(true);
    connect(autoStartAction_, &QAction::triggered, this, [this](bool checked) {
        const QString reason = setupAutoStartLinux(checked);
        if (reason.isEmpty())
            return;
        autoStartAction_->setChecked(AutoStartEnabled());
        QMessageBox::warning(
            window_, window_->windowTitle(),
            (checked ? tr("Не удалось включить автозапуск.") : tr("Не удалось выключить автозапуск.")) +
                QLatin1Char('\n') + reason);
    });

    quitAction_ = new QAction(tr("Выход"), window_);
    connect(quitAction_, &QAction::triggered, this, &TrayIcon::quitRequested);

    QMenu* menu =
        QSystemTrayIcon::isSystemTrayAvailable() ? new QMenu(window_) : window_->menuBar()->addMenu(tr("&Настройки"));
    FillTrayMenu(menu);
    return menu;
}

void TrayIcon::FillTrayMenu(QMenu* menu)
{
    menu->addAction(showHideAction_);
    menu->addSeparator();
    menu->addAction(autoStartAction_);
    menu->addSeparator();
    menu->addAction(quitAction_);
    connect(menu, &QMenu::aboutToShow, this, &TrayIcon::updateTrayMenu);
}

void TrayIcon::WatchForTray(QMenu* menuBarMenu)
{
    // Started at login before the panel, the program finds no tray yet: it keeps looking,
    // and moves into the tray once one is there. A headless platform never gets one.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return;
    auto* trayWatch = new QTimer(this);
    connect(trayWatch, &QTimer::timeout, this, [this, trayWatch, menuBarMenu] {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            return;
        trayWatch->deleteLater();
        auto* trayMenu = new QMenu(window_);
        FillTrayMenu(trayMenu);
        createTrayIcon(trayMenu);
        // The tray menu takes over: the menu bar that stood in for it goes, with its menu.
        if (window_->menuWidget() && menuBarMenu->parent() == window_->menuWidget())
            window_->setMenuBar(nullptr);
    });
    trayWatch->start(kTrayWatchInterval);
}

void TrayIcon::createTrayIcon(QMenu* menu)
{
    trayIcon_ = new QSystemTrayIcon(window_->windowIcon(), this);
    trayIcon_->setContextMenu(menu);
    ApplyState();
    trayIcon_->setVisible(true);
    connect(trayIcon_, &QSystemTrayIcon::activated, this, &TrayIcon::onTrayActivated);
    connect(trayIcon_, &QSystemTrayIcon::messageClicked, this, &TrayIcon::messageClicked);
    trayClickTimer_ = new QTimer(this);
    trayClickTimer_->setSingleShot(true);
    connect(trayClickTimer_, &QTimer::timeout, this, &TrayIcon::toggleRequested);
}

void TrayIcon::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    // The first click of a double click arrives as a Trigger: a click toggles only once no
    // second click followed within the double-click interval; a double click does nothing.
    if (reason == QSystemTrayIcon::Trigger) {
        trayClickTimer_->start(QApplication::doubleClickInterval());
    } else if (reason == QSystemTrayIcon::DoubleClick) {
        trayClickTimer_->stop();
    }
}

void TrayIcon::updateTrayMenu()
{
    showHideAction_->setText(window_->isVisible() ? tr("Скрыть") : tr("Показать"));
    autoStartAction_->setChecked(AutoStartEnabled());
}

bool TrayIcon::ShowMessage(const QString& title, const QString& text)
{
    if (!trayIcon_ || !trayIcon_->isVisible())
        return false;
    trayIcon_->showMessage(title, text, QSystemTrayIcon::Warning);
    return true;
}

void TrayIcon::ShowState(const QString& toolTip, bool warning)
{
    toolTip_ = toolTip;
    warning_ = warning;
    ApplyState();
}

void TrayIcon::ApplyState()
{
    if (!trayIcon_)
        return;
    trayIcon_->setToolTip(toolTip_);
    if (!warning_) {
        trayIcon_->setIcon(window_->windowIcon());
        return;
    }
    if (warningIcon_.isNull())
        warningIcon_ = WarningVariant(window_->windowIcon());
    trayIcon_->setIcon(warningIcon_);
}
