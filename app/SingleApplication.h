#pragma once

// A QApplication that lets one process per user and executable be the primary instance.
// Further starts of the same executable by the same user become secondary instances:
// with SecondaryNotification they wake the primary, whose instanceStarted() fires on its
// GUI thread. Other users' starts never meet it; each user gets a primary of their own.
//
// The instance key is derived from the user id, the executable's file name, its full
// path and the application version, so copies in different directories do not see each
// other. The primary holds an advisory lock (flock) on a lock file for its whole life;
// the kernel drops that lock when the process ends in any way, SIGKILL included, so no
// stale lock outlives it.
//
// Lock file and local socket live in a directory that only the user can enter:
// $XDG_RUNTIME_DIR when it is set and private, otherwise "kalvor-scheduler-<uid>" in the
// temporary directory ($TMPDIR or /tmp), created with mode 0700. A directory that is a
// symlink, belongs to someone else or lets others in is never used, nor is a lock file
// that is a symlink; the guard never changes the mode of a file it did not create.

#include <QApplication>
#include <QFlags>

class QLocalServer;

class SingleApplication : public QApplication
{
    Q_OBJECT

public:
    enum class Mode
    {
        // A secondary instance connects to the primary, which emits instanceStarted().
        SecondaryNotification = 1 << 0,
    };
    Q_DECLARE_FLAGS(Modes, Mode)

    // Decides primary, secondary or failed before returning. `timeout` (ms) bounds how
    // long a secondary tries to reach the primary. Without allowSecondary a secondary
    // instance ends the process with status 0 once it has notified the primary, and a
    // failed guard ends it with status 1 after printing errorString().
    SingleApplication(int& argc, char** argv, bool allowSecondary = false, Modes mode = Mode::SecondaryNotification,
                      int timeout = 1000);
    ~SingleApplication() override;

    bool isPrimary() const { return role_ == Role::Primary; }
    bool isSecondary() const { return role_ == Role::Secondary; }
    // Neither primary nor secondary: no safe place for the lock was found, or the lock
    // file there is not what the guard created. errorString() says which path and why.
    bool hasFailed() const { return role_ == Role::Failed; }
    QString errorString() const { return error_; }

Q_SIGNALS:
    void instanceStarted();

private:
    enum class Role
    {
        Failed,
        Primary,
        Secondary,
    };

    QString instanceKey() const;
    bool openLockFile();
    bool startServer();
    bool notifyPrimary(int timeout);
    void acceptConnection();

    QString socketName_;
    QString error_;
    int lockFd_ = -1;
    Role role_ = Role::Failed;
    QLocalServer* server_ = nullptr;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SingleApplication::Modes)
