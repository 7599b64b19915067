#include "execution/Backup.h"

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

// One backup run: walks the source folder depth first with an explicit stack and copies
// into `destination`, counting what fails in the result. Below the destination every
// folder is reached from the destination's descriptor without following a symbolic link.
class Run
{
public:
    Run(vadro::ISession& session, const std::atomic<bool>& stop, BackupResult& result, fs::path destination,
        std::vector<vadro::LocalIdentity> sourceAndHolders)
        : session_(session)
        , stop_(stop)
        , result_(result)
        , destination_(std::move(destination))
        , sourceAndHolders_(std::move(sourceAndHolders))
    {}

    void CopyAll(const vadro::IdPath& ids, const std::wstring& repositoryPath)
    {
        std::vector<Pending> stack{{ids, {}, repositoryPath}};
        while (!stack.empty() && result_.reason.empty() && !Stopped()) {
            const Pending folder = std::move(stack.back());
            stack.pop_back();
            CopyFolder(folder, stack);
        }
    }

private:
    bool Stopped() const { return stop_.load(std::memory_order_relaxed); }

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
        common::UniqueFd directory(openBelow(destinationFd_.get(), folder.relative));
        if (directory.get() < 0) {
            Fail(folder.repositoryPath, openFailure(destinationFd_.get(), folder.relative, errno));
            return;
        }
        removeLeftovers(directory.get(), children);
        for (const vadro::ItemInfo& child : children) {
            if (Stopped())
                return;
            CopyChild(folder, directory.get(), child, stack);
        }
    }

    // Creates and opens the destination with its parents just before the first entry is
    // written; false, with the run's reason set, when that fails or the destination turns out
    // to hold the source.
    bool MakeDestination()
    {
        if (destinationFd_.get() >= 0)
            return true;
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
        return true;
    }

    // Copies one child of `folder`, open as `directory`: a document at once, a sub-folder
    // made here and pushed on the stack.
    void CopyChild(const Pending& folder, int directory, const vadro::ItemInfo& child, std::vector<Pending>& stack)
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
            std::wstring reason;
            if (CopyDocument(childIds, directory, name, reason))
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

    // Writes one document into `folder` under `name`. Returns false when it failed, with
    // the reason in `reason`; a document without content is skipped and counts as done.
    bool CopyDocument(const vadro::IdPath& ids, int folder, const std::string& name, std::wstring& reason)
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
    common::UniqueFd destinationFd_;
    std::optional<vadro::LocalIdentity> destinationIdentity_;
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
    Run(*source->session, stop, result, fs::u8path(common::toUtf8(request.destination_path)), source->andHolders)
        .CopyAll(source->ids, request.source_path);
    if (stop.load(std::memory_order_relaxed) && result.reason.empty())
        result.reason = RunTexts::Text("прервано при завершении программы");
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
    if (result.ok)
        return {text("Резервное копирование завершено: скопировано документов %1.")
                    .arg(count(result.documents))
                    .toStdWString()};
    const QString counts =
        text("скопировано документов %1, не скопировано %2.").arg(count(result.documents)).arg(count(result.failed));
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
