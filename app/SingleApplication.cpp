#include "SingleApplication.h"

#include "common/ControlRequest.h"
#include "common/Logging.h"
#include "common/StoreLock.h"
#include "common/Text.h"
#include "common/UniqueFd.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QtDebug>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QByteArray kHello = QByteArrayLiteral("instance-started\n");
const QByteArray kAck = QByteArrayLiteral("ok\n");
// How long a start waits for the answer of a primary it has reached (ms).
constexpr int kAnswerWait = 5000;

int RemainingOf(const QElapsedTimer& clock, int timeout)
{
    return qMax(0, timeout - static_cast<int>(clock.elapsed()));
}

QString ErrnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Whether a local socket can be bound at `path`: the address holds at most 107 bytes.
bool FitsSocketAddress(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    return static_cast<std::size_t>(bytes.size()) < sizeof(sockaddr_un::sun_path) && !bytes.contains('\n');
}

// Whether `path` is a private directory of this user: not a symbolic link, owned by this
// user, closed to everybody else. Otherwise `error` says why.
bool IsPrivateDirectory(const QString& path, QString* error)
{
    const QByteArray name = QFile::encodeName(path);
    const common::UniqueFd fd(::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        const int openError = errno;
        // With O_DIRECTORY the kernel answers "Not a directory" for a link to a directory.
        struct stat link = {};
        if (openError == ELOOP ||
            (openError == ENOTDIR && ::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode)))
            *error = QStringLiteral("%1 is a symbolic link").arg(path);
        else
            *error = QStringLiteral("%1: %2").arg(path, ErrnoText(openError));
        return false;
    }
    struct stat status = {};
    if (::fstat(fd.get(), &status) != 0) {
        *error = QStringLiteral("%1: %2").arg(path, ErrnoText(errno));
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 belongs to user %2, not to user %3").arg(path).arg(status.st_uid).arg(::geteuid());
        return false;
    }
    if ((status.st_mode & 077) != 0) {
        *error = QStringLiteral("%1 has mode %2; only its owner may have access (0700)")
                     .arg(path, QString::number(status.st_mode & 07777, 8).prepend(QLatin1Char('0')));
        return false;
    }
    return true;
}

// Where a primary started with a private XDG_RUNTIME_DIR listens for the store whose lock
// file is `lock`; empty (with `why`) when this process has no usable runtime directory.
QString RuntimeSocketPath(const QString& lock, QString* why)
{
    const QString xdg = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (xdg.isEmpty() || !IsPrivateDirectory(xdg, why))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QFile::encodeName(lock));
    const QString path = xdg + QStringLiteral("/kalvor-scheduler-") +
                         QString::fromLatin1(hash.result().toHex().left(16)) + QStringLiteral(".sock");
    if (FitsSocketAddress(path))
        return path;
    *why = QStringLiteral("%1 is too long for a local socket").arg(path);
    return QString();
}

// Whether the process at the other end of `socket` runs as this user.
bool FromThisUser(QLocalSocket& socket)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           peer.uid == ::geteuid();
}

} // namespace

SingleApplication::SingleApplication(int& argc, char** argv, bool allowSecondary, Modes mode, int timeout,
                                     const QString& store)
    : QApplication(argc, argv)
    , lock_(std::make_unique<common::StoreLock>(common::toPath(store)))
{
    QElapsedTimer clock;
    clock.start();
    if (!lock_->IsOpen()) {
        error_ = QStringLiteral("the lock of the task store cannot be used safely: ") +
                 QString::fromLocal8Bit(lock_->Error().c_str());
    } else {
        // Where this start would listen: a primary whose record could not be written
        // is looked for there.
        QString unused;
        const QString fallbackSocket = RuntimeSocketPath(QFile::decodeName(lock_->Path().c_str()), &unused);
        for (;;) {
            if (lock_->TryLock()) {
                role_ = Role::Primary;
                // The record names the socket only once it listens.
                if (!lock_->Record(StartServer() ? QFile::encodeName(socketName_).toStdString() : std::string()))
                    qCWarning(lcApp,
                              "SingleApplication: the lock file could not be written (%s); the task store is "
                              "locked still, later starts look for this instance in their runtime directory only",
                              lock_->RecordError().c_str());
                return;
            }
            if (!mode.testFlag(Mode::SecondaryNotification)) {
                role_ = Role::Secondary;
                break;
            }
            // A primary that has just taken the lock may not have recorded itself yet, and
            // one that ended a moment ago leaves the lock free: both pass on a retry.
            const common::StoreLockHolder holder = lock_->Holder();
            if (holder.pid > 0)
                holderPid_ = holder.pid;
            const QString socket =
                holder.socket.empty() ? fallbackSocket : QFile::decodeName(QByteArray::fromStdString(holder.socket));
            const Reach reach =
                socket.isEmpty() ? Reach::NotReached : NotifyPrimary(socket, RemainingOf(clock, timeout));
            if (reach == Reach::Answered) {
                role_ = Role::Secondary;
                break;
            }
            if (reach == Reach::Silent) {
                error_ =
                    QStringLiteral("the task store %1 is in use by %2, which did not answer within %3 ms")
                        .arg(store, holderPid_ > 0 ? QStringLiteral("process %1").arg(static_cast<qint64>(holderPid_))
                                                   : QStringLiteral("another process"))
                        .arg(kAnswerWait);
                break;
            }
            if (RemainingOf(clock, timeout) == 0)
                break;
            QThread::msleep(10);
        }
        if (role_ == Role::Failed && error_.isEmpty())
            error_ = (holderPid_ > 0 ? QStringLiteral("the task store %1 is in use by process %2")
                                           .arg(store)
                                           .arg(static_cast<qint64>(holderPid_))
                                     : QStringLiteral("the task store %1 is in use by another process").arg(store)) +
                     QStringLiteral(", which could not be reached within %1 ms").arg(timeout);
        else if (role_ != Role::Failed)
            holderPid_ = 0;
    }
    lock_.reset();
    if (allowSecondary)
        return;
    if (role_ == Role::Failed) {
        qCCritical(lcApp, "SingleApplication: %s", qUtf8Printable(error_));
        std::exit(EXIT_FAILURE);
    }
    std::exit(EXIT_SUCCESS);
}

