#include "SingleApplication.h"

#include "common/Logging.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QtDebug>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kHello = QByteArrayLiteral("instance-started\n");
const QByteArray kAck = QByteArrayLiteral("ok\n");

int remainingOf(const QElapsedTimer& clock, int timeout)
{
    return qMax(0, timeout - static_cast<int>(clock.elapsed()));
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Owns one file descriptor and closes it on every path.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1)
        : fd_(fd)
    {}
    FileDescriptor(FileDescriptor&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Opens `path` as a directory without following a symlink in its last component, and
// accepts it only when it belongs to this user and nobody else may enter it. The checks
// are made on the opened directory, so a name swapped after them does not matter to
// anything opened relative to the descriptor.
FileDescriptor openPrivateDirectory(const QString& path, QString* error)
{
    FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        const int openError = errno;
        *error = openError == ELOOP ? QStringLiteral("%1 is a symbolic link").arg(path)
                                    : QStringLiteral("%1: %2").arg(path, errnoText(openError));
        return FileDescriptor();
    }
    struct stat status = {};
    if (::fstat(fd.get(), &status) != 0) {
        *error = QStringLiteral("%1: %2").arg(path, errnoText(errno));
        return FileDescriptor();
    }
    if (status.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 belongs to user %2, not to user %3").arg(path).arg(status.st_uid).arg(::geteuid());
        return FileDescriptor();
    }
    if ((status.st_mode & 077) != 0) {
        *error = QStringLiteral("%1 has mode %2; only its owner may have access (0700)")
                     .arg(path, QString::number(status.st_mode & 07777, 8).prepend(QLatin1Char('0')));
        return FileDescriptor();
    }
    return fd;
}

// The user's private directory for lock files and sockets, opened.
FileDescriptor openRuntimeDirectory(QString* path, QString* error)
{
    const QString xdg = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!xdg.isEmpty()) {
        QString xdgError;
        FileDescriptor fd = openPrivateDirectory(xdg, &xdgError);
        if (fd.get() >= 0) {
            *path = xdg;
            return fd;
        }
        qCWarning(lcApp, "SingleApplication: XDG_RUNTIME_DIR is not usable (%s); using the temporary directory",
                  qUtf8Printable(xdgError));
    }
    // The temporary directory is shared with other users, who may have planted anything
    // under this name; only a directory that passes the checks is used, and none is
    // ever repaired or removed.
    *path = QDir::tempPath() + QStringLiteral("/kalvor-scheduler-") + QString::number(::geteuid());
    if (::mkdir(QFile::encodeName(*path).constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("%1: %2").arg(*path, errnoText(errno));
        return FileDescriptor();
    }
    FileDescriptor fd = openPrivateDirectory(*path, error);
    if (fd.get() < 0)
        error->append(QStringLiteral("; remove it or set XDG_RUNTIME_DIR to a private directory"));
    return fd;
}

} // namespace

SingleApplication::SingleApplication(int& argc, char** argv, bool allowSecondary, Modes mode, int timeout)
    : QApplication(argc, argv)
{
    if (!openLockFile()) {
        error_.prepend(QStringLiteral("the single-instance lock cannot be used safely: "));
        if (!allowSecondary) {
            qCCritical(lcApp, "SingleApplication: %s", qUtf8Printable(error_));
            std::exit(EXIT_FAILURE);
        }
        return;
    }

    QElapsedTimer clock;
    clock.start();
    bool notified = false;
    for (;;) {
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
            role_ = Role::Primary;
            startServer();
            return;
        }
        if (!mode.testFlag(Mode::SecondaryNotification))
            break;
        // A primary that has just taken the lock may not listen yet, and one that was
        // killed a moment ago leaves the lock free: both are resolved by trying again.
        if (notifyPrimary(remainingOf(clock, timeout))) {
            notified = true;
            break;
        }
        if (remainingOf(clock, timeout) == 0)
            break;
        QThread::msleep(10);
    }
    role_ = Role::Secondary;
    ::close(std::exchange(lockFd_, -1));
    if (mode.testFlag(Mode::SecondaryNotification) && !notified)
        qCWarning(lcApp) << "SingleApplication: the primary instance could not be reached within" << timeout << "ms";
    if (!allowSecondary)
        std::exit(EXIT_SUCCESS);
}

SingleApplication::~SingleApplication()
{
    if (server_)
        server_->close();
    // The lock file itself stays: removing it while another start waits on the same
    // inode would let a third start lock a new file and become a second primary.
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

QString SingleApplication::instanceKey() const
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(::geteuid()));
    hash.addData(QByteArrayLiteral("\n"));
    hash.addData(applicationName().toUtf8());
    hash.addData(QByteArrayLiteral("\n"));
    hash.addData(applicationFilePath().toUtf8());
    hash.addData(QByteArrayLiteral("\n"));
    hash.addData(applicationVersion().toUtf8());
    return QString::fromLatin1(hash.result().toHex().left(24));
}

bool SingleApplication::openLockFile()
{
    QString path;
    const FileDescriptor dir = openRuntimeDirectory(&path, &error_);
    if (dir.get() < 0)
        return false;
    const QString name = QStringLiteral("kalvor-scheduler-") + instanceKey();
    socketName_ = path + QLatin1Char('/') + name + QStringLiteral(".sock");
    const QString lockPath = path + QLatin1Char('/') + name + QStringLiteral(".lock");

    // O_NOFOLLOW: a symlink in place of the lock file is refused, never written through.
    // O_CLOEXEC: commands that the program starts must not inherit, and so keep, the lock.
    FileDescriptor fd(::openat(dir.get(), QFile::encodeName(name + QStringLiteral(".lock")).constData(),
                               O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        const int openError = errno;
        error_ = openError == ELOOP ? QStringLiteral("%1 is a symbolic link").arg(lockPath)
                                    : QStringLiteral("%1: %2").arg(lockPath, errnoText(openError));
        return false;
    }
    struct stat status = {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        error_ = QStringLiteral("%1 is not a regular file of user %2").arg(lockPath).arg(::geteuid());
        return false;
    }
    lockFd_ = fd.release();
    return true;
}

bool SingleApplication::startServer()
{
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // Only a primary holding the lock gets here, so a socket file left at the name is
    // one of a primary that has ended.
    QLocalServer::removeServer(socketName_);
    if (!server_->listen(socketName_)) {
        qCWarning(lcApp) << "SingleApplication: cannot listen on" << socketName_ << ":" << server_->errorString();
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleApplication::acceptConnection);
    return true;
}

bool SingleApplication::notifyPrimary(int timeout)
{
    QElapsedTimer clock;
    clock.start();
    QLocalSocket socket;
    socket.connectToServer(socketName_);
    if (!socket.waitForConnected(qMin(remainingOf(clock, timeout), 250)))
        return false;
    socket.write(kHello);
    if (!socket.waitForBytesWritten(remainingOf(clock, timeout)))
        return false;
    // The answer only tells that the primary has seen the message; it was delivered
    // once written, so a late answer does not matter.
    socket.waitForReadyRead(remainingOf(clock, timeout));
    socket.disconnectFromServer();
    return true;
}

void SingleApplication::acceptConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() < kHello.size())
                return;
            const QByteArray message = socket->read(kHello.size());
            if (message == kHello) {
                socket->write(kAck);
                socket->flush();
                emit instanceStarted();
            }
            socket->disconnectFromServer();
        });
    }
}
