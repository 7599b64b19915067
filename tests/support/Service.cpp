#include "support/Service.h"

#include "support/Files.h"

#include <QFile>
#include <QRegularExpression>

namespace testsupport {

QStringList taskNames(const TaskStorage& service)
{
    QStringList names;
    for (const auto& task : service.Tasks())
        names << QString::fromStdWString(task->name);
    return names;
}

std::unique_ptr<TaskStorage> serviceIn(const QString& root, std::shared_ptr<vadro::ICore> core,
                                       TaskStorage::Settings settings)
{
    static int made = 0;
    const QString store = root + QStringLiteral("/data%1/storage.xml").arg(++made);
    auto service = std::make_unique<TaskStorage>(fsPath(store), fsPath(root + QStringLiteral("/logs")), std::move(core),
                                                 std::move(settings));
    service->SetToolPath(fsPath(binPath(QStringLiteral("KalvorCLI"))));
    return service;
}

void clearService()
{
    TaskStorage& storage = TaskStorage::Instance();
    while (!storage.Tasks().empty())
        storage.RemoveTask(storage.Tasks().front().get());
}

QStringList logMessages(const TaskStorage& service, const TaskInfo* task)
{
    QFile file(QString::fromStdString(service.LogFilePath(task).string()));
    return file.open(QIODevice::ReadOnly) ? logMessages(file.readAll()) : QStringList();
}

QStringList logMessages(const QByteArray& logText)
{
    QStringList lines = QString::fromUtf8(logText).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d "));
    for (QString& line : lines) {
        if (line.isEmpty())
            continue;
        if (!stamp.match(line).hasMatch())
            return {QStringLiteral("bad stamp: ") + line};
        line = line.mid(20);
    }
    return lines;
}

} // namespace testsupport
