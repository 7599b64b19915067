#pragma once

// A QApplication that lets one process per executable be the primary instance on the
// machine. Further starts of the same executable (by any user) become secondary
// instances: with SecondaryNotification they wake the primary, whose instanceStarted()
// fires on its GUI thread.
//
// The instance key is derived from the executable's file name, its full path and the
// application version, so copies in different directories do not see each other. The
// primary holds an advisory lock (flock) on a lock file in the system's temporary
// directory for its whole life; the kernel drops that lock when the process ends in any
// way, SIGKILL included, so no stale lock outlives it. The lock file also carries the
// name of the primary's local socket.

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

    // Decides primary or secondary before returning. `timeout` (ms) bounds how long a
    // secondary tries to reach the primary. Without allowSecondary a secondary instance
    // ends the process with status 0 once it has notified the primary.
    SingleApplication(int& argc, char** argv, bool allowSecondary = false, Modes mode = Mode::SecondaryNotification,
                      int timeout = 1000);
    ~SingleApplication() override;

    bool isPrimary() const { return primary_; }
    bool isSecondary() const { return !primary_; }

    // The directory that holds the lock files and sockets of all instances.
    static QString runtimeDirectory();

Q_SIGNALS:
    void instanceStarted();

private:
    QString instanceKey() const;
    bool tryBecomePrimary();
    bool startServer();
    bool notifyPrimary(int timeout);
    void acceptConnection();

    QString lockPath_;
    QString socketName_;
    int lockFd_ = -1;
    bool primary_ = false;
    QLocalServer* server_ = nullptr;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SingleApplication::Modes)
