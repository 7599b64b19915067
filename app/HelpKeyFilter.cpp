#include "HelpKeyFilter.h"

#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QProcess>

HelpKeyFilter::~HelpKeyFilter() = default;

QString HelpKeyFilter::helpFilePath()
{
    static const QString path =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Help/KalvorScheduler.chm"));
    return path;
}

bool HelpKeyFilter::eventFilter(QObject* watched, QEvent* event)
{
    // Modifiers and auto-repeat are not looked at: every F1 release opens the viewer.
    if (event->type() != QEvent::KeyRelease || static_cast<QKeyEvent*>(event)->key() != Qt::Key_F1)
        return QObject::eventFilter(watched, event);
    // "hh" is found through the search path; a missing viewer is not reported.
    QProcess::startDetached(QStringLiteral("hh"), {helpFilePath()});
    return true;
}
