#pragma once

// What the main window tells about the task store: the status bar's mark while a change
// is not saved yet, the message of a failed save, the message of a store found damaged,
// and the question before quitting would lose changes. Texts are the window's; message
// boxes are its children. GUI thread only.

#include <QCoreApplication>
#include <QPointer>
#include <QString>

class QLabel;
class QMainWindow;
class QMessageBox;

class StoreMessages
{
    Q_DECLARE_TR_FUNCTIONS(MainWindow)

public:
    explicit StoreMessages(QMainWindow* window)
        : window_(window)
    {}

    // Shows whether the store holds every change in the status bar.
    void UpdateSaveState();
    // A save failed for `reason`: the status bar says so, and a message unless quitting asks.
    void OnSaveFailed(const QString& reason);
    // Says so when the load found the store damaged: how many tasks were recovered and
    // where the damaged file is kept. The copy is made first if no save has made it yet.
    void ReportStoreDamage();
    // Whether the program may end now. Changes the store does not hold yet get one more
    // save; when that fails too, the user is asked (No by default) before they are lost.
    bool MayQuit();

private:
    QMainWindow* window_;
    QPointer<QMessageBox> saveFailedBox_;
    // The reason of the last failed save, and the status bar's mark while one is unsaved.
    QString saveFailure_;
    QLabel* unsavedLabel_ = nullptr;
    // Set while quitting asks or saves: the question says it all, no second message.
    bool quitting_ = false;
};
