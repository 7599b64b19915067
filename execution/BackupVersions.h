#pragma once

// The dated versions a backup with `keep_versions` writes into its destination: the ledger
// ".kalvor-versions" that lists them ("partial", "complete" or "deleting", with the source each
// copies), the run's unfinished version, pruning, "latest", and unchanged documents linked to
// the previous version. Internal to the backup; one object per run, used on the run's thread.

#include "common/UniqueFd.h"
#include "execution/Backup.h"
#include "repository/Vadro.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace execution::backup {

// The name of the version of a run started at `started`, in local time ("YYYY-MM-DD_HH-MM-SS");
// empty when the local time cannot be told.
std::string VersionName(std::time_t started);

// Links the copy of the document `child` in `previous` (a folder of the newest complete version,
// or -1) into `directory` under `name` when the document has not changed since; false otherwise.
bool LinkUnchanged(int previous, int directory, const std::string& name, const vadro::ItemInfo& child);

struct LedgerEntry;

// The versions of one run's destination. Failures and the reason a version cannot be made or
// completed go to the run's result.
class BackupVersions
{
public:
    // `destination` as the user wrote it (for messages); `source` is the repository path the
    // versions copy; `version` the run's name for its version, VersionName() of its start.
    BackupVersions(BackupResult& result, std::filesystem::path destination, std::uint32_t keep, std::string source,
                   std::string version);
    BackupVersions(const BackupVersions&) = delete;
    BackupVersions& operator=(const BackupVersions&) = delete;

    // Makes the run's unfinished version in the destination open as `destination` (which must
    // stay open while this object lives), after removing what ended runs of this source left,
    // and opens the newest complete one. False, with the result's reason set, when it cannot.
    bool Start(int destination);
    // The run's unfinished version, locked; -1 before Start() succeeded or once completed.
    int Folder() const { return folder_.get(); }
    // The newest complete version of this source; -1 when there is none.
    int Previous() const { return previous_.get(); }
    // Completes the unfinished version when the result tells no failure: names it, records it as
    // the newest, removes this source's versions beyond the newest `keep`, points "latest" at it.
    void Complete();

private:
    bool Taken(const std::vector<LedgerEntry>& ledger, const std::string& name) const;
    void RemoveVersion(LedgerEntry& entry);
    void RemoveUnfinished(std::vector<LedgerEntry>& ledger);
    void PointLatest();
    std::wstring Shown(const std::string& name) const;

    BackupResult& result_;
    const std::filesystem::path path_;
    const std::uint32_t keep_;
    const std::string source_;
    std::string version_;
    int destination_ = -1;      // the destination's descriptor, owned by the run
    common::UniqueFd folder_;   // the run's unfinished version, locked
    common::UniqueFd previous_; // the newest complete version
};

} // namespace execution::backup
