#include "HelpKeyFilter.h"

#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QProcess>

#include <cerrno>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

HelpKeyFilter::~HelpKeyFilter() = default;

QString HelpKeyFilter::helpFilePath()
{
    static const QString path =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Help/KalvorScheduler.chm"));
    return path;
}

bool HelpKeyFilter::ViewerRunning() const
{
    if (viewerFd_.get() >= 0) {
        // The descriptor turns readable once the process has ended.
        pollfd entry{viewerFd_.get(), POLLIN, 0};
        return ::poll(&entry, 1, 0) == 0;
    }
    return viewerPid_ > 0 && (::kill(static_cast<pid_t>(viewerPid_), 0) == 0 || errno == EPERM);
}

bool HelpKeyFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyRelease || static_cast<QKeyEvent*>(event)->key() != Qt::Key_F1)
        return QObject::eventFilter(watched, event);
    // A held key sends a release with each repeat; one press opens one viewer.
    if (static_cast<QKeyEvent*>(event)->isAutoRepeat() || ViewerRunning())
        return true;
    // "hh" is found through the search path; a missing viewer is not reported.
    qint64 pid = 0;
    viewerFd_.reset();
    viewerPid_ = 0;
    if (QProcess::startDetached(QStringLiteral("hh"), {helpFilePath()}, QString(), &pid) && pid > 0) {
        viewerPid_ = pid;
#ifdef SYS_pidfd_open
        viewerFd_ = common::UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
#endif
    }
    return true;
}
