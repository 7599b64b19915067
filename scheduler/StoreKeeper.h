#pragma once

// Keeps the store file in step with the stored records: reads it once at the start, says
// what it found damaged, and writes the records whenever they changed. Edits call Save on
// their own thread before they return; the run state is written by the saver thread
// (StoreSaver), one write for every change made meanwhile (Request). Any thread may save.
//
// The store lock, the keeper's own, is held for a whole write and guards what the load
// found damaged and the count of changes the file holds; a write copies the records under
// the state lock (StoredTasks), taken after the store lock, and formats them without it.

#include "model/TaskStoreFile.h"
#include "scheduler/StoreSaver.h"
#include "scheduler/StoredTasks.h"
#include "scheduler/TaskEvents.h"

#include <QCoreApplication>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the load found wrong with the store file: set when the file exists but does not
// parse as a whole, cannot be read, or holds a task that was dropped.
struct StoreDamage
{
    std::string reason;           // empty when the store loaded whole
    std::size_t recovered = 0;    // tasks loaded from it, damaged or not
    std::size_t dropped = 0;      // `task` elements that could not be read
    std::filesystem::path keptAs; // the damaged file beside the store; empty until the first save
};

class StoreKeeper
{
    Q_DECLARE_TR_FUNCTIONS(TaskStorage)

public:
    // The saver gathers run-state changes for `runStateDelay` and tries a failed save again
    // after `saveRetryDelay`.
    StoreKeeper(StoredTasks& tasks, TaskEvents& events, std::filesystem::path storePath,
                std::filesystem::path logDirectory, std::chrono::milliseconds runStateDelay,
                std::chrono::milliseconds saveRetryDelay);

    StoreKeeper(const StoreKeeper&) = delete;
    StoreKeeper& operator=(const StoreKeeper&) = delete;

    // Reads the store file (once, before any save) and answers the tasks it holds; clears
    // away what interrupted writes left beside the store and in the log directory.
    std::vector<store::ParsedTask> Read();
    // What is stored now is what the file holds.
    void MarkRead();

    // Writes every stored task into the store file. A store that the load found damaged
    // is first kept beside it; when that fails, nothing is written. A save that fails says
    // why on standard error and through TaskEvents::saveFailed. False then.
    bool Save();
    // Has the saver write the state as it is from now on soon.
    void Request() { saver_->Request(); }
    // Writes what was asked for and not written yet and ends the saver; later requests
    // write at once.
    void Stop() { saver_->Stop(); }
    bool HasUnsavedChanges() const { return unsaved_.load(); }
    StoreDamage Damage() const;
    const std::filesystem::path& StorePath() const { return storePath_; }

private:
    // The saver's write: saves when anything changed since the last save, or a save failed.
    bool SaveChanges();
    // Writes the store under the store lock; the reason when that failed, else empty.
    QString SaveLocked();

    StoredTasks& tasks_;
    TaskEvents& events_;
    const std::filesystem::path storePath_;
    const std::filesystem::path logDirectory_;
    mutable std::mutex mutex_;
    // Guarded by the store lock. The damaged file's bytes wait here for the first save;
    // an unreadable one is moved aside instead.
    StoreDamage damage_;
    std::string damagedBytes_;
    bool damagedUnreadable_ = false;
    // The count of changes (StoredTasks) the file holds.
    std::uint64_t savedChanges_ = 0;
    std::atomic<bool> unsaved_{false};
    // Declared last, so it stops before anything it writes is gone.
    std::unique_ptr<StoreSaver> saver_;
};
