#pragma once

// The file-system layer of a backup run: folders opened below the destination without
// following symbolic links, same-or-inside checks by device and inode, temporary files and
// the removal of whole trees. Functions that fail leave errno telling why. Internal to the
// backup; safe on any thread (each run holds its own descriptors).

#include "common/UniqueFd.h"
#include "execution/Backup.h"
#include "repository/Vadro.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace execution::backup {

namespace fs = std::filesystem;

// The system's readable text for the errno value `error`.
std::wstring ErrorText(int error);

// Counts a failed item in `result`, keeping the first kReportedBackupFailures with their path and reason.
void CountFailure(BackupResult& result, const std::wstring& path, const std::wstring& reason);

// A new random name for a run's temporary file or folder, which later runs recognise.
std::string TempName();

// Removes the temporary files interrupted runs left in `folder`; a locked one (still written) and
// one named like an item of `kept` stay.
void RemoveLeftovers(int folder, const std::vector<vadro::ItemInfo>& kept);

// Gives the unnamed file `fd` the name `name` in `folder`; false with errno EEXIST when the name is taken.
bool LinkUnnamed(int fd, int folder, const char* name);

// Whether a name from the repository is exactly one path component that is no step up.
bool IsSafeName(const std::wstring& name);

// The identity (device and inode) a status names.
vadro::LocalIdentity IdentityOf(const struct stat& st);

// Opens the folder `relative` ("a/b", empty for itself) below `destination` following no link:
// -1 with errno set, ELOOP for a link.
int OpenBelow(int destination, const std::string& relative);

// The identities of the source folder and of every folder holding it, the source first; empty
// for a repository kept elsewhere than in this machine's file system.
std::vector<vadro::LocalIdentity> SourceAndHolders(vadro::ISession& session, const vadro::IdPath& source,
                                                   const vadro_cm::Address& address);

// Whether the folder open as `folder` is `source` or lies inside it, walking up through "..".
bool OpensInside(int folder, const vadro::LocalIdentity& source);

enum class Overlap
{
    None,
    Same,
    Inside
};

// Whether `destination` is the folder `source` or lies inside it, judged by the identity of its
// existing ancestors both as written and as resolved.
Overlap OverlapOf(const fs::path& destination, const vadro::LocalIdentity& source);

// Why `destination` cannot be trusted: a component, as written or as resolved, of another user
// than this one and root (the readable reason); empty when there is none.
std::wstring ForeignComponent(const fs::path& destination);

// Opens the folder `path` (absolute, resolved) one component at a time, following no link;
// -1 with errno set, EPERM for a component of another user than this one and root.
int OpenOwned(const fs::path& path);

// Creates and locks a new temporary file in `folder` into `out`, its name in `temp`; false with errno set.
bool CreateTemp(int folder, common::UniqueFd& out, std::string& temp);

// Locks the unnamed file `fd` and gives it a temporary name in `folder`, kept in `temp`; false with errno set.
bool LinkTemp(int fd, int folder, std::string& temp);

// Removes the folder `name` of `parent` with all it holds, following no link and holding a fixed
// number of descriptors; false with errno set when something stays.
bool RemoveTree(int parent, const std::string& name);

// Renames `from` to `to` in `folder` unless `to` exists (false with errno EEXIST then).
bool RenameNoReplace(int folder, const std::string& from, const std::string& to);

// A file time in nanoseconds since the epoch.
std::int64_t Nanoseconds(const struct timespec& t);

// Gives the file `fd` the modification time `modified` (nanoseconds since the epoch); false with errno set.
bool KeepModified(int fd, std::int64_t modified);

} // namespace execution::backup
