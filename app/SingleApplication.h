#pragma once

// A QApplication that lets one process per task store be the primary instance. Further
// starts on the same store become secondary instances: with SecondaryNotification they
// wake the primary, whose instanceStarted() fires on its GUI thread.
//
// The primary is the process that holds the store's lock (common::StoreLock, a flock on
// the store's folder, found through symbolic links) for its whole life, so the environment
// a start comes from (desktop session, ssh login, cron) does not matter. The lock file
// "<store>.lock" records the primary's process id and its wake-up socket; a second start
// reads the socket from it, or tries its own runtime directory when there is no record.
// It counts as reached only when the primary answers, which it does once it has shown
// itself; a primary that takes the message and stays silent fails the start.
//
// The socket lives in $XDG_RUNTIME_DIR when that is private and the path fits a local
// socket address, otherwise in a new private folder made with a random name in the
// temporary directory ($TMPDIR or /tmp), removed again at the end. No fixed name in a
// shared folder is ever used, so nobody can plant one in the way.

#include <QApplication>
#include <QFlags>

#include <functional>
#include <memory>
#include <string>

#include <sys/types.h>

class QLocalServer;

namespace common {
class StoreLock;
}

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

    // Decides primary, secondary or failed before returning; `store` is the file whose lock
    // makes the primary. `timeout` (ms) bounds how long a start tries to reach the primary.
    // A secondary has reached the primary; a start that could not is failed. Without
    // allowSecondary a secondary ends the process with status 0 and a failed start ends it
    // with status 1 after printing ErrorString().
    SingleApplication(int& argc, char** argv, bool allowSecondary, Modes mode, int timeout, const QString& store);
    ~SingleApplication() override;

    bool isPrimary() const { return role_ == Role::Primary; }
    bool isSecondary() const { return role_ == Role::Secondary; }
    // Neither primary nor secondary: the store's lock file cannot be used safely, or
    // another process holds the lock and could not be reached or did not answer.
    // ErrorString() says why.
    bool HasFailed() const { return role_ == Role::Failed; }
    QString ErrorString() const { return error_; }
    // The process that holds the store when this start failed for that reason, else 0.
    pid_t HolderPid() const { return holderPid_; }

    // The primary answers control requests (common/ControlRequest.h) that reach its socket
    // from a process of the same user: `handler` gets the request line without its line
    // feed and calls `reply` once, at once or later, with the reply line. Requests from
    // another user, and all of them while no handler is set, are refused.
    using Reply = std::function<void(const std::string& line)>;
    using RequestHandler = std::function<void(const std::string& request, Reply reply)>;
    void SetRequestHandler(RequestHandler handler) { requestHandler_ = std::move(handler); }

Q_SIGNALS:
    void instanceStarted();

private:
    enum class Role
    {
        Failed,
        Primary,
        Secondary,
    };

    QString ChooseSocketPath(const QString& store);
    bool StartServer();
    enum class Reach
    {
        NotReached, // nobody listens (yet): worth another try
        Answered,   // the primary has shown itself
        Silent,     // the primary took the message but did not answer: it hangs
    };
    Reach NotifyPrimary(const QString& socketName, int timeout);
    void AcceptConnection();

    QString socketName_;
    QString socketFolder_;
    QString error_;
    pid_t holderPid_ = 0;
    Role role_ = Role::Failed;
    std::unique_ptr<common::StoreLock> lock_;
    QLocalServer* server_ = nullptr;
    RequestHandler requestHandler_;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SingleApplication::Modes)
