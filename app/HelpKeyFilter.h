#pragma once

// Opens the program's help file whenever F1 is released in any window of the program.
// Installed once on the application object; it consumes every F1 release.

#include <QObject>

class HelpKeyFilter : public QObject
{
public:
    using QObject::QObject;
    ~HelpKeyFilter() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

    // Help/KalvorScheduler.chm under the application directory, worked out once.
    static QString helpFilePath();
};
