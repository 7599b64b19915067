#pragma once

// What runs and backups write into a task's log is translated in the task storage
// service's context, "TaskStorage", like the service's own lines.

#include <QCoreApplication>
#include <QString>

#include <string>

namespace execution {

class RunTexts
{
    Q_DECLARE_TR_FUNCTIONS(TaskStorage)

public:
    // The translated text; with `value`, its "%1" filled in.
    static std::wstring Text(const char* source) { return tr(source).toStdWString(); }
    static std::wstring Text(const char* source, const std::wstring& value)
    {
        return tr(source).arg(QString::fromStdWString(value)).toStdWString();
    }
    static QString Translate(const char* source) { return tr(source); }
};

} // namespace execution
