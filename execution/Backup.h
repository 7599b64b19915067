#pragma once

// Copies a repository folder with all its sub-folders and documents into a local
// directory. Runs on a thread of its own and holds only what it is given.

#include "repository/Vadro.h"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace execution {

struct BackupRequest
{
    vadro::Uuid connection_id{};
    std::wstring source_path;
    std::wstring destination_path;
};

struct BackupFailure
{
    std::wstring path;   // repository path of the item
    std::wstring reason; // readable (Russian) text
};

struct BackupResult
{
    bool ok = false;                     // ran to its end and nothing failed
    std::size_t documents = 0;           // documents copied
    std::size_t failed = 0;              // documents and folders not copied
    std::vector<BackupFailure> failures; // the first few of them, in the order met
    std::wstring reason;                 // why the backup did not run or stopped, when not empty
};

// How many failures a result keeps with their path and reason.
constexpr std::size_t kReportedBackupFailures = 5;

// The contents of the source folder land directly in the destination, which is created
// with its parents just before the first entry is written (an empty source writes
// nothing). A destination that is the source folder, lies inside it or holds it is refused
// before anything is written, and so is one whose path passes through a symbolic link or a
// folder of another user than the one running the backup and root. Below the destination nothing is followed: a
// symbolic link where a folder or a document belongs is a failure of that item. Each document is written to a temporary
// (unnamed where the file system allows) file in its folder and takes the place of the previous copy only once it is
// whole and closed, so a failure or a kill leaves the previous copy; named temporary files left by an interrupted run
// are removed by the next run. A document or folder that cannot be read or written, or whose name could lead outside
// its folder or is not UTF-8, is skipped and counted; the run goes on. Files without a counterpart are left alone.
// `stop` ends the run between chunks (the document in progress keeps its previous copy). Holds a fixed number of
// descriptors at a time. Never throws.
BackupResult RunBackup(const BackupRequest& request, vadro::ICore& core, const std::filesystem::path& connectionsFile,
                       const std::atomic<bool>* stop = nullptr);

// Why a backup of the local folder `source` into `destination` is refused: the destination
// is that folder or lies inside it, judged by the identity of its existing ancestors both as
// written and as resolved. Empty when it is neither. The run checks this before writing, and
// again on the folder it opened, so a link swapped in meanwhile does not lead into the source.
std::wstring DestinationOverlapProblem(const std::wstring& destination, const vadro::LocalIdentity& source);

// The log messages of a result: the outcome line, then one line per reported failure;
// control characters in names are written as visible escapes.
std::vector<std::wstring> BackupReport(const BackupResult& result);

} // namespace execution
