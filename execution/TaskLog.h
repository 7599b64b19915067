#pragma once

// The log file of one task: lines appended in UTF-8, each written with one system call,
// so nothing is buffered between lines. The file is created when the log is made and
// opened only for the moment of each write, so thousands of tasks hold no descriptors.
// A task whose file cannot be created gets a log that drops its lines (they still reach
// standard error through the caller).

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
    // Creates `file` for appending (permissions 0600) when it is missing; no file, or one
    // that cannot be created: a log that drops every line.
    explicit TaskLog(std::optional<std::filesystem::path> file);

    void Write(const std::string& line);
    bool IsOpen() const { return open_; }
    const std::optional<std::filesystem::path>& File() const { return file_; }

private:
    std::optional<std::filesystem::path> file_;
    bool open_ = false;
};

} // namespace execution
