#include "scheduler/TaskLogs.h"

#include "common/Logging.h"

#include <exception>
#include <optional>
#include <system_error>

std::unique_ptr<execution::TaskLog> TaskLogs::Open(const TaskInfo& task) const
{
    std::filesystem::create_directories(directory_);
    return std::make_unique<execution::TaskLog>(execution::LogFilePathFor(directory_, task.name));
}

void TaskLogs::OpenLocked(TaskEntry& entry) const
{
    try {
        entry.log = Open(*entry.record);
    } catch (const std::exception& e) {
        qCWarning(lcScheduler, "Cannot open the log of a task: %s", e.what());
        entry.log = std::make_unique<execution::TaskLog>(std::nullopt);
    }
}

void TaskLogs::RenameLocked(TaskEntry& entry, const std::wstring& oldName) const
{
    const TaskInfo& record = *entry.record;
    if (record.name == oldName || !entry.log || !entry.log->File())
        return;
    const auto renamed = execution::LogFilePathFor(directory_, record.name);
    execution::MoveLog(*entry.log->File(), renamed);
    entry.log = std::make_unique<execution::TaskLog>(renamed);
}

std::string TaskLogs::RemoveLocked(TaskEntry& entry) const
{
    if (!entry.log)
        return {};
    const auto file = entry.log->File();
    entry.log.reset();
    std::error_code ec;
    if (file)
        std::filesystem::remove(execution::OlderLogPath(*file), ec);
    if (!file || !std::filesystem::remove(*file, ec))
        return (ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory)).message();
    return {};
}
