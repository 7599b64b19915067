#pragma once

// The lock that makes one process the only writer of a file the program keeps (the task
// store): an advisory flock on the folder that holds the file, reached through any
// symbolic links on the way, so every name that leads to the store meets the same lock.
// It belongs to the data, not to the environment, so starts from a desktop session, an
// ssh login or cron all meet it; the kernel drops it when the holder ends in any way,
// SIGKILL included, and no file can be deleted to take it away. A read-only folder can
// still be locked.
//
// Beside the store, "<file>.lock" records the holder: the process id and the local socket
// where the holder listens for a wake-up, so that another start can reach it or name it.
// The record is a help only (a full disk or a read-only folder leave none). The file is
// opened without following a symbolic link and used only when it is a regular file of
// this user with a single name; anything else planted there is refused.

#include "common/UniqueFd.h"

#include <filesystem>
#include <string>

#include <sys/types.h>

namespace common {

struct StoreLockHolder
{
    pid_t pid = 0;      // 0 while the holder is not known
    std::string socket; // empty when the holder listens nowhere or has recorded nothing
};

class StoreLock
{
public:
    enum class Open
    {
        Create,       // the folder and the record file are made when missing (mode 0600)
        ExistingOnly, // neither is made; a missing folder is not an error: nobody holds it
    };

    // Opens the folder of `file` (and its record); never waits and never takes the lock.
    explicit StoreLock(const std::filesystem::path& file, Open open = Open::Create);
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    // A holder that recorded itself clears the record before the lock goes.
    ~StoreLock();

    // The file `file` leads to: its canonical path, or its folder's canonical path and its
    // name when the file does not exist yet; `file` itself when the folder is missing.
    static std::filesystem::path Resolve(const std::filesystem::path& file);
    static std::filesystem::path LockPathOf(const std::filesystem::path& file);

    // False when the folder is missing (ExistingOnly) or the lock cannot be used safely;
    // then Error() says why (empty for a missing folder).
    bool IsOpen() const { return folder_.get() >= 0; }
    const std::string& Error() const { return error_; }
    // The record file beside the resolved store.
    const std::filesystem::path& Path() const { return path_; }

    // Takes the lock when nobody holds it; never waits. True while this object holds it.
    bool TryLock();
    bool IsHeld() const { return held_; }

    // The holder only: replaces the record by this process's id and `socket`. False when
    // the record could not be written; RecordError() says why.
    bool Record(const std::string& socket);
    const std::string& RecordError() const { return recordError_; }
    // Who holds the lock: the record, or the kernel's list of locks when the record is
    // missing, not yet whole or left by an earlier holder.
    StoreLockHolder Holder() const;

private:
    std::filesystem::path path_;
    std::string error_;
    std::string recordError_;
    UniqueFd folder_;
    UniqueFd fd_;
    bool held_ = false;
    bool recorded_ = false;
};

} // namespace common
