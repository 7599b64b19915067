#include "execution/BackupFiles.h"

#include "common/FloorDiv.h"
#include "common/OpenBeneath.h"
#include "common/Utf8.h"
#include "execution/RunTexts.h"

#include <QString>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace execution::backup {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Temporary files of a run are named with this prefix and suffix, so that the next run
// recognises what an interrupted one left behind.
constexpr char kTempPrefix[] = ".kalvor-backup-";
constexpr char kTempSuffix[] = ".tmp";

bool IsTempName(const char* name)
{
    const std::size_t length = std::strlen(name);
    const std::size_t prefix = sizeof kTempPrefix - 1, suffix = sizeof kTempSuffix - 1;
    return length > prefix + suffix && std::strncmp(name, kTempPrefix, prefix) == 0 &&
           std::strcmp(name + length - suffix, kTempSuffix) == 0;
}

// The identity of what `name` (relative to the folder open as `folder`, or to the working
// directory for AT_FDCWD) names, following symbolic links; empty when nothing is there.
std::optional<vadro::LocalIdentity> IdentityAt(int folder, const char* name)
{
    struct stat st
    {};
    if (::fstatat(folder, name, &st, 0) != 0)
        return std::nullopt;
    return vadro::LocalIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<vadro::LocalIdentity> PathIdentity(const fs::path& path)
{
    return IdentityAt(AT_FDCWD, path.c_str());
}

// The names in the folder open as `folder`, without "." and "..", with whether each is a
// folder (not a symbolic link to one); false with errno set when it cannot be read.
bool ListFolder(int folder, std::vector<std::pair<std::string, bool>>& entries)
{
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy);
    if (dir == nullptr) {
        const int error = errno;
        if (copy >= 0)
            ::close(copy);
        errno = error;
        return false;
    }
    // The copy shares its position with `folder`, which an earlier listing left at the end.
    ::rewinddir(dir);
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        struct stat st
        {};
        if (entry->d_type == DT_UNKNOWN && ::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            isFolder = S_ISDIR(st.st_mode);
        entries.emplace_back(entry->d_name, isFolder);
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0;
}

} // namespace

std::wstring ErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error)).toStdWString();
}

void CountFailure(BackupResult& result, const std::wstring& path, const std::wstring& reason)
{
    ++result.failed;
    if (result.failures.size() < kReportedBackupFailures)
        result.failures.push_back({path, reason});
}

