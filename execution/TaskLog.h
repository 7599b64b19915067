#pragma once

// The log file of one task: lines appended in UTF-8, each written with one system call,
// so nothing is buffered between lines. A task whose file cannot be opened gets a log
// that drops its lines (they still reach standard error through the caller).

#include <QDateTime>

#include <filesystem>
#include <optional>
#include <string>

namespace execution {

// Where the log of a task named `name` lies in `directory`: the name with ".log"
// appended. Empty for a name that would leave the directory (an absolute path, a ".."
// component) or that is empty.
std::optional<std::filesystem::path> LogFilePathFor(const std::filesystem::path& directory, const std::wstring& name);

// "dd.MM.yyyy hh:mm:ss <message>\n" in UTF-8; the message is taken as it is.
std::string FormatLogLine(const QDateTime& localTime, const std::wstring& message);

class TaskLog
{
public:
    // Opens `file` for appending (created with permissions 0600); no file: a log that
    // drops every line.
    explicit TaskLog(std::optional<std::filesystem::path> file);
    ~TaskLog();
    TaskLog(const TaskLog&) = delete;
    TaskLog& operator=(const TaskLog&) = delete;

    void Write(const std::string& line);
    bool IsOpen() const { return fd_ >= 0; }
    const std::optional<std::filesystem::path>& File() const { return file_; }
    void Close();

private:
    std::optional<std::filesystem::path> file_;
    int fd_ = -1;
};

} // namespace execution
