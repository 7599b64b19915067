#include "scheduler/StoredTasks.h"

#include <algorithm>
#include <iterator>

TaskEntry& StoredTasks::InsertLocked(std::unique_ptr<TaskInfo> task, std::size_t position)
{
    TaskInfo* record = task.get();
    auto place = tasks_.begin();
    std::advance(place, std::min(position, tasks_.size()));
    tasks_.insert(place, std::move(task));
    ++changes_;
    TaskEntry& entry = entries_[record];
    entry.record = record;
    entry.serial = nextSerial_++;
    return entry;
}

void StoredTasks::EraseLocked(const TaskInfo* task)
{
    entries_.erase(task);
    tasks_.remove_if([task](const std::unique_ptr<TaskInfo>& t) { return t.get() == task; });
    ++changes_;
}

TaskEntry* StoredTasks::FindLocked(const TaskInfo* task, std::uint64_t serial)
{
    auto it = entries_.find(task);
    if (it == entries_.end() || (serial != kAnySerial && it->second.serial != serial))
        return nullptr;
    return &it->second;
}

const TaskEntry* StoredTasks::FindLocked(const TaskInfo* task, std::uint64_t serial) const
{
    auto it = entries_.find(task);
    if (it == entries_.end() || (serial != kAnySerial && it->second.serial != serial))
        return nullptr;
    return &it->second;
}
