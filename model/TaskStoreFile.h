#pragma once

// The XML store file that keeps the tasks from one start of the program to the next.
// Tasks are identified by their position in the list only.

#include "model/TaskInfo.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace store {

// The document for the tasks, in list order. Every text comes back from ParseTasks exactly
// as it is, white space included; a character that XML cannot hold is written as U+FFFD.
std::wstring WriteTasks(const std::vector<const TaskInfo*>& tasks);

// Whether XML 1.0 can hold the character (tab, line feed, carriage return and the code
// points from U+0020 up, without surrogates, U+FFFE and U+FFFF).
bool IsXmlCharacter(char32_t c);

// The first character of a text that XML cannot hold, if any. A text holding one cannot
// be stored: the wizard refuses it, the load drops a task holding it.
std::optional<char32_t> FirstCharacterXmlCannotHold(std::wstring_view text);

// A text of a task that the store cannot hold: the field's store key ("name",
// "arguments", "path" for a document key ...) and its first such character.
struct UnstorableText
{
    std::string key;
    char32_t character = 0;
};
std::optional<UnstorableText> FindUnstorableText(const TaskInfo& task);

// An optional task that takes the room of a pointer while it holds none: a damaged store
// can hold a million `task` elements that give no task.
class OptionalTask
{
public:
    OptionalTask() = default;
    OptionalTask(TaskInfo task)
        : task_(std::make_unique<TaskInfo>(std::move(task)))
    {}
    OptionalTask(const OptionalTask& other)
        : task_(other.task_ ? std::make_unique<TaskInfo>(*other.task_) : nullptr)
    {}
    OptionalTask(OptionalTask&&) noexcept = default;
    OptionalTask& operator=(OptionalTask other) noexcept
    {
        task_ = std::move(other.task_);
        return *this;
    }

    bool has_value() const { return task_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    TaskInfo& operator*() { return *task_; }
    const TaskInfo& operator*() const { return *task_; }
    TaskInfo* operator->() { return task_.get(); }
    const TaskInfo* operator->() const { return task_.get(); }
    const TaskInfo& value() const
    {
        if (!task_)
            throw std::bad_optional_access();
        return *task_;
    }

private:
    std::unique_ptr<TaskInfo> task_;
};

// One `task` element of a store document: the task it gives, or why it is dropped.
struct ParsedTask
{
    std::size_t position = 0; // among the `task` elements, from 0
    OptionalTask task;
    std::string error; // plain words, set when `task` is empty
    // Values that are kept but that the schedule cannot use (a weekday 9, a month 0, an
    // interval of 0), in plain words; the task loads all the same.
    std::vector<std::string> warnings;
};

// Reads a store document. Bad tasks come back with their reason and never stop the
// others. Throws boost::property_tree::xml_parser_error for malformed XML and for a
// document with more than one `config` root or `tasks` element in it. A document
// without `config.tasks` has no tasks. White space written raw in a text is trimmed and
// collapsed into single spaces; written as character references or CDATA it is kept.
std::vector<ParsedTask> ParseTasks(const std::wstring& document);

// The whole file as text, or nothing when it cannot be opened.
std::optional<std::wstring> ReadFile(const std::filesystem::path& file);

// Replaces the file as a whole (a crash at any moment leaves the old or the new complete
// file) with permissions 0600. False when it could not be written; the old file stays,
// and `error` (when given) gets the system's reason.
bool WriteFile(const std::filesystem::path& file, const std::wstring& document, std::string* error = nullptr);

// Creates the folder that holds the file, with its parents. False, with the reason on
// standard error, when that fails; never throws.
bool CreateFolderOf(const std::filesystem::path& file);

} // namespace store
