#pragma once

// Opens the program's help file whenever F1 is released in any window of the program.
// Installed once on the application object; it consumes every F1 release. A key held
// down repeats its release events: those open nothing, and neither does an F1 while the
// viewer this filter started last still runs.

#include "common/UniqueFd.h"

#include <QObject>

class HelpKeyFilter : public QObject
{
public:
    using QObject::QObject;
    ~HelpKeyFilter() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

    // Help/KalvorScheduler.chm under the application directory, worked out once.
    static QString helpFilePath();

private:
    bool ViewerRunning() const;

    // The viewer started last: its process descriptor where the system gives one, else its id.
    common::UniqueFd viewerFd_;
    qint64 viewerPid_ = 0;
};
