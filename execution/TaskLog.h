#pragma once

// The log file of one task: lines appended in UTF-8, each written whole with one system
// call, or not at all, so nothing is buffered between lines and a failed write never
// glues two lines together. The file is opened only for the moment of each write, so
// thousands of tasks hold no descriptors, and only a regular file is ever written: a
// symbolic link, a FIFO or a device at the log's path is refused without waiting. A log
// that reaches its size limit keeps its newer half and moves the older half to its older
// file (OlderLogPath), replacing the one before. A log that cannot be written says so on
// standard error once, and again after it has worked in between.

#include "common/UniqueFd.h"

#include <QDateTime>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace execution {

// Largest size of a log file; the older half of a log that would pass it is moved aside.
constexpr std::uint64_t kLogSizeLimit = 4 * 1024 * 1024;

// The file name of the log of a task named `name`, one-to-one: the name with ".log"
// appended, where '/', '%' and NUL are written as %2F, %25 and %00, and a name too long
// for a file name is cut and ended with "%#" and a hash of the whole. A name without those
// characters that fits keeps exactly its name with ".log".
std::string LogFileName(const std::wstring& name);
std::filesystem::path LogFilePathFor(const std::filesystem::path& directory, const std::wstring& name);

// Where the older half of `logFile` goes: its name with ".1" appended (cut and hashed like
// a long name when that does not fit).
std::filesystem::path OlderLogPath(const std::filesystem::path& logFile);

// Moves a task's log (and its older file) to the name `to`, unless a file of that name
// exists already. True when the log was moved.
bool MoveLog(const std::filesystem::path& from, const std::filesystem::path& to);

// "dd.MM.yyyy hh:mm:ss <message>\n" in UTF-8; the message is taken as it is.
std::string FormatLogLine(const QDateTime& localTime, const std::wstring& message);

class TaskLog
{
public:
    // Creates `file` for appending (permissions 0600) when it is missing; no file: a log
    // that drops every line. `sizeLimit` bounds the file (tests use small ones).
    explicit TaskLog(std::optional<std::filesystem::path> file, std::uint64_t sizeLimit = kLogSizeLimit);

    // Appends one line ending in a line feed. False when it could not be written; the
    // next line written then starts on a line of its own.
    bool Write(const std::string& line);
    // Whether the last open or write succeeded.
    bool IsOpen() const { return open_; }
    const std::optional<std::filesystem::path>& File() const { return file_; }

private:
    // The file opened for appending, or none with the reason told.
    common::UniqueFd Open();
    // Moves the older half of the open log `fd` (of `size` bytes) aside; the descriptor
    // then refers to the older file and the log's path to the newer half.
    bool Rotate(int fd, std::uint64_t size);
    void Fail(const std::string& why);

    std::optional<std::filesystem::path> file_;
    std::uint64_t sizeLimit_;
    bool open_ = false;
    bool told_ = false;       // the current failure was told on standard error
    bool breakFirst_ = false; // a cut line may end the file: the next line starts anew
};

} // namespace execution
