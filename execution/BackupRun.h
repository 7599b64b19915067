#pragma once

// The tree copy of one backup run: walks the source folder depth first with an explicit
// stack and copies it into the destination, counting what fails in the result. Below the
// destination every folder is reached from the destination's descriptor without following
// a symbolic link. Internal to the backup; one object per run, used on the run's thread.

#include "common/UniqueFd.h"
#include "execution/Backup.h"
#include "execution/BackupVersions.h"
#include "repository/Vadro.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace execution::backup {

class BackupRun
{
public:
    // `sourceAndHolders` as SourceAndHolders() tells them; `keepVersions` > 0 writes the version
    // `version` of the repository path `source` (see RunBackup). The run reads through `session`,
    // watches `stop` and fills `result`, which all outlive it.
    BackupRun(vadro::ISession& session, const std::atomic<bool>& stop, BackupResult& result,
              std::filesystem::path destination, std::vector<vadro::LocalIdentity> sourceAndHolders,
              std::uint32_t keepVersions, std::string source, std::string version);

    // Copies the folder `ids` (shown as `repositoryPath`) with all it holds.
    void CopyAll(const vadro::IdPath& ids, const std::wstring& repositoryPath);
    // Completes the run's version unless the run failed or was stopped (see BackupVersions::Complete).
    void Finish();

private:
    // A folder of the source still to copy.
    struct Pending
    {
        vadro::IdPath ids;
        std::string relative; // the folder's copy below the destination; empty for the destination
        std::wstring repositoryPath;
    };

    bool Stopped() const { return stop_.load(std::memory_order_relaxed); }
    // Where the copies go: the run's version, or the destination itself.
    int Root() const { return versions_.Folder() >= 0 ? versions_.Folder() : destinationFd_.get(); }

    void CopyFolder(const Pending& folder, std::vector<Pending>& stack);
    bool MakeDestination();
    void CopyChild(const Pending& folder, int directory, int previous, const vadro::ItemInfo& child,
                   std::vector<Pending>& stack);
    bool MakeFolder(int directory, const std::string& name, const std::wstring& path);
    bool CopyDocument(const vadro::IdPath& ids, int folder, const std::string& name,
                      const std::optional<std::int64_t>& modified, std::wstring& reason);

    vadro::ISession& session_;
    const std::atomic<bool>& stop_;
    BackupResult& result_;
    const std::filesystem::path destination_;
    const std::vector<vadro::LocalIdentity> sourceAndHolders_;
    const std::uint32_t keepVersions_;
    common::UniqueFd destinationFd_;
    std::optional<vadro::LocalIdentity> destinationIdentity_;
    // Declared after the destination's descriptor, which it uses and which outlives it.
    BackupVersions versions_;
};

} // namespace execution::backup
