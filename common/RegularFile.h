#pragma once

// Reading a file that the program keeps (its store, the saved connections) without
// trusting what lies at its path: only a regular file is read, and the open never
// waits, so a FIFO or a device planted there is refused at once instead of blocking.

#include <cstdint>
#include <filesystem>
#include <string>

namespace common {

struct FileRead
{
    enum class State
    {
        Read,    // `bytes` holds the whole file
        Missing, // nothing at the path (or a folder on the way is missing)
        Refused, // something is there but it cannot be read as a regular file; `error` says why
    };
    State state = State::Missing;
    std::string bytes;
    std::string error;
};

// The whole file as it is on disk. Never throws for a file-system failure, never blocks
// on the open. A file larger than `maxBytes` is refused unread.
FileRead ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes = UINT64_MAX);

} // namespace common
