#include "execution/Backup.h"

#include "common/FloorDiv.h"
#include "common/OpenBeneath.h"
#include "common/UniqueFd.h"
#include "common/Utf8.h"
#include "execution/Actions.h"
#include "execution/RunTexts.h"
#include "repository/Connections.h"
#include "repository/VadroPath.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace execution {
namespace {

namespace fs = std::filesystem;

std::wstring errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error)).toStdWString();
}

// Temporary files of a run are named with this prefix and suffix, so that the next run
// recognises what an interrupted one left behind.
constexpr char kTempPrefix[] = ".kalvor-backup-";
constexpr char kTempSuffix[] = ".tmp";

bool isTempName(const char* name)
{
    const std::size_t length = std::strlen(name);
    const std::size_t prefix = sizeof kTempPrefix - 1, suffix = sizeof kTempSuffix - 1;
    return length > prefix + suffix && std::strncmp(name, kTempPrefix, prefix) == 0 &&
           std::strcmp(name + length - suffix, kTempSuffix) == 0;
}

std::string tempName()
{
    thread_local std::mt19937_64 random{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return kTempPrefix + std::string(text) + kTempSuffix;
}

// Removes the temporary files that an interrupted run left in a folder. A file that a run
// still writes holds a lock and stays, and so does the copy of a source item that happens
// to bear such a name (one of `kept`).
void removeLeftovers(int folder, const std::vector<vadro::ItemInfo>& kept)
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
        if (isTempName(entry->d_name) && std::none_of(kept.begin(), kept.end(), [&](const vadro::ItemInfo& item) {
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
bool linkUnnamed(int fd, int folder, const char* name)
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
bool isSafeName(const std::wstring& name)
{
    return !name.empty() && name != L"." && name != L".." && name.find(L'/') == std::wstring::npos &&
           name.find(L'\0') == std::wstring::npos;
}

// The identity of what `name` (relative to the folder open as `folder`, or to the working
// directory for AT_FDCWD) names, following symbolic links; empty when nothing is there.
std::optional<vadro::LocalIdentity> identityAt(int folder, const char* name)
{
    struct stat st
    {};
    if (::fstatat(folder, name, &st, 0) != 0)
        return std::nullopt;
    return vadro::LocalIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<vadro::LocalIdentity> localIdentity(const fs::path& path)
{
    return identityAt(AT_FDCWD, path.c_str());
}

vadro::LocalIdentity identityOf(const struct stat& st)
{
    return vadro::LocalIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Opens the folder `relative` (empty for the destination itself) below the destination open
// as `destination`, following no symbolic link on the way: -1 with errno set, ELOOP for a link.
int openBelow(int destination, const std::string& relative)
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
std::vector<vadro::LocalIdentity> sourceAndHolders(vadro::ISession& session, const vadro::IdPath& source,
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
    if (folder.get() < 0 || ::fstat(folder.get(), &st) != 0 || identityOf(st) != found.back())
        return found;
    for (;;) {
        common::UniqueFd up(::openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        // The root of the file system is its own parent.
        if (up.get() < 0 || ::fstat(up.get(), &st) != 0 || identityOf(st) == found.back())
            return found;
        found.push_back(identityOf(st));
        folder = std::move(up);
    }
}

// Whether the folder open as `folder` lies inside the folder `source`: walks up through ".."
// from the folder itself to the root of the file system.
bool opensInside(int folder, const vadro::LocalIdentity& source)
{
    common::UniqueFd at(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    struct stat st
    {};
    if (at.get() < 0 || ::fstat(at.get(), &st) != 0)
        return false;
    for (vadro::LocalIdentity here = identityOf(st);;) {
        if (here == source)
            return true;
        common::UniqueFd up(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        // The root of the file system is its own parent.
        if (up.get() < 0 || ::fstat(up.get(), &st) != 0 || identityOf(st) == here)
            return false;
        here = identityOf(st);
        at = std::move(up);
    }
}

enum class Overlap
{
    None,
    Same,
    Inside
};

// Whether the destination is the source folder or lies inside it, judged by the identity
// of the destination's existing ancestors both as written and as resolved.
Overlap overlap(const fs::path& destination, const vadro::LocalIdentity& source)
{
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(destination, error);
    for (const fs::path& start : {destination, error ? destination : resolved}) {
        bool first = true;
        for (fs::path p = start; !p.empty(); p = p.parent_path()) {
            if (localIdentity(p) == source)
                return first && localIdentity(start) ? Overlap::Same : Overlap::Inside;
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
std::wstring foreignComponent(const fs::path& destination)
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
int openOwned(const fs::path& path)
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

struct Pending
{
    vadro::IdPath ids;
    std::string relative; // the folder's copy below the destination; empty for the destination
    std::wstring repositoryPath;
};

// Creates a named temporary file in `folder`; false with errno set when it cannot.
bool createTemp(int folder, common::UniqueFd& out, std::string& temp)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp = tempName();
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
bool linkTemp(int fd, int folder, std::string& temp)
{
    (void)::flock(fd, LOCK_EX | LOCK_NB);
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp = tempName();
        if (linkUnnamed(fd, folder, temp.c_str()))
            return true;
        if (errno != EEXIST)
            break;
    }
    temp.clear();
    return false;
}

// The file a document's copy is written into: without a name, or under `temp` until it is whole.
struct CopyFile
{
    common::UniqueFd fd;
    std::string temp;
};

// Opens a new copy file in `folder`: unnamed where the file system allows it, so that a kill
// leaves nothing behind, else under a temporary name. False with errno set when it cannot.
bool openCopyFile(int folder, CopyFile& copy)
{
    copy.fd = common::UniqueFd(::openat(folder, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666));
    return copy.fd.get() >= 0 || createTemp(folder, copy.fd, copy.temp);
}

// Copies the content into the copy file; false with `error` or `reason` set when it fails.
bool writeContent(vadro::IContentReader& content, const CopyFile& copy, const std::atomic<bool>& stop, int& error,
                  std::wstring& reason)
{
    try {
        const bool written = content.CopyTo(copy.fd.get(), stop);
        error = errno;
        return written;
    } catch (const vadro::VadroError& e) {
        reason = e.GetDescription();
        return false;
    }
}

// Gives the whole copy the document's name in `folder`, replacing a previous copy but never
// the file the content was read from (`source`). False with `error` or `reason` set when it
// fails; a temporary name it leaves is the caller's to remove.
bool placeCopy(CopyFile& copy, int folder, const std::string& name, const std::optional<vadro::LocalIdentity>& source,
               int& error, std::wstring& reason)
{
    if (copy.temp.empty()) {
        // A name that is free takes the copy at once; an existing copy is replaced below
        // through a temporary name.
        if (linkUnnamed(copy.fd.get(), folder, name.c_str())) {
            if (copy.fd.Close())
                return true;
            error = errno;
            ::unlinkat(folder, name.c_str(), 0);
            return false;
        }
        if (errno != EEXIST || !linkTemp(copy.fd.get(), folder, copy.temp)) {
            error = errno;
            return false;
        }
    }
    if (!copy.fd.Close()) {
        error = errno;
        return false;
    }
    // What holds the name is replaced, never written into or followed.
    struct stat present
    {};
    if (::fstatat(folder, name.c_str(), &present, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(present.st_mode)) {
            reason = RunTexts::Text("на месте документа находится символическая ссылка");
            return false;
        }
        if (source && identityOf(present) == *source) {
            reason = RunTexts::Text("копия совпадает с самим документом");
            return false;
        }
    }
    if (::renameat(folder, copy.temp.c_str(), folder, name.c_str()) != 0) {
        error = errno;
        return false;
    }
    return true;
}

const char kLinkAtFolder[] = "на месте папки находится символическая ссылка";

// Why the folder `relative` below the destination could not be opened (with `error`).
std::wstring openFailure(int destination, const std::string& relative, int error)
{
    struct stat st
    {};
    if ((error == ELOOP || error == ENOTDIR) &&
        ::fstatat(destination, relative.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return RunTexts::Text(kLinkAtFolder);
    return errorText(error);
}

// Versions are named after the run's local start; an unfinished one is hidden and marked.
constexpr char kVersionShape[] = "dddd-dd-dd_dd-dd-dd";
constexpr char kPartialSuffix[] = ".partial";
constexpr char kLatest[] = "latest";

bool isVersionName(const std::string& name)
{
    if (name.size() != sizeof kVersionShape - 1)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (kVersionShape[i] == 'd' ? name[i] < '0' || name[i] > '9' : name[i] != kVersionShape[i])
            return false;
    return true;
}

std::string versionName(std::time_t started)
{
    std::tm local{};
    char text[32] = {};
    if (::localtime_r(&started, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &local) == 0 || !isVersionName(text))
        return {};
    return text;
}

// The names in the folder open as `folder`, without "." and "..", with whether each is a
// folder (not a symbolic link to one); false with errno set when it cannot be read.
bool listFolder(int folder, std::vector<std::pair<std::string, bool>>& entries)
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

// Removes the folder `name` of the folder open as `parent` with everything in it. No symbolic
// link is followed (one is removed as a link); every folder is reached again from `parent`,
// so the walk holds a fixed number of descriptors. False with errno set when something stays.
bool removeTree(int parent, const std::string& name)
{
    std::vector<std::string> stack{name}; // folders relative to `parent`, emptied before they go
    while (!stack.empty()) {
        const std::string relative = stack.back();
        common::UniqueFd folder(openBelow(parent, relative));
        std::vector<std::pair<std::string, bool>> entries;
        if (folder.get() < 0 || !listFolder(folder.get(), entries))
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
                                                       : openBelow(parent, relative.substr(0, slash)));
        const std::string last = slash == std::string::npos ? relative : relative.substr(slash + 1);
        if (up.get() < 0 || (::unlinkat(up.get(), last.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT))
            return false;
    }
    return true;
}

// The ledger in the destination lists the versions that runs made, one a line: its state
// ("partial", "complete" or "deleting"), its name and the source it copies, in the order the
// versions completed. Only what it lists is ever taken for a version, linked against or removed.
constexpr char kLedger[] = ".kalvor-versions";
constexpr char kDeletingSuffix[] = ".deleting";
constexpr char kPartialState[] = "partial";
constexpr char kCompleteState[] = "complete";
constexpr char kDeletingState[] = "deleting";

struct LedgerEntry
{
    std::string state;
    std::string name;
    std::string source; // UTF-8 repository path
};

// Reads the ledger of the destination open as `destination`; none yet is an empty one. False
// with errno set when it cannot be read (ELOOP for a link, EINVAL for what is not a file).
bool readLedger(int destination, std::vector<LedgerEntry>& ledger)
{
    ledger.clear();
    common::UniqueFd fd(::openat(destination, kLedger, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == ENOENT;
    struct stat st
    {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
    }
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t first = line.find(' '), second = line.find(' ', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        LedgerEntry entry{line.substr(0, first), line.substr(first + 1, second - first - 1), {}};
        // The source is written with "\\" and "\n" escaped.
        for (std::size_t i = second + 1; i < line.size(); ++i)
            entry.source += line[i] == '\\' && i + 1 < line.size() ? (line[++i] == 'n' ? '\n' : line[i]) : line[i];
        ledger.push_back(std::move(entry));
    }
    return true;
}

// Replaces the ledger at once with `ledger`: written whole to a temporary file, then renamed.
bool writeLedger(int destination, const std::vector<LedgerEntry>& ledger)
{
    std::string text;
    for (const LedgerEntry& entry : ledger) {
        text += entry.state + ' ' + entry.name + ' ';
        for (const char c : entry.source)
            text += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
        text += '\n';
    }
    const std::string temp = tempName();
    common::UniqueFd fd(
        ::openat(destination, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return false;
    bool written = true;
    for (std::size_t done = 0; written && done < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        written = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    written = written && ::fsync(fd.get()) == 0 && fd.Close() &&
              ::renameat(destination, temp.c_str(), destination, kLedger) == 0;
    if (!written) {
        const int error = errno;
        ::unlinkat(destination, temp.c_str(), 0);
        errno = error;
    }
    return written;
}

// Holds the ledger of the destination open as `destination` for one reading and writing.
class LedgerLock
{
public:
    explicit LedgerLock(int destination)
        : fd_(destination)
    {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~LedgerLock() { ::flock(fd_, LOCK_UN); }
    LedgerLock(const LedgerLock&) = delete;
    LedgerLock& operator=(const LedgerLock&) = delete;

private:
    int fd_;
};

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::int64_t nanoseconds(const struct timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * kNanosPerSecond + t.tv_nsec;
}

// Gives the file open as `fd` the modification time `modified` (nanoseconds since the epoch).
bool keepModified(int fd, std::int64_t modified)
{
    const std::int64_t second = common::floorDiv(modified, kNanosPerSecond);
    const struct timespec times[2] = {
        {0, UTIME_OMIT}, {static_cast<std::time_t>(second), static_cast<long>(modified - second * kNanosPerSecond)}};
    return ::futimens(fd, times) == 0;
}

// Renames `from` to `to` in the folder open as `folder` unless `to` exists (EEXIST then).
bool renameNoReplace(int folder, const std::string& from, const std::string& to)
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

// One backup run: walks the source folder depth first with an explicit stack and copies
// into `destination`, counting what fails in the result. Below the destination every
// folder is reached from the destination's descriptor without following a symbolic link.
class Run
{
public:
    // `keepVersions` > 0 writes the version `version` (see RunBackup).
    Run(vadro::ISession& session, const std::atomic<bool>& stop, BackupResult& result, fs::path destination,
        std::vector<vadro::LocalIdentity> sourceAndHolders, std::uint32_t keepVersions, std::string source,
        std::string version)
        : session_(session)
        , stop_(stop)
        , result_(result)
        , destination_(std::move(destination))
        , sourceAndHolders_(std::move(sourceAndHolders))
        , keepVersions_(keepVersions)
        , source_(std::move(source))
        , version_(std::move(version))
    {}

    void CopyAll(const vadro::IdPath& ids, const std::wstring& repositoryPath)
    {
        // A version is made also for an empty source: it tells that nothing was there.
        if (keepVersions_ > 0 && !MakeDestination())
            return;
        std::vector<Pending> stack{{ids, {}, repositoryPath}};
        while (!stack.empty() && result_.reason.empty() && !Stopped()) {
            const Pending folder = std::move(stack.back());
            stack.pop_back();
            CopyFolder(folder, stack);
        }
    }

    // Completes the run's version when the run succeeded: gives it its name, records it as the
    // newest in the ledger, removes this source's versions beyond the newest N and points
    // "latest" at it. Otherwise it stays unfinished.
    void Finish()
    {
        if (versionFd_.get() < 0 || !result_.reason.empty() || result_.failed > 0 || Stopped())
            return;
        const int destination = destinationFd_.get();
        const LedgerLock lock(destination);
        std::vector<LedgerEntry> ledger;
        if (!readLedger(destination, ledger) ||
            !renameNoReplace(destination, '.' + version_ + kPartialSuffix, version_)) {
            result_.reason =
                RunTexts::Text("не удалось завершить версию %1", common::fromUtf8(version_)) + L": " + errorText(errno);
            return;
        }
        versionFd_.reset();
        result_.version = common::fromUtf8(version_);
        // The ledger keeps the order in which versions completed, whatever the clock did.
        ledger.erase(std::remove_if(ledger.begin(), ledger.end(),
                                    [&](const LedgerEntry& entry) { return entry.name == version_; }),
                     ledger.end());
        std::vector<std::size_t> older;
        for (std::size_t i = 0; i < ledger.size(); ++i)
            if (ledger[i].source == source_ && ledger[i].state == kCompleteState)
                older.push_back(i);
        ledger.push_back({kCompleteState, version_, source_});
        const std::size_t kept = std::min<std::size_t>(older.size(), keepVersions_ - 1);
        older.resize(older.size() - kept);
        // A version is marked and hidden before its contents go, so that one half removed never
        // looks complete; what a killed run left so the next run removes.
        for (const std::size_t i : older)
            ledger[i].state = kDeletingState;
        if (!writeLedger(destination, ledger)) {
            Fail(Shown(kLedger), errorText(errno));
            return;
        }
        for (const std::size_t i : older)
            RemoveVersion(ledger[i]);
        ledger.erase(
            std::remove_if(ledger.begin(), ledger.end(), [](const LedgerEntry& entry) { return entry.name.empty(); }),
            ledger.end());
        if (!writeLedger(destination, ledger))
            Fail(Shown(kLedger), errorText(errno));
        PointLatest();
    }

private:
    bool Stopped() const { return stop_.load(std::memory_order_relaxed); }

    // Where the copies go: the run's version, or the destination itself.
    int Root() const { return versionFd_.get() >= 0 ? versionFd_.get() : destinationFd_.get(); }

    std::wstring Shown(const std::string& name) const { return common::fromUtf8((destination_ / name).string()); }

    // Makes the run's unfinished version, recorded in the ledger before it is made and locked
    // while the run writes it, after removing what interrupted runs of this source left; opens
    // this source's newest complete version. False, with the run's reason set, when the
    // version cannot be made.
    bool StartVersion()
    {
        const int destination = destinationFd_.get();
        if (version_.empty()) {
            result_.reason = RunTexts::Text("не удалось определить местное время запуска");
            return false;
        }
        const LedgerLock lock(destination);
        std::vector<LedgerEntry> ledger;
        if (!readLedger(destination, ledger)) {
            result_.reason =
                RunTexts::Text("не удалось прочитать список версий %1", Shown(kLedger)) + L": " + errorText(errno);
            return false;
        }
        RemoveUnfinished(ledger);
        // A name that is taken (a run of the same second, a folder of the user's) gets a number.
        const std::string stamp = version_;
        for (int n = 2; Taken(ledger, version_) && n < 1000; ++n)
            version_ = stamp + '_' + std::to_string(n);
        if (Taken(ledger, version_)) {
            result_.reason = RunTexts::Text("версия %1 уже есть в папке назначения", common::fromUtf8(stamp));
            return false;
        }
        const std::string partial = '.' + version_ + kPartialSuffix;
        ledger.push_back({kPartialState, version_, source_});
        common::UniqueFd fd;
        if (writeLedger(destination, ledger)) {
            // Made and locked under a temporary name, so that no other run takes it for a leftover.
            std::string temp;
            for (int attempt = 0; attempt < 16 && fd.get() < 0; ++attempt) {
                temp = tempName();
                if (::mkdirat(destination, temp.c_str(), 0777) != 0) {
                    if (errno == EEXIST)
                        continue;
                    break;
                }
                fd = common::UniqueFd(
                    ::openat(destination, temp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 ||
                    !renameNoReplace(destination, temp, partial)) {
                    const int error = errno;
                    ::unlinkat(destination, temp.c_str(), AT_REMOVEDIR);
                    errno = error;
                    fd.reset();
                    break;
                }
            }
        }
        if (fd.get() < 0) {
            result_.reason = RunTexts::Text("не удалось создать папку %1", Shown(partial)) + L": " + errorText(errno);
            return false;
        }
        for (auto entry = ledger.rbegin(); entry != ledger.rend() && previousFd_.get() < 0; ++entry)
            if (entry->source == source_ && entry->state == kCompleteState)
                previousFd_ = common::UniqueFd(
                    ::openat(destination, entry->name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        versionFd_ = std::move(fd);
        return true;
    }

    // Whether `name` cannot name a new version: the ledger lists it, or something in the
    // destination bears it or its hidden forms.
    bool Taken(const std::vector<LedgerEntry>& ledger, const std::string& name) const
    {
        if (std::any_of(ledger.begin(), ledger.end(), [&](const LedgerEntry& entry) { return entry.name == name; }))
            return true;
        struct stat st
        {};
        for (const std::string& form : {name, '.' + name + kPartialSuffix, '.' + name + kDeletingSuffix})
            if (::fstatat(destinationFd_.get(), form.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                return true;
        return false;
    }

    // Removes the version of `entry`, marked as being removed, and clears the entry's name
    // once nothing of it stays; what stays is counted as failed and tried again by the next run.
    void RemoveVersion(LedgerEntry& entry)
    {
        const int destination = destinationFd_.get();
        const std::string hidden = '.' + entry.name + kDeletingSuffix;
        if (!renameNoReplace(destination, entry.name, hidden) && errno != ENOENT) {
            Fail(Shown(entry.name), RunTexts::Text("не удалось удалить старую версию") + L": " + errorText(errno));
            return;
        }
        struct stat st
        {};
        if (::fstatat(destination, hidden.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            !removeTree(destination, hidden)) {
            Fail(Shown(entry.name), RunTexts::Text("не удалось удалить старую версию") + L": " + errorText(errno));
            return;
        }
        entry.name.clear();
    }

    // Removes what ended runs of this source left, as the ledger lists it: unfinished versions
    // that no run holds, and versions a run began to remove. Nothing the ledger does not list
    // is touched.
    void RemoveUnfinished(std::vector<LedgerEntry>& ledger)
    {
        const int destination = destinationFd_.get();
        const std::size_t failed = result_.failed;
        const std::vector<BackupFailure> failures = result_.failures;
        bool changed = false;
        for (LedgerEntry& entry : ledger) {
            if (entry.source != source_)
                continue;
            if (entry.state == kDeletingState) {
                RemoveVersion(entry);
                changed = true;
            } else if (entry.state == kPartialState) {
                const std::string partial = '.' + entry.name + kPartialSuffix;
                common::UniqueFd fd(
                    ::openat(destination, partial.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (fd.get() < 0 ? errno == ENOENT || errno == ELOOP || errno == ENOTDIR
                                 : ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && removeTree(destination, partial))
                    entry.name.clear();
                changed = true;
            }
        }
        // A leftover that stays is no failure of this run.
        result_.failed = failed;
        result_.failures = failures;
        ledger.erase(
            std::remove_if(ledger.begin(), ledger.end(), [](const LedgerEntry& entry) { return entry.name.empty(); }),
            ledger.end());
        if (changed)
            writeLedger(destination, ledger); // written again with the run's own entry
    }

    // Points the symbolic link "latest" at the run's version, replacing the previous link at
    // once; a file or folder of the user's that bears the name stays.
    void PointLatest()
    {
        const int destination = destinationFd_.get();
        struct stat st
        {};
        if (::fstatat(destination, kLatest, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode))
            return;
        std::string temp;
        for (int attempt = 0; attempt < 16; ++attempt) {
            temp = tempName();
            if (::symlinkat(version_.c_str(), destination, temp.c_str()) == 0)
                break;
            temp.clear();
            if (errno != EEXIST)
                break;
        }
        if (!temp.empty() && ::renameat(destination, temp.c_str(), destination, kLatest) == 0)
            return;
        const int error = errno;
        if (!temp.empty())
            ::unlinkat(destination, temp.c_str(), 0);
        Fail(Shown(kLatest), errorText(error));
    }

    // Links the copy of `child` in the newest complete version's folder `previous` into
    // `directory` when the document has not changed since: same size, same modification time.
    bool LinkUnchanged(int previous, int directory, const std::string& name, const vadro::ItemInfo& child)
    {
        if (previous < 0 || !child.modified || !child.size)
            return false;
        struct stat st
        {};
        if (::fstatat(previous, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_size) != *child.size || nanoseconds(st.st_mtim) != *child.modified)
            return false;
        // A "copy" that is the document itself would change with it.
        if (child.local && identityOf(st) == *child.local)
            return false;
        // Where no link can be made (another file system, a link count limit) the document is copied.
        return ::linkat(previous, name.c_str(), directory, name.c_str(), 0) == 0;
    }

    void Fail(const std::wstring& path, const std::wstring& reason)
    {
        ++result_.failed;
        if (result_.failures.size() < kReportedBackupFailures)
            result_.failures.push_back({path, reason});
    }

    // Copies one folder's direct children, pushing its sub-folders on the stack.
    void CopyFolder(const Pending& folder, std::vector<Pending>& stack)
    {
        std::vector<vadro::ItemInfo> children;
        std::vector<vadro::UnlistedEntry> unlisted;
        try {
            children = session_.ListAllChildren(folder.ids, unlisted);
        } catch (const vadro::VadroError& e) {
            Fail(folder.repositoryPath, e.GetDescription());
            return;
        }
        for (const vadro::UnlistedEntry& entry : unlisted)
            Fail(folder.repositoryPath + L"/" + entry.name,
                 entry.error != 0 ? errorText(entry.error) : RunTexts::Text("имя файла не в кодировке UTF-8"));
        if (children.empty() || !MakeDestination())
            return;
        common::UniqueFd directory(openBelow(Root(), folder.relative));
        if (directory.get() < 0) {
            Fail(folder.repositoryPath, openFailure(Root(), folder.relative, errno));
            return;
        }
        // The same folder in the newest complete version, whose unchanged copies are linked.
        common::UniqueFd previous(previousFd_.get() >= 0 ? openBelow(previousFd_.get(), folder.relative) : -1);
        removeLeftovers(directory.get(), children);
        for (const vadro::ItemInfo& child : children) {
            if (Stopped())
                return;
            CopyChild(folder, directory.get(), previous.get(), child, stack);
        }
    }

    // Creates and opens the destination with its parents just before the first entry is
    // written; false, with the run's reason set, when that fails or the destination turns out
    // to hold the source.
    bool MakeDestination()
    {
        if (destinationFd_.get() >= 0)
            return result_.reason.empty();
        const std::wstring shown = common::fromUtf8(destination_.string());
        // Nothing is made on a path that another user could redirect.
        std::wstring foreign = foreignComponent(destination_);
        if (!foreign.empty()) {
            result_.reason = RunTexts::Text("папка назначения %1 отклонена", shown) + L": " + foreign;
            return false;
        }
        std::error_code ec;
        fs::create_directories(destination_, ec);
        if (ec) {
            result_.reason = RunTexts::Text("не удалось создать папку %1", shown) + L": " +
                             QString::fromLocal8Bit(ec.message().c_str()).toStdWString();
            return false;
        }
        // Checked again on what was made, and opened as checked.
        foreign = foreignComponent(destination_);
        if (!foreign.empty()) {
            result_.reason = RunTexts::Text("папка назначения %1 отклонена", shown) + L": " + foreign;
            return false;
        }
        const fs::path resolved = fs::canonical(fs::absolute(destination_, ec), ec);
        common::UniqueFd fd(ec ? -1 : openOwned(resolved));
        if (ec)
            errno = ec.value();
        else if (fd.get() < 0 && errno == EPERM) {
            result_.reason = RunTexts::Text("папка назначения %1 отклонена", shown) + L": " +
                             RunTexts::Text("папка %1 принадлежит другому пользователю", shown);
            return false;
        }
        struct stat st
        {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
            result_.reason = RunTexts::Text("не удалось открыть папку %1", shown) + L": " + errorText(errno);
            return false;
        }
        const auto holder = std::find(sourceAndHolders_.begin(), sourceAndHolders_.end(), identityOf(st));
        if (holder != sourceAndHolders_.end()) {
            result_.reason = holder == sourceAndHolders_.begin()
                                 ? RunTexts::Text("папка назначения %1 совпадает с копируемой папкой", shown)
                                 : RunTexts::Text("папка назначения %1 содержит копируемую папку", shown);
            return false;
        }
        // The path was judged before it was opened; what was opened is judged again.
        if (!sourceAndHolders_.empty() && opensInside(fd.get(), sourceAndHolders_.front())) {
            result_.reason = RunTexts::Text("папка назначения %1 находится внутри копируемой папки", shown);
            return false;
        }
        destinationIdentity_ = identityOf(st);
        destinationFd_ = std::move(fd);
        return keepVersions_ == 0 || StartVersion();
    }

    // Copies one child of `folder`, open as `directory` (as `previous` in the newest complete
    // version, or -1): a document at once, a sub-folder made here and pushed on the stack.
    void CopyChild(const Pending& folder, int directory, int previous, const vadro::ItemInfo& child,
                   std::vector<Pending>& stack)
    {
        const std::wstring childPath = folder.repositoryPath + L"/" + child.name;
        if (!isSafeName(child.name)) {
            Fail(childPath, RunTexts::Text("недопустимое имя"));
            return;
        }
        // The backup itself never becomes part of what it copies.
        if (!child.isDocument && child.local && child.local == destinationIdentity_)
            return;
        vadro::IdPath childIds = folder.ids;
        childIds.push_back(child.id);
        const std::string name = common::toUtf8(child.name);
        if (child.isDocument) {
            if (LinkUnchanged(previous, directory, name, child)) {
                ++result_.linked;
                return;
            }
            std::wstring reason;
            if (CopyDocument(childIds, directory, name, keepVersions_ > 0 ? child.modified : std::nullopt, reason))
                ++result_.documents;
            else if (!Stopped())
                Fail(childPath, reason);
            return;
        }
        if (MakeFolder(directory, name, childPath))
            stack.push_back(
                {std::move(childIds), folder.relative.empty() ? name : folder.relative + '/' + name, childPath});
    }

    // Makes the sub-folder `name` unless it is there; false, counted as failed, when it cannot
    // be made or a file or a symbolic link holds its name.
    bool MakeFolder(int directory, const std::string& name, const std::wstring& path)
    {
        if (::mkdirat(directory, name.c_str(), 0777) == 0)
            return true;
        if (errno != EEXIST) {
            Fail(path, errorText(errno));
            return false;
        }
        struct stat st
        {};
        if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            Fail(path, errorText(errno));
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            Fail(path, RunTexts::Text(kLinkAtFolder));
            return false;
        }
        if (!S_ISDIR(st.st_mode)) {
            Fail(path, RunTexts::Text("на месте папки находится файл"));
            return false;
        }
        return true;
    }

    // Writes one document into `folder` under `name`, with the modification time `modified`
    // when given. Returns false when it failed, with the reason in `reason`; a document
    // without content is skipped and counts as done.
    bool CopyDocument(const vadro::IdPath& ids, int folder, const std::string& name,
                      const std::optional<std::int64_t>& modified, std::wstring& reason)
    {
        std::unique_ptr<vadro::IContentReader> content;
        try {
            content = session_.OpenContent(ids);
        } catch (const vadro::VadroError& e) {
            reason = e.GetDescription();
            return false;
        }
        if (!content)
            return true;
        const std::optional<vadro::LocalIdentity> source = content->Identity();
        CopyFile copy;
        if (!openCopyFile(folder, copy)) {
            reason = errorText(errno);
            return false;
        }
        int error = 0;
        bool written = writeContent(*content, copy, stop_, error, reason);
        content.reset();
        // The copy keeps the document's time, by which the next version knows it unchanged.
        if (written && modified && !keepModified(copy.fd.get(), *modified)) {
            error = errno;
            written = false;
        }
        written = written && placeCopy(copy, folder, name, source, error, reason);
        if (!written && !copy.temp.empty())
            ::unlinkat(folder, copy.temp.c_str(), 0);
        if (!written && reason.empty())
            reason = errorText(error);
        return written;
    }

    vadro::ISession& session_;
    const std::atomic<bool>& stop_;
    BackupResult& result_;
    const fs::path destination_;
    const std::vector<vadro::LocalIdentity> sourceAndHolders_;
    const std::uint32_t keepVersions_;
    const std::string source_; // the repository path the versions are made from
    std::string version_;
    common::UniqueFd destinationFd_;
    std::optional<vadro::LocalIdentity> destinationIdentity_;
    common::UniqueFd versionFd_;  // the run's unfinished version, locked
    common::UniqueFd previousFd_; // the newest complete version
};

// The folder a backup copies, with the session it is read through.
struct Source
{
    std::shared_ptr<vadro::ISession> session;
    vadro::IdPath ids;
    std::vector<vadro::LocalIdentity> andHolders; // see sourceAndHolders()
};

// Opens the source folder of a request; empty, with `reason` set, when it cannot be found.
std::optional<Source> openSource(const BackupRequest& request, vadro::ICore& core, const fs::path& connectionsFile,
                                 std::wstring& reason)
{
    std::wstring server;
    std::vector<std::wstring> components;
    std::optional<vadro::Uuid> id;
    if (!path::utils::ParseVadroPath(request.source_path, server, components, id, true)) {
        reason = RunTexts::Text("неверно задан путь %1", request.source_path);
        return std::nullopt;
    }
    const auto connection = FindSavedConnection(request.connection_id, connectionsFile);
    if (!connection) {
        reason = RunTexts::Text("не найдено подключение к ХД для %1", request.source_path);
        return std::nullopt;
    }
    reason = PathConnectionProblem(request.source_path, server, *connection, connectionsFile);
    if (!reason.empty())
        return std::nullopt;
    Source source{core.OpenSession(connection->address, connection->credentials), {}, {}};
    source.ids = source.session->GetPathResolver()->ResolvePath(components);
    if (source.ids.size() != components.size()) {
        reason = RunTexts::Text("не найдена папка %1", request.source_path);
        return std::nullopt;
    }
    source.andHolders = sourceAndHolders(*source.session, source.ids, connection->address);
    return source;
}

// Why the request's destination cannot take a copy of the source; empty when it can.
std::wstring destinationProblem(const BackupRequest& request, const Source& source)
{
    if (request.destination_path.empty())
        return RunTexts::Text("не задана папка назначения");
    // A destination that holds the source is refused once it is open (Run::MakeDestination).
    return source.andHolders.empty() ? std::wstring()
                                     : DestinationOverlapProblem(request.destination_path, source.andHolders.front());
}

void backUp(const BackupRequest& request, vadro::ICore& core, const fs::path& connectionsFile,
            const std::atomic<bool>& stop, BackupResult& result)
{
    const std::optional<Source> source = openSource(request, core, connectionsFile, result.reason);
    if (!source)
        return;
    result.reason = destinationProblem(request, *source);
    if (!result.reason.empty())
        return;
    // The version is named after the run's start, read from the precise clock (the coarse one
    // may still tell the previous second).
    std::time_t started = request.started;
    struct timespec now
    {};
    if (started == 0 && ::clock_gettime(CLOCK_REALTIME, &now) == 0)
        started = now.tv_sec;
    const std::string version = request.keep_versions > 0 ? versionName(started) : "";
    Run run(*source->session, stop, result, fs::u8path(common::toUtf8(request.destination_path)), source->andHolders,
            request.keep_versions, common::toUtf8(request.source_path), version);
    run.CopyAll(source->ids, request.source_path);
    if (stop.load(std::memory_order_relaxed) && result.reason.empty())
        result.reason = RunTexts::Text("прервано при завершении программы");
    run.Finish();
    result.ok = result.reason.empty() && result.failed == 0;
}

// The text on one line: control characters (names may hold line feeds) are written as
// visible escapes, so that one item is one log line.
std::wstring oneLine(const std::wstring& text)
{
    std::wstring line;
    line.reserve(text.size());
    for (const wchar_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (c == L'\n')
            line += L"\\n";
        else if (c == L'\r')
            line += L"\\r";
        else if (c == L'\t')
            line += L"\\t";
        else if (code < 0x20 || (code >= 0x7f && code < 0xa0) || code == 0x2028 || code == 0x2029) {
            wchar_t escape[16];
            std::swprintf(escape, sizeof escape / sizeof *escape, code < 0x100 ? L"\\x%02x" : L"\\u%04x", code);
            line += escape;
        } else
            line += c;
    }
    return line;
}

} // namespace

std::wstring DestinationOverlapProblem(const std::wstring& destination, const vadro::LocalIdentity& source)
{
    switch (overlap(fs::u8path(common::toUtf8(destination)), source)) {
    case Overlap::Same:
        return RunTexts::Text("папка назначения %1 совпадает с копируемой папкой", destination);
    case Overlap::Inside:
        return RunTexts::Text("папка назначения %1 находится внутри копируемой папки", destination);
    case Overlap::None:
        break;
    }
    return {};
}

BackupResult RunBackup(const BackupRequest& request, vadro::ICore& core, const std::filesystem::path& connectionsFile,
                       const std::atomic<bool>* stop)
{
    static const std::atomic<bool> never{false};
    BackupResult result;
    try {
        backUp(request, core, connectionsFile, stop ? *stop : never, result);
    } catch (const vadro::VadroError& e) {
        result.reason = e.GetDescription();
    } catch (const std::exception& e) {
        result.reason = QString::fromLocal8Bit(e.what()).toStdWString();
    }
    return result;
}

std::vector<std::wstring> BackupReport(const BackupResult& result)
{
    const auto text = [](const char* source) { return RunTexts::Translate(source); };
    const auto count = [](std::size_t n) { return static_cast<qulonglong>(n); };
    if (result.ok && !result.version.empty())
        return {text("Резервное копирование завершено: версия %1, скопировано документов %2, без изменений %3.")
                    .arg(QString::fromStdWString(result.version))
                    .arg(count(result.documents))
                    .arg(count(result.linked))
                    .toStdWString()};
    if (result.ok)
        return {text("Резервное копирование завершено: скопировано документов %1.")
                    .arg(count(result.documents))
                    .toStdWString()};
    const QString counts = text("скопировано документов %1, не скопировано %2.")
                               .arg(count(result.documents + result.linked))
                               .arg(count(result.failed));
    QString head = text("Резервное копирование не выполнено:") + QLatin1Char(' ');
    if (result.reason.empty())
        head += counts;
    else if (result.documents > 0 || result.failed > 0)
        head += QString::fromStdWString(result.reason) + QStringLiteral("; ") + counts;
    else
        head += QString::fromStdWString(result.reason);
    std::vector<std::wstring> lines{oneLine(head.toStdWString())};
    for (const BackupFailure& failure : result.failures)
        lines.push_back(oneLine(failure.path + L": " + failure.reason));
    return lines;
}

} // namespace execution
