#pragma once

// The log file of every stored task, in the log directory: opened when the task is stored,
// moved along when the task is renamed, deleted when the task is removed.
// Threads: the user-interface thread (and the load) calls it; the entries it changes are
// guarded by the state lock (StoredTasks), which the caller of each *Locked method holds.

#include "execution/TaskLog.h"
#include "model/TaskInfo.h"
#include "scheduler/StoredTasks.h"

#include <filesystem>
#include <memory>
#include <string>

class TaskLogs
{
public:
    explicit TaskLogs(std::filesystem::path directory)
        : directory_(std::move(directory))
    {}

    const std::filesystem::path& Directory() const { return directory_; }

    // The log of `task`, creating the log directory first. Throws
    // std::filesystem::filesystem_error when the directory cannot be created.
    std::unique_ptr<execution::TaskLog> Open(const TaskInfo& task) const;
    // Gives a newly stored entry its log; one that cannot be opened is told on standard
    // error and replaced by a log that drops every line.
    void OpenLocked(TaskEntry& entry) const;
    // The log follows the entry's record from `oldName` to its new name; a log that name
    // has already is kept and continued, and the old file stays.
    void RenameLocked(TaskEntry& entry, const std::wstring& oldName) const;
    // Closes the entry's log and deletes its file and older file; only a file inside the
    // log directory is ever deleted. Returns why the log file was not deleted, or nothing.
    std::string RemoveLocked(TaskEntry& entry) const;

private:
    std::filesystem::path directory_;
};