SingleApplication::~SingleApplication()
{
    if (server_)
        server_->close();
    if (!socketFolder_.isEmpty())
        ::rmdir(QFile::encodeName(socketFolder_).constData());
    // The lock stays until the process ends: the task store service outlives this object
    // and may still save. Later starts find no socket and wait for the lock to go.
    if (lock_ && lock_->IsHeld()) {
        lock_->Record(std::string());
        static_cast<void>(lock_.release());
    }
}

QString SingleApplication::ChooseSocketPath(const QString& store)
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        QString why;
        const QString path = RuntimeSocketPath(store, &why);
        if (!path.isEmpty())
            return path;
        qCWarning(lcApp, "SingleApplication: XDG_RUNTIME_DIR is not usable (%s); using the temporary directory",
                  qUtf8Printable(why));
    }
    // A new folder with a random name: nothing another user made beforehand is ever used.
    const QString folderName = QStringLiteral("/kalvor-scheduler-%1-XXXXXX").arg(::geteuid());
    const QString socketFile = QStringLiteral("/wake");
    for (const QString& base : {QDir::tempPath(), QStringLiteral("/tmp")}) {
        QByteArray folder = QFile::encodeName(base + folderName);
        if (!FitsSocketAddress(QFile::decodeName(folder) + socketFile))
            continue;
        if (::mkdtemp(folder.data()) != nullptr) {
            socketFolder_ = QFile::decodeName(folder);
            return socketFolder_ + socketFile;
        }
    }
    return QString();
}

bool SingleApplication::StartServer()
{
    socketName_ = ChooseSocketPath(common::toQString(lock_->Path()));
    if (socketName_.isEmpty()) {
        qCWarning(lcApp, "SingleApplication: no private place for the wake-up socket; later starts cannot reach "
                         "this instance");
        return false;
    }
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // Only the holder of the store's lock gets here, so a socket file left at the name is
    // one of a primary that has ended.
    QLocalServer::removeServer(socketName_);
    if (!server_->listen(socketName_)) {
        qCWarning(lcApp) << "SingleApplication: cannot listen on" << socketName_ << ":" << server_->errorString();
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleApplication::AcceptConnection);
    return true;
}

SingleApplication::Reach SingleApplication::NotifyPrimary(const QString& socketName, int timeout)
{
    QElapsedTimer clock;
    clock.start();
    QLocalSocket socket;
    socket.connectToServer(socketName);
    if (!socket.waitForConnected(qMin(RemainingOf(clock, timeout), 250)))
        return Reach::NotReached;
    socket.write(kHello);
    if (!socket.waitForBytesWritten(qMax(RemainingOf(clock, timeout), 250)))
        return Reach::NotReached;
    // The message lands in the socket's buffer even when the primary hangs; only its
    // answer, sent once it has shown itself, tells that it works. No second message is sent.
    QByteArray answer;
    while (answer.size() < kAck.size() && clock.elapsed() < kAnswerWait &&
           (socket.bytesAvailable() > 0 || socket.waitForReadyRead(kAnswerWait - static_cast<int>(clock.elapsed()))))
        answer += socket.read(kAck.size() - answer.size());
    socket.disconnectFromServer();
    return answer == kAck ? Reach::Answered : Reach::Silent;
}

void SingleApplication::AcceptConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // One line per connection: the wake-up of a second start, or a control request.
            if (socket->property("taken").toBool())
                return;
            const qint64 lineFeed = socket->peek(common::kMaxControlLine).indexOf('\n');
            if (lineFeed < 0) {
                if (socket->bytesAvailable() >= static_cast<qint64>(common::kMaxControlLine))
                    socket->disconnectFromServer();
                return;
            }
            socket->setProperty("taken", true);
            const QByteArray message = socket->read(lineFeed + 1);
            if (message == kHello) {
                // Answered once the window is shown, so a start that gets no answer knows
                // this instance does not work.
                emit instanceStarted();
                socket->write(kAck);
                socket->flush();
                socket->disconnectFromServer();
                return;
            }
            const std::string request = message.left(message.size() - 1).toStdString();
            if (!requestHandler_ || !FromThisUser(*socket)) {
                socket->write(QByteArray::fromStdString(common::EncodeControlReply(false, "request refused")));
                socket->flush();
                socket->disconnectFromServer();
                return;
            }
            // The reply may come after the client has gone, or after the socket was deleted.
            QPointer<QLocalSocket> guarded(socket);
            requestHandler_(request, [guarded](const std::string& line) {
                if (!guarded)
                    return;
                guarded->write(QByteArray::fromStdString(line));
                guarded->flush();
                guarded->disconnectFromServer();
            });
        });
    }
}
