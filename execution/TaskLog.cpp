#include "execution/TaskLog.h"

#include "common/Utf8.h"

#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace execution {

std::optional<std::filesystem::path> LogFilePathFor(const std::filesystem::path& directory, const std::wstring& name)
{
    if (name.empty())
        return std::nullopt;
    const auto relative = std::filesystem::u8path(common::toUtf8(name + L".log"));
    if (relative.is_absolute() || relative.has_root_path())
        return std::nullopt;
    for (const auto& part : relative)
        if (part == "..")
            return std::nullopt;
    return directory / relative;
}

std::string FormatLogLine(const QDateTime& localTime, const std::wstring& message)
{
    return localTime.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")).toStdString() + ' ' +
           QString::fromStdWString(message).toStdString() + '\n';
}

TaskLog::TaskLog(std::optional<std::filesystem::path> file)
    : file_(std::move(file))
{
    if (!file_)
        return;
    const int fd = ::open(file_->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        open_ = true;
    }
}

void TaskLog::Write(const std::string& line)
{
    if (!open_)
        return;
    const int fd = ::open(file_->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace execution
