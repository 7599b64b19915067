#pragma once

// The lock that makes one process the only writer of a file the program keeps (the task
// store): an advisory flock on "<file>.lock" beside that file. It belongs to the data, not
// to the environment, so starts from a desktop session, an ssh login or cron all meet the
// same lock; the kernel drops it when the holder ends in any way, SIGKILL included.
//
// The lock file also records its holder: the process id and the local socket where the
// holder listens for a wake-up, so that another start can reach it or name it. The file
// is opened without following a symbolic link and used only when it is a regular file
// of this user with a single name; it is never removed, since a start that waits on it
// and a third one that created a new file would both hold "the" lock.

#include "common/UniqueFd.h"

#include <filesystem>
#include <string>

#include <sys/types.h>

namespace common {

struct StoreLockHolder
{
    pid_t pid = 0;      // 0 while the holder has not recorded itself (or records nothing)
    std::string socket; // empty when the holder listens nowhere
};

class StoreLock
{
public:
    enum class Open
    {
        Create,       // the folder and the lock file are made when missing (mode 0600)
        ExistingOnly, // a missing lock file is not an error: nobody can hold it
    };

    // Opens the lock file beside `file`; never waits and never takes the lock.
    explicit StoreLock(const std::filesystem::path& file, Open open = Open::Create);
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    // A holder that recorded itself clears the record before the lock goes.
    ~StoreLock();

    static std::filesystem::path LockPathOf(const std::filesystem::path& file);

    // False when the lock file is missing (ExistingOnly) or cannot be used safely; then
    // Error() says why (empty for a missing file).
    bool IsOpen() const { return fd_.get() >= 0; }
    const std::string& Error() const { return error_; }
    const std::filesystem::path& Path() const { return path_; }

    // Takes the lock when nobody holds it; never waits. True while this object holds it.
    bool TryLock();
    bool IsHeld() const { return held_; }

    // The holder only: replaces the record by this process's id and `socket`.
    bool Record(const std::string& socket);
    // What the holder has recorded; a record being written reads as unknown (pid 0).
    StoreLockHolder Holder() const;

private:
    std::filesystem::path path_;
    std::string error_;
    UniqueFd fd_;
    bool held_ = false;
    bool recorded_ = false;
};

} // namespace common
