#pragma once

// Copies a repository folder with all its sub-folders and documents into a local
// directory. Runs on a thread of its own and holds only what it is given.

#include "repository/Vadro.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace execution {

struct BackupRequest
{
    vadro::Uuid connection_id{};
    std::wstring source_path;
    std::wstring destination_path;
};

struct BackupResult
{
    bool ok = false;
    std::size_t documents = 0; // documents copied
    std::wstring reason;       // why the backup did not run, when !ok
};

// The contents of the source folder land directly in the destination, which is created
// with its parents just before the first entry is written (an empty source writes
// nothing). Existing files are overwritten; nothing is deleted. A document or folder
// that cannot be written is skipped. Never throws.
BackupResult RunBackup(const BackupRequest& request, vadro::ICore& core, const std::filesystem::path& connectionsFile);

} // namespace execution
