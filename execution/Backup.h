#pragma once

// Copies a repository folder with all its sub-folders and documents into a local
// directory. Runs on a thread of its own and holds only what it is given.

#include "repository/Vadro.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
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
    // Dated versions the destination keeps; 0 keeps one copy updated in place.
    std::uint32_t keep_versions = 0;
    // The run's start, which names its version in local time; 0 stands for the moment RunBackup begins.
    std::time_t started = 0;
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
    std::size_t linked = 0;              // documents unchanged since the previous version, linked to its copy
    std::wstring version;                // the version a run with versions completed, when it did
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
//
// With `keep_versions` N > 0 the destination keeps dated versions instead: each run writes a complete copy into
// ".YYYY-MM-DD_HH-MM-SS.partial" (its local start; "_2" and on added when the name is taken) and renames it to
// "YYYY-MM-DD_HH-MM-SS" only when the run succeeded, so a failed or stopped run leaves no version that looks complete.
// The ledger ".kalvor-versions" in the destination lists the versions runs made, with the source each copies, in the
// order they completed; only what it lists is a version, so folders of the user's that are named alike stay as they
// are, and tasks sharing a destination each see their own. A leftover of an ended run of this source is removed by
// the next run. A document whose size and modification time equal those of its copy in the source's newest complete
// version becomes a hard link to that copy; a copied document takes the document's modification time. After a
// successful run the source's complete versions beyond the newest N are removed, oldest completed first, each first
// renamed ".YYYY-MM-DD_HH-MM-SS.deleting", and the symbolic link "latest" names the run's version. Whatever else the
// destination holds (a single copy made before versions) stays as it is.
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