std::string TempName()
{
    thread_local std::mt19937_64 random{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return kTempPrefix + std::string(text) + kTempSuffix;
}

// Removes the temporary files that an interrupted run left in a folder. A file that a run
// still writes holds a lock and stays, and so does the copy of a source item that happens
// to bear such a name (one of `kept`).
void RemoveLeftovers(int folder, const std::vector<vadro::ItemInfo>& kept)
{
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return;
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        ::close(copy);
        return;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(dir))
        if (IsTempName(entry->d_name) && std::none_of(kept.begin(), kept.end(), [&](const vadro::ItemInfo& item) {
                return common::toUtf8(item.name) == entry->d_name;
            }))
            leftovers.emplace_back(entry->d_name);
    ::closedir(dir);
    for (const std::string& name : leftovers) {
        common::UniqueFd file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st
        {};
        if (file.get() >= 0 && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::flock(file.get(), LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(folder, name.c_str(), 0);
    }
}

// Gives the unnamed file open as `fd` the name `name` in `folder`; fails with EEXIST when
// the name is taken.
bool LinkUnnamed(int fd, int folder, const char* name)
{
    // Newer kernels let the process that made the file link its descriptor directly, which
    // spares a walk through /proc for every document; older ones refuse it to the unprivileged.
    static std::atomic<bool> direct{true};
    if (direct.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0)
            return true;
        if (errno != ENOENT && errno != EPERM)
            return false;
        direct.store(false, std::memory_order_relaxed);
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0;
}

// A name from the repository becomes one path component, never more and never a step up.
bool IsSafeName(const std::wstring& name)
{
    return !name.empty() && name != L"." && name != L".." && name.find(L'/') == std::wstring::npos &&
           name.find(L'\0') == std::wstring::npos;
}

vadro::LocalIdentity IdentityOf(const struct stat& st)
{
    return vadro::LocalIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Opens the folder `relative` (empty for the destination itself) below the destination open
// as `destination`, following no symbolic link on the way: -1 with errno set, ELOOP for a link.
int OpenBelow(int destination, const std::string& relative)
{
    if (relative.empty())
        return ::fcntl(destination, F_DUPFD_CLOEXEC, 0);
    const int fd = common::OpenBeneath(destination, relative.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0 || errno != ENOSYS)
        return fd;
    // Kernels without openat2: one component at a time, none of them followed.
    common::UniqueFd folder(::fcntl(destination, F_DUPFD_CLOEXEC, 0));
    for (std::size_t start = 0; folder.get() >= 0 && start < relative.size();) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        const std::string name = relative.substr(start, end - start);
        folder =
            common::UniqueFd(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        start = end + 1;
    }
    return folder.release();
}

// The identities of the source folder and of every folder that holds it, the source first;
// empty for a repository kept elsewhere than in this machine's file system. Past the
// repository's root the folders are found from the folder its address names, when that is
// the root.
std::vector<vadro::LocalIdentity> SourceAndHolders(vadro::ISession& session, const vadro::IdPath& source,
                                                   const vadro_cm::Address& address)
{
    std::vector<vadro::LocalIdentity> found;
    for (std::size_t n = source.size() + 1; n-- > 0;) {
        const vadro::ItemInfo item = session.GetItem(vadro::IdPath(source.begin(), source.begin() + n));
        if (!item.local)
            return {};
        found.push_back(*item.local);
    }
    if (!address || address->host.empty())
        return found;
    common::UniqueFd folder(::open(common::toUtf8(address->host).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st
    {};
    if (folder.get() < 0 || ::fstat(folder.get(), &st) != 0 || IdentityOf(st) != found.back())
        return found;
    for (;;) {
        common::UniqueFd up(::openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        // The root of the file system is its own parent.
        if (up.get() < 0 || ::fstat(up.get(), &st) != 0 || IdentityOf(st) == found.back())
            return found;
        found.push_back(IdentityOf(st));
        folder = std::move(up);
    }
}

// Whether the folder open as `folder` lies inside the folder `source`: walks up through ".."
// from the folder itself to the root of the file system.
bool OpensInside(int folder, const vadro::LocalIdentity& source)
{
    common::UniqueFd at(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    struct stat st
    {};
    if (at.get() < 0 || ::fstat(at.get(), &st) != 0)
        return false;
    for (vadro::LocalIdentity here = IdentityOf(st);;) {
        if (here == source)
            return true;
        common::UniqueFd up(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        // The root of the file system is its own parent.
        if (up.get() < 0 || ::fstat(up.get(), &st) != 0 || IdentityOf(st) == here)
            return false;
        here = IdentityOf(st);
        at = std::move(up);
    }
}

// Whether the destination is the source folder or lies inside it, judged by the identity
// of the destination's existing ancestors both as written and as resolved.
Overlap OverlapOf(const fs::path& destination, const vadro::LocalIdentity& source)
{
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(destination, error);
    for (const fs::path& start : {destination, error ? destination : resolved}) {
        bool first = true;
        for (fs::path p = start; !p.empty(); p = p.parent_path()) {
            if (PathIdentity(p) == source)
                return first && PathIdentity(start) ? Overlap::Same : Overlap::Inside;
            first = false;
            if (p == p.parent_path())
                break;
        }
    }
    return Overlap::None;
}

// Why the destination cannot be trusted: a component of its path that belongs to another
// user than the one running the backup and root, as written (a symbolic link planted in a
// shared folder) or as resolved (a folder another user can change below). Every existing
// component is examined with lstat from the root down. Empty when there is none.
std::wstring ForeignComponent(const fs::path& destination)
{
    const uid_t self = ::geteuid();
    std::error_code error;
    const fs::path written = fs::absolute(destination, error);
    const fs::path resolved = fs::weakly_canonical(written, error);
    for (const fs::path& path : {written, error ? written : resolved}) {
        fs::path walked;
        for (const fs::path& part : path) {
            if (part.empty())
                continue; // a trailing slash would follow the link before it
            walked /= part;
            struct stat st
            {};
            if (::lstat(walked.c_str(), &st) != 0)
                break; // what does not exist yet is made by this run
            if (st.st_uid == self || st.st_uid == 0)
                continue;
            const std::wstring shown = common::fromUtf8(walked.string());
            return S_ISLNK(st.st_mode)
                       ? RunTexts::Text("символическая ссылка %1 принадлежит другому пользователю", shown)
                       : RunTexts::Text("папка %1 принадлежит другому пользователю", shown);
        }
    }
    return {};
}

// Opens the folder `path` (absolute, without symbolic links) one component at a time,
// following no link and refusing a component of another user than this one and root, so
// that what was checked is what is opened. -1 with errno set; EPERM for another user's.
int OpenOwned(const fs::path& path)
{
    const uid_t self = ::geteuid();
    common::UniqueFd folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const fs::path& part : path.relative_path()) {
        if (folder.get() < 0)
            return -1;
        if (part.empty())
            continue;
        folder = common::UniqueFd(::openat(folder.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st
        {};
        if (folder.get() >= 0 && (::fstat(folder.get(), &st) != 0 || (st.st_uid != self && st.st_uid != 0))) {
            errno = EPERM;
            return -1;
        }
    }
    return folder.get() < 0 ? -1 : ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Creates a named temporary file in `folder`; false with errno set when it cannot.
bool CreateTemp(int folder, common::UniqueFd& out, std::string& temp)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp = TempName();
        out = common::UniqueFd(::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (out.get() >= 0) {
            // Marks the file as in use, so that a run into the same folder leaves it alone.
            (void)::flock(out.get(), LOCK_EX | LOCK_NB);
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    temp.clear();
    return false;
}

// Gives the unnamed file `fd` a temporary name in `folder`; false with errno set when it cannot.
bool LinkTemp(int fd, int folder, std::string& temp)
{
    (void)::flock(fd, LOCK_EX | LOCK_NB);
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp = TempName();
        if (LinkUnnamed(fd, folder, temp.c_str()))
            return true;
        if (errno != EEXIST)
            break;
    }
    temp.clear();
    return false;
}

// Removes the folder `name` of the folder open as `parent` with everything in it. No symbolic
// link is followed (one is removed as a link); every folder is reached again from `parent`,
// so the walk holds a fixed number of descriptors. False with errno set when something stays.
bool RemoveTree(int parent, const std::string& name)
{
    std::vector<std::string> stack{name}; // folders relative to `parent`, emptied before they go
    while (!stack.empty()) {
        const std::string relative = stack.back();
        common::UniqueFd folder(OpenBelow(parent, relative));
        std::vector<std::pair<std::string, bool>> entries;
        if (folder.get() < 0 || !ListFolder(folder.get(), entries))
            return false;
        bool deeper = false;
        for (const auto& [entry, isFolder] : entries) {
            if (isFolder) {
                stack.push_back(relative + '/' + entry);
                deeper = true;
            } else if (::unlinkat(folder.get(), entry.c_str(), 0) != 0 && errno != ENOENT)
                return false;
        }
        if (deeper)
            continue;
        stack.pop_back();
        const std::size_t slash = relative.rfind('/');
        common::UniqueFd up(slash == std::string::npos ? ::fcntl(parent, F_DUPFD_CLOEXEC, 0)
                                                       : OpenBelow(parent, relative.substr(0, slash)));
        const std::string last = slash == std::string::npos ? relative : relative.substr(slash + 1);
        if (up.get() < 0 || (::unlinkat(up.get(), last.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT))
            return false;
    }
    return true;
}

std::int64_t Nanoseconds(const struct timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * kNanosPerSecond + t.tv_nsec;
}

// Gives the file open as `fd` the modification time `modified` (nanoseconds since the epoch).
bool KeepModified(int fd, std::int64_t modified)
{
    const std::int64_t second = common::floorDiv(modified, kNanosPerSecond);
    const struct timespec times[2] = {
        {0, UTIME_OMIT}, {static_cast<std::time_t>(second), static_cast<long>(modified - second * kNanosPerSecond)}};
    return ::futimens(fd, times) == 0;
}

// Renames `from` to `to` in the folder open as `folder` unless `to` exists (EEXIST then).
bool RenameNoReplace(int folder, const std::string& from, const std::string& to)
{
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the flag: the check and the rename are two steps.
    struct stat st
    {};
    if (::fstatat(folder, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(folder, from.c_str(), folder, to.c_str()) == 0;
}

} // namespace execution::backup
