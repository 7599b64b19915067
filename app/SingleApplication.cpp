#include "SingleApplication.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QtDebug>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

} // namespace

SingleApplication::SingleApplication(int& argc, char** argv, bool allowSecondary, Modes mode, int timeout)
    : QApplication(argc, argv)
{
    const QString base = runtimeDirectory() + QStringLiteral("/kalvor-instance-") + instanceKey();
    lockPath_ = base + QStringLiteral(".lock");
    socketName_ = base + QStringLiteral(".sock");

    QElapsedTimer clock;
    clock.start();
    bool notified = false;
    for (;;) {
        if (tryBecomePrimary()) {
            primary_ = true;
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
    if (mode.testFlag(Mode::SecondaryNotification) && !notified)
        qWarning() << "SingleApplication: the primary instance could not be reached within" << timeout << "ms";
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

QString SingleApplication::runtimeDirectory()
{
    // Shared by all users on purpose: a start by another user must find the primary.
    return QStringLiteral("/tmp");
}

QString SingleApplication::instanceKey() const
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(applicationName().toUtf8());
    hash.addData(QByteArrayLiteral("\n"));
    hash.addData(applicationFilePath().toUtf8());
    hash.addData(QByteArrayLiteral("\n"));
    hash.addData(applicationVersion().toUtf8());
    return QString::fromLatin1(hash.result().toHex().left(24));
}

bool SingleApplication::tryBecomePrimary()
{
    const QByteArray path = QFile::encodeName(lockPath_);
    // O_CLOEXEC: commands that the program starts must not inherit, and so keep, the lock.
    // An existing file is opened without O_CREAT: where the kernel protects regular files
    // in sticky directories, O_CREAT on another user's file fails even though the mode
    // allows writing, and a file left by that user would block every later start.
    int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    // Let every user lock the file later; only its owner can change the mode.
    ::fchmod(fd, 0666);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    // Until the server listens the file names no socket, so secondaries wait for it.
    if (::ftruncate(fd, 0) != 0)
        qWarning() << "SingleApplication: cannot clear the lock file:" << std::strerror(errno);
    return true;
}

bool SingleApplication::startServer()
{
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::WorldAccessOption);
    // A socket left by a killed primary of another user cannot be removed from the
    // shared directory; a name of our own then takes its place.
    const QString names[] = {socketName_, socketName_ + QLatin1Char('-') + QString::number(::getuid())};
    for (const QString& name : names) {
        QLocalServer::removeServer(name);
        if (!server_->listen(name))
            continue;
        const QByteArray line = QFile::encodeName(name) + '\n';
        if (::pwrite(lockFd_, line.constData(), static_cast<size_t>(line.size()), 0) != line.size())
            qWarning() << "SingleApplication: cannot write the lock file:" << std::strerror(errno);
        connect(server_, &QLocalServer::newConnection, this, &SingleApplication::acceptConnection);
        return true;
    }
    qWarning() << "SingleApplication: cannot listen on" << socketName_ << ":" << server_->errorString();
    return false;
}

bool SingleApplication::notifyPrimary(int timeout)
{
    QElapsedTimer clock;
    clock.start();
    QFile lockFile(lockPath_);
    if (!lockFile.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = lockFile.readAll();
    // The primary writes the name in one go, ending with a line feed; anything else is
    // a file caught between truncation and writing.
    if (!line.endsWith('\n'))
        return false;
    QLocalSocket socket;
    socket.connectToServer(QFile::decodeName(line.chopped(1)));
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
